// Loads a .reg file into a registry store as a machine loads its
// registry.reg, a piece at a time, and prints what it holds and what the
// load cost: the figure behind "a real machine's export loads at memory
// speed" (scripts/bench-export.sh).
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "emu/emu_types.h"
#include "emu/huge_page_heap.h"
#include "emu/reg_text.h"
#include "emu/registry_store.h"

namespace {

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE.reg\n", argv[0]);
    return 2;
  }
  std::FILE* file = std::fopen(argv[1], "rb");
  if (!file) {
    std::perror(argv[1]);
    return 2;
  }
  qvi::emu::RegistryStore store;
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(argv[1], ec);
  const double before = CpuSeconds();
  try {
    qvi::emu::HugePageHeap heap(ec ? 0 : size);
    qvi::emu::ImportRegText(
        store,
        [file, &heap](std::string& out) {
          char piece[1 << 16];
          const std::size_t got = std::fread(piece, 1, sizeof piece, file);
          out.append(piece, got);
          heap.Advise();
          return got == sizeof piece;
        },
        argv[1]);
  } catch (const qvi::emu::MachineError& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  const double load = CpuSeconds() - before;
  std::size_t keys = 0;
  std::size_t values = 0;
  store.ForEachKey([&](const std::string&, const std::vector<qvi::emu::RegistryValue>& v) {
    ++keys;
    values += v.size();
  });
  std::printf("%zu keys, %zu values; load %.3f s CPU\n", keys, values, load);
  std::fflush(stdout);
  // A process that ends need not take the store apart.
  std::_Exit(0);
}
