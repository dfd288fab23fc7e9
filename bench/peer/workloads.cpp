// The platform workloads as one program, so the same code can run on the
// emulated machine (natively) and on the real Win32 API (cross-built, under a
// compatibility layer) and the two be compared call for call.
//
//   qvi_workloads WORKLOAD [REPEATS]
//
// prints "WORKLOAD <median ns per unit> <unit>" for the wall time of REPEATS
// repetitions. Setup and cleanup of each repetition are not timed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win_api.h"

#ifdef _WIN32
#include "platform/win32/win32_platform.h"
#else
#include <filesystem>

#include "emu/machine.h"
#include "testing/temp_folder.h"
#endif

namespace {

using namespace qvi::platform;

struct Target {
  Platform& os;
  // Puts pending writes on disk: the machine's durable save here, a flush of
  // the profile cache on Win32 (which writes through anyway).
  std::function<void()> save;
};

constexpr const char* kIniFile = "qvibench.ini";
constexpr const char* kTreeKey = "SOFTWARE\\QviBenchTree";
constexpr const char* kBatchKey = "SOFTWARE\\QviBenchBatch";

void CreateKey(Platform& os, const std::string& path) {
  HKey key = kNoKey;
  if (os.RegCreateKeyA(kHkeyLocalMachine, path.c_str(), &key) != win32::kSuccess) {
    throw std::runtime_error("cannot create " + path);
  }
  os.RegCloseKey(key);
}

void WriteEntries(Target& t) {
  for (int i = 0; i < 500; ++i) {
    WriteIniString(t.os, "Section" + std::to_string(i / 50), "Key" + std::to_string(i),
                   "Value number " + std::to_string(i), kIniFile);
  }
  t.save();
}

void Write100(Target& t, int round, bool save_each) {
  for (int i = 0; i < 100; ++i) {
    const int entry = (i * 13) % 500;
    WriteIniString(t.os, "Section" + std::to_string(entry / 50), "Key" + std::to_string(entry),
                   "Round " + std::to_string(round), kIniFile);
    if (save_each) t.save();
  }
}

struct Workload {
  const char* name;
  const char* unit;
  double units;  // units per repetition
  std::function<void(Target&)> prepare;  // once
  std::function<void(Target&, int)> setup;  // untimed, before each repetition
  std::function<void(Target&, int)> run;
  std::function<void(Target&, int)> cleanup;  // untimed, after each repetition
};

const std::vector<Workload>& Workloads() {
  static const std::vector<Workload> all = {
      {"keys_create_set_close_100", "batch", 1, nullptr, nullptr,
       [](Target& t, int round) {
         const std::string data = "38400";
         for (int i = 0; i < 100; ++i) {
           HKey key = kNoKey;
           const std::string path =
               std::string(kBatchKey) + "\\r" + std::to_string(round) + "\\k" + std::to_string(i);
           t.os.RegCreateKeyA(kHkeyLocalMachine, path.c_str(), &key);
           t.os.RegSetValueExA(key, "BAUD", 0, kRegSz, reinterpret_cast<const std::uint8_t*>(data.c_str()),
                               static_cast<std::uint32_t>(data.size() + 1));
           t.os.RegCloseKey(key);
         }
       },
       [](Target& t, int) { DeleteRegistryTree(t.os, kHkeyLocalMachine, kBatchKey); }},
      {"delete_tree_100x100", "tree", 1, nullptr,
       [](Target& t, int) {
         for (int i = 0; i < 100; ++i) {
           for (int j = 0; j < 100; ++j) {
             CreateKey(t.os, std::string(kTreeKey) + "\\k" + std::to_string(i) + "\\s" + std::to_string(j));
           }
         }
       },
       [](Target& t, int) {
         if (!DeleteRegistryTree(t.os, kHkeyLocalMachine, kTreeKey)) throw std::runtime_error("tree not removed");
       },
       nullptr},
      {"ini_read", "read", 1000, WriteEntries, nullptr,
       [](Target& t, int) {
         std::string value;
         for (int i = 0; i < 1000; ++i) {
           const int entry = (i * 7) % 500;
           ReadIniString(t.os, "Section" + std::to_string(entry / 50), "Key" + std::to_string(entry), "", value,
                         kIniFile);
         }
       },
       nullptr},
      {"ini_write", "write", 100, WriteEntries, nullptr, [](Target& t, int round) { Write100(t, round, false); },
       [](Target& t, int) { t.save(); }},
      {"ini_write_100_then_save", "batch", 1, WriteEntries, nullptr,
       [](Target& t, int round) {
         Write100(t, round, false);
         t.save();
       },
       nullptr},
      {"ini_write_save_each", "write", 100, WriteEntries, nullptr,
       [](Target& t, int round) { Write100(t, round, true); }, nullptr},
  };
  return all;
}

int Run(Target& target, const std::string& name, int repeats) {
  for (const Workload& w : Workloads()) {
    if (name != w.name) continue;
    if (w.prepare) w.prepare(target);
    std::vector<double> ns;
    for (int r = 0; r < repeats; ++r) {
      if (w.setup) w.setup(target, r);
      const auto start = std::chrono::steady_clock::now();
      w.run(target, r);
      const auto stop = std::chrono::steady_clock::now();
      if (w.cleanup) w.cleanup(target, r);
      ns.push_back(std::chrono::duration<double, std::nano>(stop - start).count() / w.units);
    }
    std::sort(ns.begin(), ns.end());
    std::printf("%s %.1f ns/%s\n", w.name, ns[ns.size() / 2], w.unit);
    return 0;
  }
  std::fprintf(stderr, "unknown workload %s; known:", name.c_str());
  for (const Workload& w : Workloads()) std::fprintf(stderr, " %s", w.name);
  std::fprintf(stderr, "\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s WORKLOAD [REPEATS]\n", argv[0]);
    return 2;
  }
  const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  try {
#ifdef _WIN32
    win32api::Win32Platform os;
    Target target{os, [&os] { os.WritePrivateProfileStringA(nullptr, nullptr, nullptr, kIniFile); }};
    const int status = Run(target, argv[1], repeats);
    DeleteRegistryTree(os, kHkeyLocalMachine, kTreeKey);
    DeleteRegistryTree(os, kHkeyLocalMachine, kBatchKey);
    return status;
#else
    qvi::testing::TempFolder folder("qvi-workloads-");
    auto machine = qvi::emu::Machine::Open(folder.path() / "machine");
    std::filesystem::create_directories(machine->MapPath("C:\\WINNT"));
    Target target{*machine, [&machine] { machine->Save(); }};
    return Run(target, argv[1], repeats);
#endif
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", argv[1], error.what());
    return 1;
  }
}
