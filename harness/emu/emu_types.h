// What the units of the emulated machine and their users share.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/win32_types.h"

namespace qvi::emu {

// A malformed store or settings file, or a machine folder that cannot be used.
// The message names the file and, for parse errors, the line.
class MachineError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The host failed a read or write of a machine file that is there (an I/O
// error, a permission the host refuses): not something Windows would answer,
// so the run stops instead of handing the snap-in a Win32 error.
class HostFault : public MachineError {
 public:
  using MachineError::MachineError;
};

// A Windows path that names nothing inside the machine folder. code() is the
// Win32 error the platform functions report for it (3 path not found, 53 bad
// network path, 67 bad network name, 161 bad path name).
class PathError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  PathError(const std::string& message, platform::Status code) : std::runtime_error(message), code_(code) {}
  platform::Status code() const { return code_; }

 private:
  platform::Status code_ = platform::win32::kPathNotFound;
};

// A path on a drive the machine has no folder for.
class UnknownDriveError : public PathError {
 public:
  explicit UnknownDriveError(char drive)
      : PathError(std::string("unknown drive ") + drive + ":", platform::win32::kPathNotFound), drive_(drive) {}
  char drive() const { return drive_; }  // upper case

 private:
  char drive_;
};

struct MachineSettings {
  std::string computer_name = "SRV1";
  std::string windows_directory = "C:\\WINNT";
  std::uint32_t code_page = 1252;
};

struct MessageBoxRecord {
  std::string text;
  std::string caption;
};

// One registry value as stored: name ("" for the default value), type and the
// exact bytes.
struct RegistryValue {
  std::string name;
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
  bool operator==(const RegistryValue&) const = default;
};

// One key with its full path ("HKEY_LOCAL_MACHINE\SOFTWARE\...", spelled as
// created) and its values in creation order.
struct RegistryKey {
  std::string path;
  std::vector<RegistryValue> values;
  bool operator==(const RegistryKey&) const = default;
};

}  // namespace qvi::emu
