// A save on a kept machine of 400,000 keys after a run changed 100 values:
// appended to the registry log (alone, or with an INI file under the
// journal), and, for comparison, with registry.reg written whole as every
// save once did. Both flush to the disk: measure on
// one (the temporary folder is on the disk unless TMPDIR says otherwise).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "emu/machine.h"
#include "testing/temp_folder.h"

namespace {

using qvi::emu::Machine;

constexpr int kKeys = 400000;

// Keys shaped like a software hive: vendors, products, versions, a value each.
std::unique_ptr<Machine> LargeMachine(const std::filesystem::path& folder) {
  auto machine = Machine::Open(folder);
  qvi::emu::RegistryStore& store = machine->registry();
  qvi::emu::RegistryStore::KeyTrail trail;
  for (int i = 0; i < kKeys; ++i) {
    const std::string path = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor" + std::to_string(i / 4000) + "\\Product" +
                             std::to_string(i / 40 % 100) + "\\Version" + std::to_string(i % 40);
    const std::string data = "C:\\Program Files\\Vendor\\" + std::to_string(i);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.c_str());
    store.PutValue(*store.EnsureKey(path, trail), "InstallPath", 1,
                   std::vector<std::uint8_t>(bytes, bytes + data.size() + 1));
  }
  machine->Save();
  return machine;
}

enum class Save { kLogged, kLoggedWithIniFile, kRewritten };

void SaveAfterChanges(benchmark::State& state, Save how) {
  const bool logged = how != Save::kRewritten;
  qvi::testing::TempFolder dir;
  auto machine = LargeMachine(dir.path() / "m");
  std::int64_t round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    // Without the machine's own start the saves cannot tell what changed,
    // and write registry.reg whole.
    if (logged) {
      machine->StartRecording();
    } else {
      machine->registry().StartRecording();
    }
    qvi::platform::HKey key = qvi::platform::kNoKey;
    machine->RegCreateKeyA(qvi::platform::kHkeyLocalMachine, "SOFTWARE\\Vendor7\\Product3", &key);
    for (int i = 0; i < 100; ++i) {
      const std::string data = std::to_string(round) + "/" + std::to_string(i);
      machine->RegSetValueExA(key, ("Changed" + std::to_string(i)).c_str(), 0, 1,
                              reinterpret_cast<const std::uint8_t*>(data.c_str()),
                              static_cast<std::uint32_t>(data.size() + 1));
    }
    machine->RegCloseKey(key);
    // An INI file in the same save: the journal then commits the records.
    if (how == Save::kLoggedWithIniFile) {
      machine->WritePrivateProfileStringA("Round", "Count", std::to_string(round).c_str(), "kethra.ini");
    }
    ++round;
    state.ResumeTiming();
    machine->Save();
  }
  state.counters["registry_reg_MB"] =
      static_cast<double>(std::filesystem::file_size(dir.path() / "m" / "registry.reg")) / (1 << 20);
}

void BM_SaveOf100ValuesOn400kKeys_Logged(benchmark::State& state) { SaveAfterChanges(state, Save::kLogged); }
void BM_SaveOf100ValuesOn400kKeys_LoggedWithIniFile(benchmark::State& state) {
  SaveAfterChanges(state, Save::kLoggedWithIniFile);
}
void BM_SaveOf100ValuesOn400kKeys_Rewritten(benchmark::State& state) { SaveAfterChanges(state, Save::kRewritten); }
BENCHMARK(BM_SaveOf100ValuesOn400kKeys_Logged)->Iterations(200)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveOf100ValuesOn400kKeys_LoggedWithIniFile)->Iterations(200)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveOf100ValuesOn400kKeys_Rewritten)->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace
