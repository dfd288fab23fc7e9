// QVConsoleModule: the state shared by the events of one loaded library.
#pragma once

#include <cstdint>
#include <string>

namespace qvi {

// Values of LocalOSType.
inline constexpr std::int16_t kOsUnknown = 0;
inline constexpr std::int16_t kOsWindowsNT = 1;
inline constexpr std::int16_t kOsWindows95 = 2;

struct ModuleState {
  std::string ConsoleDir;
  std::string WindowsDir;
  std::string SystemDir;
  std::int16_t LocalOSType = kOsUnknown;
};

}  // namespace qvi
