// The one seam between the snap-in and the operating system.
//
// Every function keeps the Win32 contract of its namesake (ANSI forms): strings
// cross as NUL-terminated text in the machine's ANSI code page, output buffers
// are the caller's, and results are Win32 status codes. A backend never throws
// from these functions; a failure is a status code (or FALSE plus LastError()).
// Out-parameters follow Windows: RegOpenKeyExA zeroes its handle on failure,
// RegCreateKeyA leaves it untouched, RegEnumKeyA leaves a too-small buffer as it
// was.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win32_types.h"

namespace qvi::platform {

class Platform {
 public:
  virtual ~Platform() = default;

  // advapi32
  virtual Status RegCreateKeyA(HKey key, const char* sub_key, HKey* result) = 0;
  virtual Status RegSetValueExA(HKey key, const char* value_name, std::uint32_t reserved, std::uint32_t type,
                                const std::uint8_t* data, std::uint32_t size) = 0;
  virtual Status RegCloseKey(HKey key) = 0;
  virtual Status RegOpenKeyExA(HKey key, const char* sub_key, std::uint32_t options, std::uint32_t sam_desired,
                               HKey* result) = 0;
  virtual Status RegEnumKeyA(HKey key, std::uint32_t index, char* name, std::uint32_t name_size) = 0;
  virtual Status RegDeleteKeyA(HKey key, const char* sub_key) = 0;
  virtual Status RegConnectRegistryA(const char* machine_name, HKey key, HKey* result) = 0;

  // kernel32. Returns the number of characters copied, without the NUL.
  virtual std::uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* default_value,
                                                 char* buffer, std::uint32_t size, const char* file_name) = 0;
  // Returns non-zero on success; on failure LastError() tells why.
  virtual std::int32_t WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                                  const char* file_name) = 0;
  // Returns non-zero on success; *size is the name length without the NUL. On
  // failure (LastError() 111 when too small) *size is the size needed, NUL included.
  virtual std::int32_t GetComputerNameA(char* buffer, std::uint32_t* size) = 0;
  // The thread's last error, set by the kernel32 functions above when they fail.
  virtual std::uint32_t GetLastError() const = 0;

  // user32: an application-modal box with one OK button and no icon. Returns
  // the button pressed (1, IDOK), or 0 when the box could not be shown.
  virtual std::int32_t MessageBoxOk(const std::string& text, const std::string& caption) = 0;

  // Appends text and CRLF to a text file, creating it when absent. Returns a
  // Win32 status: the file is opened, written and closed within the call.
  virtual Status AppendLine(const std::string& file_name, const std::string& line) = 0;
};

// Read-side registry functions that the snap-in never calls but that tests and
// reports need to judge what a backend stored. Same contract as Win32.
class RegistryReader {
 public:
  virtual ~RegistryReader() = default;
  virtual Status RegQueryValueExA(HKey key, const char* value_name, std::uint32_t* type, std::uint8_t* data,
                                  std::uint32_t* size) = 0;
  // Enumerates values in creation order; name_size and data_size are in/out.
  virtual Status RegEnumValueA(HKey key, std::uint32_t index, char* name, std::uint32_t* name_size,
                               std::uint32_t* type, std::uint8_t* data, std::uint32_t* data_size) = 0;
};

}  // namespace qvi::platform
