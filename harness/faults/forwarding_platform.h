// A platform that passes every call to another one. A decorator derives from
// it and overrides only the calls it changes.
#pragma once

#include "platform/platform.h"

namespace qvi::faults {

class ForwardingPlatform : public platform::Platform {
 public:
  explicit ForwardingPlatform(platform::Platform& inner) : inner_(inner) {}
  // A decorator over another decorator must wrap it, not copy what it wraps:
  // the copy would pass calls by it. Name it as a platform::Platform&.
  ForwardingPlatform(const ForwardingPlatform&) = delete;
  ForwardingPlatform& operator=(const ForwardingPlatform&) = delete;

  platform::Status RegCreateKeyA(platform::HKey key, const char* sub_key, platform::HKey* result) override {
    return inner_.RegCreateKeyA(key, sub_key, result);
  }
  platform::Status RegSetValueExA(platform::HKey key, const char* value_name, std::uint32_t reserved,
                                  std::uint32_t type, const std::uint8_t* data, std::uint32_t size) override {
    return inner_.RegSetValueExA(key, value_name, reserved, type, data, size);
  }
  platform::Status RegCloseKey(platform::HKey key) override { return inner_.RegCloseKey(key); }
  platform::Status RegOpenKeyExA(platform::HKey key, const char* sub_key, std::uint32_t options,
                                 std::uint32_t sam_desired, platform::HKey* result) override {
    return inner_.RegOpenKeyExA(key, sub_key, options, sam_desired, result);
  }
  platform::Status RegEnumKeyA(platform::HKey key, std::uint32_t index, char* name,
                               std::uint32_t name_size) override {
    return inner_.RegEnumKeyA(key, index, name, name_size);
  }
  platform::Status RegDeleteKeyA(platform::HKey key, const char* sub_key) override {
    return inner_.RegDeleteKeyA(key, sub_key);
  }
  platform::Status RegConnectRegistryA(const char* machine_name, platform::HKey key,
                                       platform::HKey* result) override {
    return inner_.RegConnectRegistryA(machine_name, key, result);
  }
  std::uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* default_value,
                                         char* buffer, std::uint32_t size, const char* file_name) override {
    return inner_.GetPrivateProfileStringA(section, key, default_value, buffer, size, file_name);
  }
  std::int32_t WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                          const char* file_name) override {
    return inner_.WritePrivateProfileStringA(section, key, value, file_name);
  }
  std::int32_t GetComputerNameA(char* buffer, std::uint32_t* size) override {
    return inner_.GetComputerNameA(buffer, size);
  }
  std::uint32_t GetLastError() const override { return inner_.GetLastError(); }
  std::int32_t MessageBoxOk(const std::string& text, const std::string& caption) override {
    return inner_.MessageBoxOk(text, caption);
  }
  platform::Status AppendLine(const std::string& file_name, const std::string& line) override {
    return inner_.AppendLine(file_name, line);
  }

 protected:
  platform::Platform& inner() const { return inner_; }

 private:
  platform::Platform& inner_;
};

}  // namespace qvi::faults
