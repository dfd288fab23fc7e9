// A platform that passes every call through to another one, except those it
// has been told to fail: the n-th call of a given function fails with a given
// Win32 code, without reaching the inner platform. Lets tests and qvihost
// cause failures that a healthy machine never shows.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "faults/forwarding_platform.h"

namespace qvi::faults {

using platform::HKey;
using platform::Status;

enum class Function {
  kRegCreateKeyA,
  kRegSetValueExA,
  kRegCloseKey,
  kRegOpenKeyExA,
  kRegEnumKeyA,
  kRegDeleteKeyA,
  kRegConnectRegistryA,
  kGetPrivateProfileStringA,
  kWritePrivateProfileStringA,
  kGetComputerNameA,
  kMessageBoxOk,
  kAppendLine,
};

// Every function, in the order above.
std::vector<Function> AllFunctions();
// "RegCreateKeyA" and the other names as written above, without the k.
std::optional<Function> FunctionFromName(std::string_view name);
std::string_view FunctionName(Function function);
// What a Win32 code the injector is told to give, or a call answers, means:
// "access denied" for 5, ..., "" for a code without a name here.
std::string_view CodeName(Status code);

class FaultInjectingPlatform final : public ForwardingPlatform {
 public:
  explicit FaultInjectingPlatform(platform::Platform& inner) : ForwardingPlatform(inner) {}

  // The `occurrence`-th call (1-based) of `function` from now on fails with
  // `code`; occurrence 0 fails every call.
  void FailCall(Function function, int occurrence, Status code);
  // How many times `function` has been called through this platform.
  int CallCount(Function function) const;

  // A call that failed because of a FailCall: the FailCall's index (in the
  // order they were made) and the call's number among its function's calls.
  // When two faults name one call, the one set first fails it.
  struct Fired {
    std::size_t fault;
    int call;
  };
  const std::vector<Fired>& fired() const { return fired_; }

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
  std::int32_t MessageBoxOk(const std::string& text, const std::string& caption) override;
  Status AppendLine(const std::string& file_name, const std::string& line) override;

 private:
  // Counts the call and returns the code it must fail with, if any.
  std::optional<Status> Injected(Function function);

  struct Fault {
    int occurrence;  // counted from when the fault was set; 0 = every call
    int base;        // calls already made when it was set
    Status code;
    std::size_t index;  // among every FailCall
  };
  std::map<Function, int> calls_;
  std::map<Function, std::vector<Fault>> faults_;
  std::vector<Fired> fired_;
  std::size_t faults_set_ = 0;
  std::optional<std::uint32_t> injected_last_error_;
};

}  // namespace qvi::faults
