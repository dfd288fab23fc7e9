// The platform seam on the real Win32 API: the ANSI registry and profile
// functions of advapi32 and kernel32, MessageBoxA of user32, and the file API
// for the log. This folder is the only place that sees windows.h.
//
// Every call is the Win32 function itself, and every out-parameter holds what
// Windows left in it. After a failure:
//   RegOpenKeyExA   *result is 0 (for an invalid root handle: unchanged)
//   RegCreateKeyA, RegConnectRegistryA  *result as Windows leaves it; the
//                   snap-in reads it only after success
//   RegEnumKeyA     a buffer too small (234) or the end (259) leaves it unchanged
//   RegQueryValueExA a buffer too small (234) is unchanged, *size is the size needed
//   GetComputerNameA a buffer too small gives 111, *size the size with the NUL
//   GetPrivateProfileStringA  never fails: a missing file, section or key
//                   gives the default
// GetLastError() is the calling thread's, as the kernel32 functions left it.
#pragma once

#include "platform/platform.h"

namespace qvi::platform::win32api {

class Win32Platform final : public Platform, public RegistryReader {
 public:
  Status RegCreateKeyA(HKey key, const char* sub_key, HKey* result) override;
  Status RegSetValueExA(HKey key, const char* value_name, std::uint32_t reserved, std::uint32_t type,
                        const std::uint8_t* data, std::uint32_t size) override;
  Status RegCloseKey(HKey key) override;
  Status RegOpenKeyExA(HKey key, const char* sub_key, std::uint32_t options, std::uint32_t sam_desired,
                       HKey* result) override;
  Status RegEnumKeyA(HKey key, std::uint32_t index, char* name, std::uint32_t name_size) override;
  Status RegDeleteKeyA(HKey key, const char* sub_key) override;
  Status RegConnectRegistryA(const char* machine_name, HKey key, HKey* result) override;
  std::uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* default_value,
                                         char* buffer, std::uint32_t size, const char* file_name) override;
  std::int32_t WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                          const char* file_name) override;
  std::int32_t GetComputerNameA(char* buffer, std::uint32_t* size) override;
  std::uint32_t GetLastError() const override;
  // An application-modal box with one OK button and no icon, owned by no window.
  std::int32_t MessageBoxOk(const std::string& text, const std::string& caption) override;
  // Opens the file for appending (created when absent), writes, closes.
  Status AppendLine(const std::string& file_name, const std::string& line) override;

  Status RegQueryValueExA(HKey key, const char* value_name, std::uint32_t* type, std::uint8_t* data,
                          std::uint32_t* size) override;
  Status RegEnumValueA(HKey key, std::uint32_t index, char* name, std::uint32_t* name_size, std::uint32_t* type,
                       std::uint8_t* data, std::uint32_t* data_size) override;
};

// True inside Wine, whose registry and profile functions differ from Windows'
// in a few documented places.
bool RunningUnderWine();

}  // namespace qvi::platform::win32api
