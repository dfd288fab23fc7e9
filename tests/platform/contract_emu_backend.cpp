#include "emu/machine.h"
#include "platform/contract_test.h"
#include "testing/temp_folder.h"

namespace qvi::platform::contract {
namespace {

class EmuBackend final : public Backend {
 public:
  EmuBackend() {
    emu::MachineSettings settings;
    settings.computer_name = "CONTRACT1";
    machine_ = emu::Machine::Open(dir_.path() / "machine", settings);
    std::filesystem::create_directories(machine_->MapPath("C:\\scratch"));
  }
  Platform& platform() override { return *machine_; }
  RegistryReader& reader() override { return *machine_; }
  std::string scratch_folder() override { return "C:\\scratch"; }
  std::string windows_directory() override { return machine_->settings().windows_directory; }
  std::filesystem::path HostPath(const std::string& windows_path) override { return machine_->MapPath(windows_path); }
  void Flush() override { machine_->Save(); }

 private:
  testing::TempFolder dir_;
  std::unique_ptr<emu::Machine> machine_;
};

INSTANTIATE_TEST_SUITE_P(Emulated, PlatformContract,
                         ::testing::Values(BackendFactory{"Emulated", [] { return std::make_unique<EmuBackend>(); }}),
                         [](const ::testing::TestParamInfo<BackendFactory>& info) { return info.param.name; });

}  // namespace
}  // namespace qvi::platform::contract
