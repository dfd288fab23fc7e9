#include "scenario/trace.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <utility>

#include "emu/root_keys.h"
#include "replacement_host/operation_names.h"
#include "scenario/report.h"

namespace qvi::scenario {

using faults::Function;
using platform::HKey;
using platform::Status;

namespace {

std::string Quoted(const std::string& text) { return ShownValue(host::Variant(text)); }
std::string Quoted(const char* text) { return text ? Quoted(std::string(text)) : "NULL"; }
// The first `size` characters handed back in `buffer`, up to a NUL.
std::string HandedBack(const char* buffer, std::uint32_t size) {
  return buffer ? Quoted(std::string(buffer, strnlen(buffer, size))) : "";
}

std::string HexNumber(std::uintmax_t number) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, number, 16).ptr;
  return "0x" + std::string(digits, end);
}

// "5 access denied"; a code without a name by its number alone.
std::string CodeText(std::int64_t code) {
  const std::string_view name = faults::CodeName(static_cast<Status>(code));
  return std::to_string(code) + (name.empty() ? "" : " " + std::string(name));
}

// A key path written with its control characters visible: the one place a
// line break could otherwise split a line of the trace.
std::string PathText(const std::string& path) {
  std::string out;
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      out += c;
      continue;
    }
    char code[8];
    std::snprintf(code, sizeof code, "<0x%02X>", byte);
    out += code;
  }
  return out;
}

// Registry data as the report shows it: REG_SZ as text, the rest as hex bytes.
std::string DataText(std::uint32_t type, const std::uint8_t* data, std::uint32_t size) {
  if (!data) return "NULL";
  const std::string text = RegistryDataText({"", type, std::vector<std::uint8_t>(data, data + size)});
  return type == platform::kRegSz ? Quoted(text) : text;
}

TracedCall HostTraced(const rhost::HostCall& call, int occurrence, const std::vector<rhost::InjectedFailure>& failures) {
  TracedCall traced;
  traced.kind = TracedCall::Kind::kHost;
  traced.event = call.event;
  traced.function = std::string(rhost::ControlName(call.control)) + " " + std::to_string(call.dispid);
  if (const auto name = rhost::OperationName(call.control, call.dispid); !name.empty()) {
    traced.function.append(" ").append(name);
  }
  for (const rhost::RecordedArgument& arg : call.args) {
    traced.args.push_back((arg.by_ref ? "ByRef " : "") + ShownValue(arg.value));
  }
  traced.failed = call.failed;
  traced.result = call.failed ? call.failure : ShownValue(call.result);
  // The host fails a call its failures name before anything else can.
  traced.injected = call.failed && std::any_of(failures.begin(), failures.end(), [&](const auto& f) {
                      return f.control == call.control && f.dispid == call.dispid &&
                             (f.occurrence == 0 || f.occurrence == occurrence);
                    });
  return traced;
}

}  // namespace

std::string TraceLine(const TracedCall& call) {
  std::string line = call.function + "(";
  for (std::size_t i = 0; i < call.args.size(); ++i) line.append(i > 0 ? ", " : "").append(call.args[i]);
  line += ")";
  line += call.kind == TracedCall::Kind::kHost && call.failed ? " FAILED " : " -> ";
  line += call.result;
  if (!call.last_error.empty()) line += ", last error " + call.last_error;
  if (call.injected) line += " (injected)";
  return line;
}

RecordingPlatform::RecordingPlatform(faults::FaultInjectingPlatform& inner, const rhost::ReplacementHost& host)
    : ForwardingPlatform(static_cast<platform::Platform&>(inner)), faults_(inner), host_(host) {}

RecordingPlatform::Started RecordingPlatform::Start(Function function, std::vector<std::string> args) const {
  return {function, std::move(args), faults_.fired().size()};
}

void RecordingPlatform::Finish(Started started, std::string result, bool failed,
                               std::optional<std::uint32_t> last_error) {
  TracedCall call;
  call.event = host_.current_event();
  call.function = std::string(faults::FunctionName(started.function));
  call.args = std::move(started.args);
  call.result = std::move(result);
  call.injected = faults_.fired().size() > started.fired_before;
  call.failed = failed || call.injected;
  if (last_error) call.last_error = CodeText(*last_error);
  calls_.push_back({host_.calls().size(), std::move(call)});
}

void RecordingPlatform::FinishStatus(Started started, Status status, const std::string& handed_back) {
  std::string result = CodeText(status);
  if (status == platform::win32::kSuccess && !handed_back.empty()) result += " " + handed_back;
  Finish(std::move(started), std::move(result), status != platform::win32::kSuccess);
}

std::string RecordingPlatform::KeyText(HKey key) const {
  if (key == platform::kNoKey) return "NULL";
  if (const auto it = keys_.find(key); it != keys_.end()) return PathText(it->second);
  if (const auto root = emu::RootKeyName(key); !root.empty()) return std::string(root);
  return HexNumber(key);
}

void RecordingPlatform::Opened(HKey parent, const char* sub_key, Status status, const HKey* result) {
  if (status != platform::win32::kSuccess || !result || *result == platform::kNoKey) return;
  const auto known = keys_.find(parent);
  std::string path = known != keys_.end() ? known->second : std::string(emu::RootKeyName(parent));
  if (path.empty()) path = HexNumber(parent);
  if (sub_key && *sub_key) path.append("\\").append(sub_key);
  keys_[*result] = std::move(path);
}

Status RecordingPlatform::RegCreateKeyA(HKey key, const char* sub_key, HKey* result) {
  Started started = Start(Function::kRegCreateKeyA, {KeyText(key), Quoted(sub_key)});
  const Status status = inner().RegCreateKeyA(key, sub_key, result);
  Opened(key, sub_key, status, result);
  FinishStatus(std::move(started), status);
  return status;
}

Status RecordingPlatform::RegSetValueExA(HKey key, const char* value_name, std::uint32_t reserved,
                                         std::uint32_t type, const std::uint8_t* data, std::uint32_t size) {
  Started started = Start(Function::kRegSetValueExA,
                          {KeyText(key), Quoted(value_name), RegistryTypeName(type), DataText(type, data, size)});
  const Status status = inner().RegSetValueExA(key, value_name, reserved, type, data, size);
  FinishStatus(std::move(started), status);
  return status;
}

Status RecordingPlatform::RegCloseKey(HKey key) {
  Started started = Start(Function::kRegCloseKey, {KeyText(key)});
  const Status status = inner().RegCloseKey(key);
  // A handle that would not close is still open.
  if (status == platform::win32::kSuccess) keys_.erase(key);
  FinishStatus(std::move(started), status);
  return status;
}

Status RecordingPlatform::RegOpenKeyExA(HKey key, const char* sub_key, std::uint32_t options,
                                        std::uint32_t sam_desired, HKey* result) {
  Started started = Start(Function::kRegOpenKeyExA,
                          {KeyText(key), Quoted(sub_key), std::to_string(options), HexNumber(sam_desired)});
  const Status status = inner().RegOpenKeyExA(key, sub_key, options, sam_desired, result);
  Opened(key, sub_key, status, result);
  FinishStatus(std::move(started), status);
  return status;
}

Status RecordingPlatform::RegEnumKeyA(HKey key, std::uint32_t index, char* name, std::uint32_t name_size) {
  Started started = Start(Function::kRegEnumKeyA, {KeyText(key), std::to_string(index), std::to_string(name_size)});
  const Status status = inner().RegEnumKeyA(key, index, name, name_size);
  // Running out of subkeys is how every enumeration ends, not a failure.
  const bool failed = status != platform::win32::kSuccess && status != platform::win32::kNoMoreItems;
  std::string result = CodeText(status);
  if (status == platform::win32::kSuccess) result += " " + HandedBack(name, name_size);
  Finish(std::move(started), std::move(result), failed);
  return status;
}

Status RecordingPlatform::RegDeleteKeyA(HKey key, const char* sub_key) {
  Started started = Start(Function::kRegDeleteKeyA, {KeyText(key), Quoted(sub_key)});
  const Status status = inner().RegDeleteKeyA(key, sub_key);
  FinishStatus(std::move(started), status);
  return status;
}

Status RecordingPlatform::RegConnectRegistryA(const char* machine_name, HKey key, HKey* result) {
  Started started = Start(Function::kRegConnectRegistryA, {Quoted(machine_name), KeyText(key)});
  const Status status = inner().RegConnectRegistryA(machine_name, key, result);
  if (status == platform::win32::kSuccess && result && *result != platform::kNoKey) {
    const std::string root = KeyText(key);
    keys_[*result] = machine_name && *machine_name ? std::string(machine_name) + "\\" + root : root;
  }
  FinishStatus(std::move(started), status);
  return status;
}

// The kernel32 and user32 calls tell a failure by a 0 result and the
// thread's error; the error is read then, as the snap-in would read it.
std::uint32_t RecordingPlatform::GetPrivateProfileStringA(const char* section, const char* key,
                                                          const char* default_value, char* buffer,
                                                          std::uint32_t size, const char* file_name) {
  Started started = Start(Function::kGetPrivateProfileStringA,
                          {Quoted(section), Quoted(key), Quoted(default_value), std::to_string(size), Quoted(file_name)});
  const std::uint32_t copied = inner().GetPrivateProfileStringA(section, key, default_value, buffer, size, file_name);
  // Text is handed back as it is copied, list separators included; a 0 is
  // also an empty value, so it alone is no failure.
  std::string result = std::to_string(copied);
  if (buffer && size > 0) result += " " + Quoted(std::string(buffer, std::min(copied, size)));
  Finish(std::move(started), std::move(result), false,
         copied == 0 ? std::optional<std::uint32_t>(inner().GetLastError()) : std::nullopt);
  return copied;
}

std::int32_t RecordingPlatform::WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                                           const char* file_name) {
  Started started = Start(Function::kWritePrivateProfileStringA,
                          {Quoted(section), Quoted(key), Quoted(value), Quoted(file_name)});
  const std::int32_t written = inner().WritePrivateProfileStringA(section, key, value, file_name);
  Finish(std::move(started), std::to_string(written), written == 0,
         written == 0 ? std::optional<std::uint32_t>(inner().GetLastError()) : std::nullopt);
  return written;
}

std::int32_t RecordingPlatform::GetComputerNameA(char* buffer, std::uint32_t* size) {
  Started started = Start(Function::kGetComputerNameA, {size ? std::to_string(*size) : "NULL"});
  const std::uint32_t room = size ? *size : 0;
  const std::int32_t named = inner().GetComputerNameA(buffer, size);
  std::string result = std::to_string(named);
  if (named != 0 && size) result += " " + HandedBack(buffer, std::min(*size, room));
  Finish(std::move(started), std::move(result), named == 0,
         named == 0 ? std::optional<std::uint32_t>(inner().GetLastError()) : std::nullopt);
  return named;
}

std::int32_t RecordingPlatform::MessageBoxOk(const std::string& text, const std::string& caption) {
  Started started = Start(Function::kMessageBoxOk, {Quoted(text), Quoted(caption)});
  const std::int32_t button = inner().MessageBoxOk(text, caption);
  Finish(std::move(started), std::to_string(button), button == 0,
         button == 0 ? std::optional<std::uint32_t>(inner().GetLastError()) : std::nullopt);
  return button;
}

Status RecordingPlatform::AppendLine(const std::string& file_name, const std::string& line) {
  Started started = Start(Function::kAppendLine, {Quoted(file_name), Quoted(line)});
  const Status status = inner().AppendLine(file_name, line);
  FinishStatus(std::move(started), status);
  return status;
}

std::vector<TracedCall> MergeTrace(const std::vector<RecordingPlatform::Recorded>& platform_calls,
                                   const std::vector<rhost::HostCall>& host_calls,
                                   const std::vector<rhost::InjectedFailure>& failures) {
  std::vector<TracedCall> trace;
  trace.reserve(platform_calls.size() + host_calls.size());
  std::map<std::pair<host::Control, host::DispId>, int> occurrences;
  std::size_t next = 0;
  for (std::size_t h = 0; h <= host_calls.size(); ++h) {
    for (; next < platform_calls.size() && platform_calls[next].host_calls_before <= h; ++next) {
      trace.push_back(platform_calls[next].call);
    }
    if (h == host_calls.size()) break;
    const rhost::HostCall& call = host_calls[h];
    trace.push_back(HostTraced(call, ++occurrences[{call.control, call.dispid}], failures));
  }
  for (std::size_t i = 0; i < trace.size(); ++i) trace[i].seq = i + 1;
  return trace;
}

}  // namespace qvi::scenario
