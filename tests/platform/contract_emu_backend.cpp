#include <fstream>
#include <iterator>

#include "platform/emu/machine.h"
#include "platform/contract_test.h"
#include "temp_folder.h"

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
  std::optional<std::string> FileBytes(const std::string& windows_path) override {
    machine_->Save();
    std::ifstream in(machine_->MapPath(windows_path), std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  void PutFile(const std::string& windows_path, const std::string& bytes) override {
    std::ofstream(machine_->MapPath(windows_path), std::ios::binary) << bytes;
  }
  void RemoveFile(const std::string& windows_path) override { std::filesystem::remove(machine_->MapPath(windows_path)); }

 private:
  testing::TempFolder dir_;
  std::unique_ptr<emu::Machine> machine_;
};

INSTANTIATE_TEST_SUITE_P(Emulated, PlatformContract,
                         ::testing::Values(BackendFactory{"Emulated", [] { return std::make_unique<EmuBackend>(); }}),
                         [](const ::testing::TestParamInfo<BackendFactory>& info) { return info.param.name; });

}  // namespace
}  // namespace qvi::platform::contract
