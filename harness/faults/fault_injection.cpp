#include "faults/fault_injection.h"

#include <array>
#include <utility>

#include "platform/win32_types.h"

namespace qvi::faults {

using platform::kNoKey;

namespace {

constexpr std::array<std::pair<Function, std::string_view>, 12> kNames = {{
    {Function::kRegCreateKeyA, "RegCreateKeyA"},
    {Function::kRegSetValueExA, "RegSetValueExA"},
    {Function::kRegCloseKey, "RegCloseKey"},
    {Function::kRegOpenKeyExA, "RegOpenKeyExA"},
    {Function::kRegEnumKeyA, "RegEnumKeyA"},
    {Function::kRegDeleteKeyA, "RegDeleteKeyA"},
    {Function::kRegConnectRegistryA, "RegConnectRegistryA"},
    {Function::kGetPrivateProfileStringA, "GetPrivateProfileStringA"},
    {Function::kWritePrivateProfileStringA, "WritePrivateProfileStringA"},
    {Function::kGetComputerNameA, "GetComputerNameA"},
    {Function::kMessageBoxOk, "MessageBoxOk"},
    {Function::kAppendLine, "AppendLine"},
}};

}  // namespace

std::vector<Function> AllFunctions() {
  std::vector<Function> all;
  for (const auto& [function, name] : kNames) all.push_back(function);
  return all;
}

std::optional<Function> FunctionFromName(std::string_view name) {
  for (const auto& [function, text] : kNames) {
    if (text == name) return function;
  }
  return std::nullopt;
}

std::string_view FunctionName(Function function) {
  for (const auto& [f, text] : kNames) {
    if (f == function) return text;
  }
  return {};
}

std::string_view CodeName(Status code) {
  switch (code) {
    case platform::win32::kFileNotFound:
      return "file not found";
    case platform::win32::kPathNotFound:
      return "path not found";
    case platform::win32::kAccessDenied:
      return "access denied";
    case platform::win32::kInvalidHandle:
      return "invalid handle";
    case platform::win32::kInvalidParameter:
      return "invalid parameter";
    case platform::win32::kBadNetPath:
      return "network path not found";
    case platform::win32::kBufferOverflow:
      return "buffer overflow";
    case platform::win32::kDiskFull:
      return "disk full";
    case platform::win32::kNoMoreItems:
      return "no more items";
    default:
      return {};
  }
}

void FaultInjectingPlatform::FailCall(Function function, int occurrence, Status code) {
  faults_[function].push_back({occurrence, calls_[function], code, faults_set_++});
}

int FaultInjectingPlatform::CallCount(Function function) const {
  const auto it = calls_.find(function);
  return it == calls_.end() ? 0 : it->second;
}

std::optional<Status> FaultInjectingPlatform::Injected(Function function) {
  const int call = ++calls_[function];
  const auto it = faults_.find(function);
  if (it == faults_.end()) return std::nullopt;
  for (const Fault& fault : it->second) {
    if (fault.occurrence == 0 || call - fault.base == fault.occurrence) {
      fired_.push_back({fault.index, call});
      return fault.code;
    }
  }
  return std::nullopt;
}

Status FaultInjectingPlatform::RegCreateKeyA(HKey key, const char* sub_key, HKey* result) {
  if (const auto code = Injected(Function::kRegCreateKeyA)) return *code;
  return inner().RegCreateKeyA(key, sub_key, result);
}

Status FaultInjectingPlatform::RegSetValueExA(HKey key, const char* value_name, std::uint32_t reserved,
                                              std::uint32_t type, const std::uint8_t* data, std::uint32_t size) {
  if (const auto code = Injected(Function::kRegSetValueExA)) return *code;
  return inner().RegSetValueExA(key, value_name, reserved, type, data, size);
}

Status FaultInjectingPlatform::RegCloseKey(HKey key) {
  if (const auto code = Injected(Function::kRegCloseKey)) return *code;
  return inner().RegCloseKey(key);
}

Status FaultInjectingPlatform::RegOpenKeyExA(HKey key, const char* sub_key, std::uint32_t options,
                                             std::uint32_t sam_desired, HKey* result) {
  if (const auto code = Injected(Function::kRegOpenKeyExA)) {
    // A failed open hands back no handle, as on Windows.
    if (result) *result = kNoKey;
    return *code;
  }
  return inner().RegOpenKeyExA(key, sub_key, options, sam_desired, result);
}

Status FaultInjectingPlatform::RegEnumKeyA(HKey key, std::uint32_t index, char* name, std::uint32_t name_size) {
  if (const auto code = Injected(Function::kRegEnumKeyA)) return *code;
  return inner().RegEnumKeyA(key, index, name, name_size);
}

Status FaultInjectingPlatform::RegDeleteKeyA(HKey key, const char* sub_key) {
  if (const auto code = Injected(Function::kRegDeleteKeyA)) return *code;
  return inner().RegDeleteKeyA(key, sub_key);
}

Status FaultInjectingPlatform::RegConnectRegistryA(const char* machine_name, HKey key, HKey* result) {
  if (const auto code = Injected(Function::kRegConnectRegistryA)) return *code;
  return inner().RegConnectRegistryA(machine_name, key, result);
}

std::uint32_t FaultInjectingPlatform::GetPrivateProfileStringA(const char* section, const char* key,
                                                               const char* default_value, char* buffer,
                                                               std::uint32_t size, const char* file_name) {
  if (const auto code = Injected(Function::kGetPrivateProfileStringA)) {
    injected_last_error_ = static_cast<std::uint32_t>(*code);
    if (buffer && size > 0) buffer[0] = '\0';
    return 0;
  }
  injected_last_error_.reset();
  return inner().GetPrivateProfileStringA(section, key, default_value, buffer, size, file_name);
}

std::int32_t FaultInjectingPlatform::WritePrivateProfileStringA(const char* section, const char* key,
                                                                const char* value, const char* file_name) {
  if (const auto code = Injected(Function::kWritePrivateProfileStringA)) {
    injected_last_error_ = static_cast<std::uint32_t>(*code);
    return 0;
  }
  injected_last_error_.reset();
  return inner().WritePrivateProfileStringA(section, key, value, file_name);
}

std::int32_t FaultInjectingPlatform::GetComputerNameA(char* buffer, std::uint32_t* size) {
  if (const auto code = Injected(Function::kGetComputerNameA)) {
    injected_last_error_ = static_cast<std::uint32_t>(*code);
    return 0;
  }
  injected_last_error_.reset();
  return inner().GetComputerNameA(buffer, size);
}

std::uint32_t FaultInjectingPlatform::GetLastError() const {
  return injected_last_error_ ? *injected_last_error_ : inner().GetLastError();
}

std::int32_t FaultInjectingPlatform::MessageBoxOk(const std::string& text, const std::string& caption) {
  if (const auto code = Injected(Function::kMessageBoxOk)) {
    injected_last_error_ = static_cast<std::uint32_t>(*code);
    return 0;
  }
  injected_last_error_.reset();
  return inner().MessageBoxOk(text, caption);
}

Status FaultInjectingPlatform::AppendLine(const std::string& file_name, const std::string& line) {
  if (const auto code = Injected(Function::kAppendLine)) return *code;
  return inner().AppendLine(file_name, line);
}

}  // namespace qvi::faults
