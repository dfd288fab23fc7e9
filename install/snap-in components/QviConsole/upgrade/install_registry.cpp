#include <array>
#include <string>

#include "control/qv_console.h"
#include "runtime/errors.h"
#include "platform/win_api.h"

namespace qvi {

namespace {

// Deepest first, so that each deletion still finds its key when an earlier
// one could not remove everything; the last takes the whole product key.
constexpr std::array<const char*, 3> kInstallRegistryKeys = {
    "SOFTWARE\\Halvorn\\Tessaly\\Quorvex\\Install\\InstalledFiles",
    "SOFTWARE\\Halvorn\\Tessaly\\Quorvex\\Install",
    "SOFTWARE\\Halvorn\\Tessaly\\Quorvex",
};

}  // namespace

void QVConsole::RemoveInstallRegistry(std::string& machineName) {
  const OnError statement = OnError::ResumeNext();
  platform::HKey machine = platform::kNoKey;
  statement([&] { ConnectMachineRegistry(machineName, platform::kHkeyLocalMachine, machine); });
  if (machine == platform::kNoKey) return;
  for (const char* key : kInstallRegistryKeys) {
    statement([&] { platform::DeleteRegistryTree(os_, machine, key); });
  }
  statement([&] { os_.RegCloseKey(machine); });
}

void QVConsole::ConnectMachineRegistry(const std::string& machineName, platform::HKey rootKey,
                                       platform::HKey& hResult) {
  platform::HKey handle = platform::kNoKey;
  if (os_.RegConnectRegistryA(machineName.c_str(), rootKey, &handle) != platform::win32::kSuccess) {
    handle = platform::kNoKey;
  }
  hResult = handle;
}

}  // namespace qvi
