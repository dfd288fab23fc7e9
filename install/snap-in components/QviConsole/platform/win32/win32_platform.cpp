#include "platform/win32/win32_platform.h"

#include <windows.h>

namespace qvi::platform::win32api {

namespace {

HKEY ToHkey(HKey key) { return reinterpret_cast<HKEY>(key); }
HKey FromHkey(HKEY key) { return reinterpret_cast<HKey>(key); }

// A DWORD the caller passed as std::uint32_t, copied in and back out, so the
// caller sees exactly what Windows left there (or its own value when Windows
// left it alone).
class DwordInOut {
 public:
  explicit DwordInOut(std::uint32_t* target) : target_(target), value_(target ? *target : 0) {}
  ~DwordInOut() {
    if (target_) *target_ = value_;
  }
  DwordInOut(const DwordInOut&) = delete;
  DwordInOut& operator=(const DwordInOut&) = delete;
  DWORD* get() { return target_ ? &value_ : nullptr; }

 private:
  std::uint32_t* target_;
  DWORD value_;
};

}  // namespace

Status Win32Platform::RegCreateKeyA(HKey key, const char* sub_key, HKey* result) {
  HKEY opened = result ? ToHkey(*result) : nullptr;
  const LONG status = ::RegCreateKeyA(ToHkey(key), sub_key, result ? &opened : nullptr);
  if (result) *result = FromHkey(opened);
  return status;
}

Status Win32Platform::RegSetValueExA(HKey key, const char* value_name, std::uint32_t reserved, std::uint32_t type,
                                     const std::uint8_t* data, std::uint32_t size) {
  return ::RegSetValueExA(ToHkey(key), value_name, reserved, type, data, size);
}

Status Win32Platform::RegCloseKey(HKey key) { return ::RegCloseKey(ToHkey(key)); }

Status Win32Platform::RegOpenKeyExA(HKey key, const char* sub_key, std::uint32_t options, std::uint32_t sam_desired,
                                    HKey* result) {
  HKEY opened = result ? ToHkey(*result) : nullptr;
  const LONG status = ::RegOpenKeyExA(ToHkey(key), sub_key, options, sam_desired, result ? &opened : nullptr);
  if (result) *result = FromHkey(opened);
  return status;
}

Status Win32Platform::RegEnumKeyA(HKey key, std::uint32_t index, char* name, std::uint32_t name_size) {
  return ::RegEnumKeyA(ToHkey(key), index, name, name_size);
}

Status Win32Platform::RegDeleteKeyA(HKey key, const char* sub_key) { return ::RegDeleteKeyA(ToHkey(key), sub_key); }

Status Win32Platform::RegConnectRegistryA(const char* machine_name, HKey key, HKey* result) {
  HKEY connected = result ? ToHkey(*result) : nullptr;
  const LONG status = ::RegConnectRegistryA(machine_name, ToHkey(key), result ? &connected : nullptr);
  if (result) *result = FromHkey(connected);
  return status;
}

std::uint32_t Win32Platform::GetPrivateProfileStringA(const char* section, const char* key, const char* default_value,
                                                      char* buffer, std::uint32_t size, const char* file_name) {
  return ::GetPrivateProfileStringA(section, key, default_value, buffer, size, file_name);
}

std::int32_t Win32Platform::WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                                       const char* file_name) {
  return ::WritePrivateProfileStringA(section, key, value, file_name);
}

std::int32_t Win32Platform::GetComputerNameA(char* buffer, std::uint32_t* size) {
  DwordInOut length(size);
  return ::GetComputerNameA(buffer, length.get());
}

std::uint32_t Win32Platform::GetLastError() const { return ::GetLastError(); }

std::int32_t Win32Platform::MessageBoxOk(const std::string& text, const std::string& caption) {
  return ::MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_APPLMODAL);
}

Status Win32Platform::AppendLine(const std::string& file_name, const std::string& line) {
  const HANDLE file = ::CreateFileA(file_name.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return static_cast<Status>(::GetLastError());
  const std::string bytes = line + "\r\n";
  DWORD written = 0;
  Status status = ERROR_SUCCESS;
  if (!::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size()) {
    status = static_cast<Status>(::GetLastError());
    if (status == ERROR_SUCCESS) status = ERROR_WRITE_FAULT;
  }
  if (!::CloseHandle(file) && status == ERROR_SUCCESS) status = static_cast<Status>(::GetLastError());
  return status;
}

Status Win32Platform::RegQueryValueExA(HKey key, const char* value_name, std::uint32_t* type, std::uint8_t* data,
                                       std::uint32_t* size) {
  DwordInOut value_type(type);
  DwordInOut data_size(size);
  return ::RegQueryValueExA(ToHkey(key), value_name, nullptr, value_type.get(), data, data_size.get());
}

Status Win32Platform::RegEnumValueA(HKey key, std::uint32_t index, char* name, std::uint32_t* name_size,
                                    std::uint32_t* type, std::uint8_t* data, std::uint32_t* data_size) {
  DwordInOut name_length(name_size);
  DwordInOut value_type(type);
  DwordInOut data_length(data_size);
  return ::RegEnumValueA(ToHkey(key), index, name, name_length.get(), nullptr, value_type.get(), data,
                         data_length.get());
}

bool RunningUnderWine() {
  const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace qvi::platform::win32api
