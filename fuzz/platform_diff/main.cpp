// platform_diff: runs random sequences of the platform functions on the
// emulated machine and on the real Win32 API, and reports each difference
// that no documented departure of Wine from Windows explains, shrunk to the
// fewest calls that still show it, each call shown with both sides' results.
//
//   platform_diff [--seed N] [--count N] [--show]
//
// --seed is the first sequence's seed (default 1), --count how many
// sequences, each the next seed (default 1000); --show prints every call of
// every sequence with both sides' results. Exits 1 when a difference was
// found, 2 on a usage or setup error.
#include <chrono>
#include <filesystem>
#include <iostream>
#include <optional>
#include <set>
#include <string>

#include "fuzz/platform_diff/platform_diff.h"
#include "fuzz/platform_diff/sides.h"
#include "platform/win32/win32_platform.h"

namespace qvi::fuzz {
namespace {

class Differ {
 public:
  explicit Differ(World world) : world_(std::move(world)), base_(ScratchBase()), wine_(platform::win32api::RunningUnderWine()) {}
  ~Differ() {
    std::error_code ec;
    std::filesystem::remove_all(base_, ec);
  }

  struct Result {
    Outcome real;
    Outcome emulated;
    std::optional<Difference> difference;
  };

  Result Try(const Sequence& sequence) {
    World world = world_;
    world.scratch = base_ + "\\" + std::to_string(++runs_);
    Result result{RunOn(real_, world, sequence), RunOn(emulated_, world, sequence), {}};
    std::optional<Outcome> shadow;
    if (wine_) {
      Sequence unmarked = sequence;
      if (StripUtf8Marks(unmarked)) shadow = RunOn(emulated_, world, unmarked);
    }
    result.difference = Compare(sequence, result.real, result.emulated, shadow ? &*shadow : nullptr, wine_, departures_);
    return result;
  }

  // Delta debugging over the calls: the fewest calls that still show a
  // difference of the same signature.
  Sequence Shrink(Sequence sequence, const std::string& signature) {
    DepartureCounts ignored;
    std::swap(ignored, departures_);
    std::size_t parts = 2;
    while (sequence.size() >= 2) {
      const std::size_t chunk = (sequence.size() + parts - 1) / parts;
      bool reduced = false;
      for (std::size_t start = 0; start < sequence.size(); start += chunk) {
        Sequence without(sequence.begin(), sequence.begin() + static_cast<std::ptrdiff_t>(start));
        without.insert(without.end(), sequence.begin() + static_cast<std::ptrdiff_t>(std::min(start + chunk, sequence.size())),
                       sequence.end());
        const Result r = Try(without);
        if (r.difference && r.difference->Signature(without) == signature) {
          sequence = std::move(without);
          parts = std::max<std::size_t>(parts - 1, 2);
          reduced = true;
          break;
        }
      }
      if (reduced) continue;
      if (parts >= sequence.size()) break;
      parts = std::min(parts * 2, sequence.size());
    }
    std::swap(ignored, departures_);
    return sequence;
  }

  const DepartureCounts& departures() const { return departures_; }
  bool wine() const { return wine_; }

 private:
  static Outcome RunOn(Side& side, const World& world, const Sequence& sequence) {
    side.Begin(world);
    Outcome out = Run(side, world, sequence);
    side.End();
    return out;
  }

  World world_;
  std::string base_;
  bool wine_;
  RealSide real_;
  EmuSide emulated_;
  DepartureCounts departures_;
  std::uint64_t runs_ = 0;
};

void Show(const Sequence& sequence, const Differ::Result& r) {
  for (std::size_t i = 0; i < sequence.size(); ++i) {
    std::cout << "  " << i << ": " << Describe(sequence[i]) << "\n";
    for (std::size_t f = 0; f < r.real.calls[i].fields.size(); ++f) {
      const auto& [field, value] = r.real.calls[i].fields[f];
      const std::string other = r.emulated.calls[i].Get(field);
      std::cout << "       " << field << ": " << value << (value == other ? "" : "   emulated: " + other) << "\n";
    }
  }
}

int Main(int argc, char** argv) {
  std::uint64_t seed = 1;
  std::uint64_t count = 1000;
  bool show = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--seed" || arg == "--count") && i + 1 < argc) {
      (arg == "--seed" ? seed : count) = std::stoull(argv[++i]);
    } else if (arg == "--show") {
      show = true;
    } else {
      std::cerr << "usage: platform_diff [--seed N] [--count N] [--show]\n";
      return 2;
    }
  }
  Differ differ(MakeWorld());
  const auto started = std::chrono::steady_clock::now();
  std::set<std::string> seen;
  std::uint64_t found = 0;
  std::uint64_t calls = 0;
  for (std::uint64_t s = seed; s < seed + count; ++s) {
    // A long run shows how far it got, in case Wine takes the process down.
    if (s != seed && (s - seed) % 10000 == 0) std::cout << "... " << s - seed << " sequences" << std::endl;
    const Sequence sequence = Generate(s);
    calls += sequence.size();
    const Differ::Result r = differ.Try(sequence);
    if (show) {
      std::cout << "seed " << s << "\n";
      Show(sequence, r);
    }
    if (!r.difference) continue;
    ++found;
    const std::string signature = r.difference->Signature(sequence);
    if (!seen.insert(signature).second) {
      std::cout << "seed " << s << ": again " << signature << std::endl;
      continue;
    }
    const Sequence small = differ.Shrink(sequence, signature);
    const Differ::Result again = differ.Try(small);
    const Difference& d = again.difference ? *again.difference : *r.difference;
    std::cout << "seed " << s << ": " << signature << "\n";
    std::cout << "  shrunk from " << sequence.size() << " to " << small.size() << " calls:\n";
    Show(small, again);
    std::cout << "  at " << (d.op < small.size() ? "call " + std::to_string(d.op) : std::string("the end")) << ", "
              << d.field << "\n    Windows:  " << d.windows << "\n    emulated: " << d.emulated << std::endl;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::cout << "platform_diff: " << count << " sequences from seed " << seed << ", " << calls
            << " calls, " << seconds << " s, " << (differ.wine() ? "under Wine" : "on Windows") << "; " << found
            << " with a difference (" << seen.size() << " kinds)\n";
  for (const auto& [name, n] : differ.departures()) std::cout << "  masked departure " << name << ": " << n << "\n";
  return found == 0 ? 0 : 1;
}

}  // namespace
}  // namespace qvi::fuzz

int main(int argc, char** argv) {
  try {
    return qvi::fuzz::Main(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "platform_diff: " << e.what() << "\n";
    return 2;
  }
}
