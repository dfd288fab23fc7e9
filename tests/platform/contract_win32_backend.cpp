// The platform contract on the real Win32 API: the registry and files of the
// machine the suite runs on (under Wine, of its prefix).
#include <cstdlib>

#include "platform/contract_test.h"
#include "platform/win32/win32_platform.h"
#include "testing/temp_folder.h"

namespace qvi::platform::contract {
namespace {

class Win32Backend final : public Backend {
 public:
  Platform& platform() override { return platform_; }
  RegistryReader& reader() override { return platform_; }
  std::string scratch_folder() override { return folder_.path().string(); }
  std::string windows_directory() override {
    const char* root = std::getenv("SystemRoot");
    return root ? root : "C:\\Windows";
  }
  std::filesystem::path HostPath(const std::string& windows_path) override { return windows_path; }
  bool IsWine() const override { return win32api::RunningUnderWine(); }

 private:
  win32api::Win32Platform platform_;
  testing::TempFolder folder_{"qvi-contract-"};
};

INSTANTIATE_TEST_SUITE_P(Win32, PlatformContract,
                         ::testing::Values(BackendFactory{"Win32", [] { return std::make_unique<Win32Backend>(); }}),
                         [](const ::testing::TestParamInfo<BackendFactory>& info) { return info.param.name; });

}  // namespace
}  // namespace qvi::platform::contract
