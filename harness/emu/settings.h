// machine.ini: the settings a machine is made with and keeps.
//
//   [Machine]
//   ComputerName=SRV1
//   WindowsDirectory=C:\WINNT
//   CodePage=1252
#pragma once

#include <filesystem>
#include <string>

#include "emu/emu_types.h"

namespace qvi::emu {

// Settings read from the bytes of `file`; what is missing keeps its default.
// Throws MachineError "file:line: ..." for a value that cannot be used.
MachineSettings ParseSettings(const std::string& bytes, const std::filesystem::path& file);

// Throws MachineError, its message starting with `where`, for settings no
// machine can have (an empty or malformed computer name, a Windows directory
// that is not a full drive path).
void ValidateSettings(const MachineSettings& settings, const std::string& where);

// The text of machine.ini for these settings.
std::string SettingsText(const MachineSettings& settings);

}  // namespace qvi::emu
