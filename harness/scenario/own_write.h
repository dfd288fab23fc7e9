// What one call of a clean run writes, told from its own arguments: the
// value a RegSetValueExA sets, the key a RegCreateKeyA makes, the entry a
// WritePrivateProfileStringA writes, the request a host operation makes.
// The matrix compares a fault's effect with the loss of exactly that, to
// fold the many rows whose only effect is the failed call's own write.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "emu/machine.h"
#include "faults/fault_injection.h"
#include "faults/forwarding_platform.h"
#include "replacement_host/replacement_host.h"

namespace qvi::scenario {

// Registry and file names are machine text, as RegistryChange and FileChange
// hold them; `host_line` is a line of the host's requests as the matrix
// writes them (UTF-8).
struct OwnWrite {
  std::string key;                   // RegCreateKeyA: its key; RegSetValueExA: the key of its value
  std::optional<std::string> value;  // RegSetValueExA: the value's name ("" the default value)
  std::string file;                  // WritePrivateProfileStringA: the file's Windows path
  std::string section;
  std::optional<std::string> entry;  // the key in the section; none: the whole section
  std::string host_line;             // a host operation: the request it alone made
  bool operator==(const OwnWrite&) const = default;
};

// One operating-system call's own write, by its function and its number
// among that function's calls.
struct RecordedWrite {
  faults::Function function = faults::Function::kRegSetValueExA;
  int occurrence = 0;
  OwnWrite write;
};

// Notes the own write of every RegCreateKeyA, RegSetValueExA and
// WritePrivateProfileStringA that succeeds, numbering the calls as the fault
// injector behind it does.
class OwnWriteRecorder final : public faults::ForwardingPlatform {
 public:
  OwnWriteRecorder(platform::Platform& inner, emu::Machine& machine) : ForwardingPlatform(inner), machine_(machine) {}

  platform::Status RegCreateKeyA(platform::HKey key, const char* sub_key, platform::HKey* result) override;
  platform::Status RegSetValueExA(platform::HKey key, const char* value_name, std::uint32_t reserved,
                                  std::uint32_t type, const std::uint8_t* data, std::uint32_t size) override;
  std::int32_t WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                          const char* file_name) override;

  std::vector<RecordedWrite> Take() { return std::move(writes_); }

 private:
  emu::Machine& machine_;
  std::map<faults::Function, int> calls_;
  std::vector<RecordedWrite> writes_;
};

// The request the `occurrence`-th call of host operation `dispid` made and
// that stands in the host's `state` as that call left it; none for an
// operation that requests nothing, or whose request a later call replaced.
std::optional<std::string> OwnHostRequest(const std::vector<rhost::HostCall>& calls, host::Control control,
                                          host::DispId dispid, int occurrence, const rhost::HostState& state);

// The lines of the host's requests the matrix compares runs by, one a request.
std::vector<std::string> HostRequestLines(const rhost::HostState& state);

}  // namespace qvi::scenario
