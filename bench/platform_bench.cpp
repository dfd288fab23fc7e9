// Workloads of the platform routines on the emulated machine, and series of
// growing size (1k, 10k, 100k keys or entries) whose times should grow no
// faster than the size: scripts/bench-scaling.sh reads the exponent off them.
// The side-by-side figures with the Win32 API come from scripts/bench-peer.sh.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "emu/ini_document.h"
#include "emu/machine.h"
#include "emu/reg_text.h"
#include "emu/registry_store.h"
#include "platform/win_api.h"
#include "scenario/run.h"
#include "testing/temp_folder.h"

namespace {

using qvi::emu::Machine;
using namespace qvi::platform;

class MachineFolder {
 public:
  MachineFolder() : machine_(Machine::Open(folder_.path() / "machine")) {
    std::filesystem::create_directories(machine_->MapPath("C:\\WINNT"));
  }
  Machine& machine() { return *machine_; }

 private:
  qvi::testing::TempFolder folder_{"qvi-bench-"};
  std::unique_ptr<Machine> machine_;
};

void CreateKey(Machine& m, HKey root, const std::string& path) {
  HKey key = kNoKey;
  if (m.RegCreateKeyA(root, path.c_str(), &key) != win32::kSuccess) throw std::runtime_error("create " + path);
  m.RegCloseKey(key);
}

void BM_DeleteRegistryTree_100x100(benchmark::State& state) {
  MachineFolder folder;
  Machine& m = folder.machine();
  for (auto _ : state) {
    state.PauseTiming();
    for (int i = 0; i < 100; ++i) {
      for (int j = 0; j < 100; ++j) {
        CreateKey(m, kHkeyLocalMachine, "SOFTWARE\\Tree\\k" + std::to_string(i) + "\\s" + std::to_string(j));
      }
    }
    state.ResumeTiming();
    if (!DeleteRegistryTree(m, kHkeyLocalMachine, "SOFTWARE\\Tree")) state.SkipWithError("tree not removed");
  }
}
BENCHMARK(BM_DeleteRegistryTree_100x100)->Unit(benchmark::kMillisecond);

void WriteEntries(Machine& m, const char* file) {
  for (int i = 0; i < 500; ++i) {
    const std::string section = "Section" + std::to_string(i / 50);
    WriteIniString(m, section, "Key" + std::to_string(i), "Value number " + std::to_string(i), file);
  }
  m.Save();
}

void BM_ReadIniString_1000_on_500_entries(benchmark::State& state) {
  MachineFolder folder;
  Machine& m = folder.machine();
  WriteEntries(m, "bench.ini");
  std::string value;
  for (auto _ : state) {
    for (int i = 0; i < 1000; ++i) {
      const int entry = (i * 7) % 500;
      ReadIniString(m, "Section" + std::to_string(entry / 50), "Key" + std::to_string(entry), "", value,
                    "bench.ini");
    }
    benchmark::DoNotOptimize(value);
  }
  state.counters["us_per_read"] =
      benchmark::Counter(1000.0 * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::kIs1000);
}
BENCHMARK(BM_ReadIniString_1000_on_500_entries)->Unit(benchmark::kMillisecond);

// The writes themselves, then the save that puts them on disk.
void BM_WriteIniString_100_on_500_entries(benchmark::State& state) {
  MachineFolder folder;
  Machine& m = folder.machine();
  WriteEntries(m, "bench.ini");
  int round = 0;
  for (auto _ : state) {
    ++round;
    for (int i = 0; i < 100; ++i) {
      const int entry = (i * 13) % 500;
      WriteIniString(m, "Section" + std::to_string(entry / 50), "Key" + std::to_string(entry),
                     "Round " + std::to_string(round), "bench.ini");
    }
    if (state.range(0) != 0) m.Save();
  }
  state.counters["us_per_write"] =
      benchmark::Counter(100.0 * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::kIs1000);
}
BENCHMARK(BM_WriteIniString_100_on_500_entries)->Arg(0)->Arg(1)->ArgName("with_save")->Unit(benchmark::kMicrosecond);

void BM_CreateSetClose_100_keys(benchmark::State& state) {
  MachineFolder folder;
  Machine& m = folder.machine();
  const std::string data = "38400";
  int round = 0;
  for (auto _ : state) {
    ++round;
    for (int i = 0; i < 100; ++i) {
      HKey key = kNoKey;
      const std::string path = "SOFTWARE\\Batch\\r" + std::to_string(round) + "\\k" + std::to_string(i);
      m.RegCreateKeyA(kHkeyLocalMachine, path.c_str(), &key);
      m.RegSetValueExA(key, "BAUD", 0, kRegSz, reinterpret_cast<const std::uint8_t*>(data.c_str()),
                       static_cast<std::uint32_t>(data.size() + 1));
      m.RegCloseKey(key);
    }
  }
}
BENCHMARK(BM_CreateSetClose_100_keys)->Unit(benchmark::kMicrosecond);

// --- Scaling series: the argument is the number of keys, entries or values.

std::string KeyName(std::int64_t i) {
  char name[24];
  std::snprintf(name, sizeof name, "k%07lld", static_cast<long long>(i));
  return name;
}

void ScalingSizes(benchmark::internal::Benchmark* b) {
  b->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
}

// DeleteRegistryTree on one level of N subkeys.
void BM_Scaling_DeleteFlatLevel(benchmark::State& state) {
  MachineFolder folder;
  Machine& m = folder.machine();
  for (auto _ : state) {
    state.PauseTiming();
    for (std::int64_t i = 0; i < state.range(0); ++i) CreateKey(m, kHkeyLocalMachine, "SOFTWARE\\Flat\\" + KeyName(i));
    state.ResumeTiming();
    if (!DeleteRegistryTree(m, kHkeyLocalMachine, "SOFTWARE\\Flat")) state.SkipWithError("level not removed");
  }
}
BENCHMARK(BM_Scaling_DeleteFlatLevel)->Apply(ScalingSizes);

// N subkeys of one key created in descending order, each opened and closed.
void BM_Scaling_CreateFlatDescending(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto store = std::make_unique<qvi::emu::RegistryStore>();
    HKey level = kNoKey;
    store->CreateKey(kHkeyLocalMachine, "SOFTWARE\\Flat", &level);
    state.ResumeTiming();
    for (std::int64_t i = state.range(0) - 1; i >= 0; --i) {
      HKey key = kNoKey;
      store->CreateKey(level, KeyName(i).c_str(), &key);
      store->CloseKey(key);
    }
    state.PauseTiming();
    store.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_Scaling_CreateFlatDescending)->Apply(ScalingSizes);

// A flat level of N subkeys enumerated from the last index down to the first.
void BM_Scaling_EnumKeysDescending(benchmark::State& state) {
  qvi::emu::RegistryStore store;
  HKey level = kNoKey;
  store.CreateKey(kHkeyLocalMachine, "SOFTWARE\\Flat", &level);
  for (std::int64_t i = 0; i < state.range(0); ++i) {
    HKey key = kNoKey;
    store.CreateKey(level, KeyName(i).c_str(), &key);
    store.CloseKey(key);
  }
  const std::string first = KeyName(0);
  char name[32];
  for (auto _ : state) {
    for (auto i = static_cast<std::uint32_t>(state.range(0)); i-- > 0;) {
      if (store.EnumKey(level, i, name, sizeof name) != win32::kSuccess) state.SkipWithError("enumeration failed");
    }
    if (first != name) state.SkipWithError("wrong first subkey");
  }
}
BENCHMARK(BM_Scaling_EnumKeysDescending)->Apply(ScalingSizes);

// The values of one key with N values, with the handle on it.
struct ManyValues {
  explicit ManyValues(std::int64_t count) {
    store.CreateKey(kHkeyCurrentUser, "Software\\Many", &key);
    node = store.EnsureKey("HKEY_CURRENT_USER\\Software\\Many");
    for (std::int64_t i = 0; i < count; ++i) store.PutValue(*node, ValueName(i), kRegDword, {1, 0, 0, 0});
  }
  static std::string ValueName(std::int64_t i) { return "Value" + std::to_string(i); }

  qvi::emu::RegistryStore store;
  HKey key = kNoKey;
  qvi::emu::RegistryStore::Node* node = nullptr;
};

// The N values of one key removed in creation order, each followed by a
// lookup of the last value.
void BM_Scaling_RemoveValuesOfOneKey(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto many = std::make_unique<ManyValues>(state.range(0));
    const std::string last = ManyValues::ValueName(state.range(0) - 1);
    state.ResumeTiming();
    for (std::int64_t i = 0; i + 1 < state.range(0); ++i) {
      if (!many->store.RemoveValue(*many->node, ManyValues::ValueName(i))) state.SkipWithError("value not removed");
      if (many->store.QueryValue(many->key, last.c_str(), nullptr, nullptr, nullptr) != win32::kSuccess) {
        state.SkipWithError("last value lost");
      }
    }
    state.PauseTiming();
    many.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_Scaling_RemoveValuesOfOneKey)->Apply(ScalingSizes);

// A key with N values emptied by enumerating index 0 and removing what it
// names, until nothing is left.
void BM_Scaling_RemoveFirstEnumeratedValue(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto many = std::make_unique<ManyValues>(state.range(0));
    state.ResumeTiming();
    std::int64_t removed = 0;
    char name[32];
    std::uint32_t name_size = sizeof name;
    while (many->store.EnumValue(many->key, 0, name, &name_size, nullptr, nullptr, nullptr) == win32::kSuccess) {
      if (!many->store.RemoveValue(*many->node, name)) break;
      ++removed;
      name_size = sizeof name;
    }
    if (removed != state.range(0)) state.SkipWithError("values left behind");
    state.PauseTiming();
    many.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_Scaling_RemoveFirstEnumeratedValue)->Apply(ScalingSizes);

// A registry file of N keys, each with two values, read into a store.
void BM_Scaling_ImportKeys(benchmark::State& state) {
  std::string text = "REGEDIT4\r\n\r\n";
  for (std::int64_t i = 0; i < state.range(0); ++i) {
    text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Product\\Components\\" + KeyName(i / 100) + "\\" + KeyName(i) +
            "]\r\n\"Path\"=\"C:\\\\Program Files\\\\Product\"\r\n\"Count\"=dword:00000001\r\n\r\n";
  }
  for (auto _ : state) {
    auto store = std::make_unique<qvi::emu::RegistryStore>();
    qvi::emu::ImportRegText(*store, text, "bench.reg");
    state.PauseTiming();  // the store's destruction is not the import
    store.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(text.size()) * state.iterations());
}
BENCHMARK(BM_Scaling_ImportKeys)->Apply(ScalingSizes);

// One key with N values read from a registry file.
void BM_Scaling_ImportValuesOfOneKey(benchmark::State& state) {
  std::string text = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Many]\r\n";
  for (std::int64_t i = 0; i < state.range(0); ++i) text += "\"Value" + std::to_string(i) + "\"=dword:00000001\r\n";
  for (auto _ : state) {
    qvi::emu::RegistryStore store;
    qvi::emu::ImportRegText(store, text, "bench.reg");
  }
}
BENCHMARK(BM_Scaling_ImportValuesOfOneKey)->Apply(ScalingSizes);

// A binary value of 10 x N bytes, as the store writes it, read back.
void BM_Scaling_ReadBinaryValue(benchmark::State& state) {
  qvi::emu::RegistryStore source;
  source.PutValue(*source.EnsureKey("HKEY_CURRENT_USER\\Software\\Big"), "blob", kRegBinary,
                                    std::vector<std::uint8_t>(static_cast<std::size_t>(state.range(0)) * 10, 0xAB));
  const std::string text = qvi::emu::ExportRegText(source);
  for (auto _ : state) {
    qvi::emu::RegistryStore store;
    qvi::emu::ImportRegText(store, text, "bench.reg");
  }
}
BENCHMARK(BM_Scaling_ReadBinaryValue)->Apply(ScalingSizes);

// N new keys written into an INI file in memory, 100 to a section.
void BM_Scaling_IniAddKeys(benchmark::State& state) {
  for (auto _ : state) {
    qvi::emu::IniDocument doc;
    for (std::int64_t i = 0; i < state.range(0); ++i) {
      doc.Set("Section" + std::to_string(i / 100), "Key" + std::to_string(i), "Value number " + std::to_string(i));
    }
    benchmark::DoNotOptimize(doc.bytes().size());
  }
}
BENCHMARK(BM_Scaling_IniAddKeys)->Apply(ScalingSizes);

// 100 new keys added to the middle section of an INI file of N entries.
void BM_Scaling_IniAddKeysToLargeFile(benchmark::State& state) {
  qvi::emu::IniDocument base;
  for (std::int64_t i = 0; i < state.range(0); ++i) {
    base.Set("Section" + std::to_string(i / 100), "Key" + std::to_string(i), "Value number " + std::to_string(i));
  }
  const std::string middle = "Section" + std::to_string(state.range(0) / 200);
  for (auto _ : state) {
    state.PauseTiming();
    qvi::emu::IniDocument doc = base;
    state.ResumeTiming();
    for (int i = 0; i < 100; ++i) doc.Set(middle, "Added" + std::to_string(i), "new");
  }
}
BENCHMARK(BM_Scaling_IniAddKeysToLargeFile)->Apply(ScalingSizes);

// 100 keys deleted from the middle section of an INI file of N entries.
void BM_Scaling_IniDeleteKeysFromLargeFile(benchmark::State& state) {
  qvi::emu::IniDocument base;
  for (std::int64_t i = 0; i < state.range(0); ++i) {
    base.Set("Section" + std::to_string(i / 100), "Key" + std::to_string(i), "Value number " + std::to_string(i));
  }
  const std::int64_t middle = state.range(0) / 200;
  const std::string section = "Section" + std::to_string(middle);
  for (auto _ : state) {
    state.PauseTiming();
    qvi::emu::IniDocument doc = base;
    state.ResumeTiming();
    for (std::int64_t i = middle * 100; i < middle * 100 + 100; ++i) {
      if (!doc.DeleteKey(section, "Key" + std::to_string(i))) state.SkipWithError("key not deleted");
    }
  }
}
BENCHMARK(BM_Scaling_IniDeleteKeysFromLargeFile)->Apply(ScalingSizes);

// An INI file of N entries, 100 to a section, emptied in reverse as an undo
// would: each section's keys last first, then the section.
void BM_Scaling_IniEmptyInReverse(benchmark::State& state) {
  qvi::emu::IniDocument base;
  for (std::int64_t i = 0; i < state.range(0); ++i) {
    base.Set("Section" + std::to_string(i / 100), "Key" + std::to_string(i), "Value number " + std::to_string(i));
  }
  for (auto _ : state) {
    state.PauseTiming();
    qvi::emu::IniDocument doc = base;
    state.ResumeTiming();
    for (std::int64_t i = state.range(0) - 1; i >= 0; --i) {
      const std::string section = "Section" + std::to_string(i / 100);
      if (!doc.DeleteKey(section, "Key" + std::to_string(i))) state.SkipWithError("key not deleted");
      if (i % 100 == 0 && !doc.DeleteSection(section)) state.SkipWithError("section not deleted");
    }
    if (!doc.bytes().empty()) state.SkipWithError("file not emptied");
  }
}
BENCHMARK(BM_Scaling_IniEmptyInReverse)->Apply(ScalingSizes);

// The registry changes of a run: snapshots of N keys, one key in a hundred
// changed, and the diff between them.
void BM_Scaling_SnapshotAndDiff(benchmark::State& state) {
  qvi::emu::RegistryStore store;
  for (std::int64_t i = 0; i < state.range(0); ++i) {
    auto* key = store.EnsureKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Product\\" + KeyName(i / 100) + "\\" + KeyName(i));
    store.PutValue(*key, "Count", kRegDword, {1, 0, 0, 0});
  }
  const auto before = store.Snapshot();
  for (std::int64_t i = 0; i < state.range(0); i += 100) {
    auto* key = store.EnsureKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Product\\" + KeyName(i / 100) + "\\" + KeyName(i));
    store.PutValue(*key, "Count", kRegDword, {2, 0, 0, 0});
  }
  for (auto _ : state) {
    const auto after = store.Snapshot();
    const auto changes = qvi::scenario::DiffRegistry(before, after);
    if (changes.size() != static_cast<std::size_t>(state.range(0) / 100)) state.SkipWithError("wrong diff");
  }
}
BENCHMARK(BM_Scaling_SnapshotAndDiff)->Apply(ScalingSizes);

}  // namespace

BENCHMARK_MAIN();
