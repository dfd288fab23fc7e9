// Finds the console library through its package and runs one routine of it on
// an emulated machine: the routine's answer proves the link.
#include <cstdio>
#include <filesystem>

#include "emu/machine.h"
#include "platform/qvi_common.h"

int main() {
  const auto folder = std::filesystem::temp_directory_path() / "qvi-package-consumer";
  std::filesystem::remove_all(folder);
  qvi::emu::MachineSettings settings;
  settings.computer_name = "PKG1";
  auto machine = qvi::emu::Machine::Open(folder, settings);
  const std::string unc = qvi::platform::MakeLocalUNC(*machine, "C:\\Apps");
  machine.reset();
  std::filesystem::remove_all(folder);
  std::printf("%s\n", unc.c_str());
  return unc == "\\\\PKG1\\C$\\Apps" ? 0 : 1;
}
