// Where a Windows path of the emulated machine lies in its folder. This is the
// machine's sandbox: nothing a path names may lie outside the folder.
//
//   "X:\..."            drive_x/... (existing folders and files matched
//                       whatever their letter case)
//   "\\NAME\X$\..."     the same, on the machine's own name
//   "name.ini"          a bare file name lies in the Windows directory
//
// Refused, before anything is touched: ".." above a drive root, an unknown
// drive, server or share, a relative or Unix path, a NUL byte, characters
// Windows does not allow in a name, and a symbolic link inside a drive.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "emu/emu_types.h"

namespace qvi::emu {

class PathMap {
 public:
  PathMap(std::filesystem::path folder, std::string computer_name, std::string windows_directory);

  const std::filesystem::path& folder() const { return folder_; }

  // Throws PathError, whose code() is the Win32 error for the path.
  std::filesystem::path Map(std::string_view windows_path) const;
  // The Windows path of a file inside a drive folder ("C:\WINNT\x.ini").
  // Throws PathError for a path outside the drives.
  std::string WindowsPathOf(const std::filesystem::path& host_path) const;

 private:
  std::filesystem::path MapComponents(char drive, const std::vector<std::string>& names) const;

  std::filesystem::path folder_;
  std::string computer_name_;
  std::string windows_directory_;
};

}  // namespace qvi::emu
