// A run's trace: every call the snap-in made, to the platform and to the
// host, in the order made, each as the snap-in saw it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "faults/fault_injection.h"
#include "replacement_host/replacement_host.h"

namespace qvi::scenario {

// One call, its parts in the readable report's notation (machine text).
struct TracedCall {
  enum class Kind { kPlatform, kHost };
  Kind kind = Kind::kPlatform;
  std::string event;  // named as host calls name it; "" before the first event
  std::size_t seq = 0;  // the call's place in the run, from 1
  std::string function;  // "RegSetValueExA", "QviPublic 8 GetDirectory"
  std::vector<std::string> args;
  // "0", "5 access denied", `7 "COM1"` (with the text handed back);
  // a refused host call's "number: description".
  std::string result;
  std::string last_error;  // "" unless the call failed and sets the thread's error
  bool failed = false;
  bool injected = false;  // failed by the scenario's platform_failures or host.failures
};

// `RegSetValueExA(HKEY_LOCAL_MACHINE\SOFTWARE\X, "Modem", REG_SZ, "COM1") -> 5 access denied (injected)`;
// a refused host call as the host calls show it: `QviPublic 22 GetPlatform(ByRef 0) FAILED 440: Automation error`.
std::string TraceLine(const TracedCall& call);

// A platform that records every call the snap-in makes through it, then
// passes it to the fault injector: it sees each result as the snap-in does,
// an injected failure included. Handles are shown as the path of the key
// they were opened on, followed from the roots through each successful
// create, open and connect.
class RecordingPlatform final : public faults::ForwardingPlatform {
 public:
  // `host` tells the event under way and how many host calls came before.
  RecordingPlatform(faults::FaultInjectingPlatform& inner, const rhost::ReplacementHost& host);

  struct Recorded {
    std::size_t host_calls_before;  // where the call falls among the host's
    TracedCall call;                // seq not yet given
  };
  const std::vector<Recorded>& calls() const { return calls_; }

  platform::Status RegCreateKeyA(platform::HKey key, const char* sub_key, platform::HKey* result) override;
  platform::Status RegSetValueExA(platform::HKey key, const char* value_name, std::uint32_t reserved,
                                  std::uint32_t type, const std::uint8_t* data, std::uint32_t size) override;
  platform::Status RegCloseKey(platform::HKey key) override;
  platform::Status RegOpenKeyExA(platform::HKey key, const char* sub_key, std::uint32_t options,
                                 std::uint32_t sam_desired, platform::HKey* result) override;
  platform::Status RegEnumKeyA(platform::HKey key, std::uint32_t index, char* name,
                               std::uint32_t name_size) override;
  platform::Status RegDeleteKeyA(platform::HKey key, const char* sub_key) override;
  platform::Status RegConnectRegistryA(const char* machine_name, platform::HKey key,
                                       platform::HKey* result) override;
  std::uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* default_value,
                                         char* buffer, std::uint32_t size, const char* file_name) override;
  std::int32_t WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                          const char* file_name) override;
  std::int32_t GetComputerNameA(char* buffer, std::uint32_t* size) override;
  std::int32_t MessageBoxOk(const std::string& text, const std::string& caption) override;
  platform::Status AppendLine(const std::string& file_name, const std::string& line) override;

 private:
  // A call under way: what the injector had fired when it began.
  struct Started {
    faults::Function function;
    std::vector<std::string> args;
    std::size_t fired_before;
  };
  Started Start(faults::Function function, std::vector<std::string> args) const;
  void Finish(Started started, std::string result, bool failed, std::optional<std::uint32_t> last_error = {});
  // A status result: failed unless 0.
  void FinishStatus(Started started, platform::Status status, const std::string& handed_back = "");
  std::string KeyText(platform::HKey key) const;
  void Opened(platform::HKey parent, const char* sub_key, platform::Status status, const platform::HKey* result);

  const faults::FaultInjectingPlatform& faults_;
  const rhost::ReplacementHost& host_;
  std::map<platform::HKey, std::string> keys_;  // open handle -> key path
  std::vector<Recorded> calls_;
};

// The trace of a run: the recorded platform calls and the host's calls
// merged in the order made and numbered; a refused host call counts as
// injected when one of `failures` names it.
std::vector<TracedCall> MergeTrace(const std::vector<RecordingPlatform::Recorded>& platform_calls,
                                   const std::vector<rhost::HostCall>& host_calls,
                                   const std::vector<rhost::InjectedFailure>& failures);

}  // namespace qvi::scenario
