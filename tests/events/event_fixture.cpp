#include "events/event_fixture.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "faults/forwarding_platform.h"
#include "runtime/code_page.h"

namespace qvi::events_test {

namespace {

using platform::HKey;
using faults::Function;
using platform::Status;

constexpr const char* kSystemDir = "C:\\WINNT\\system32";

// Notes the registry calls, with the host's call count at the time.
class RecordingPlatform final : public faults::ForwardingPlatform {
 public:
  RecordingPlatform(platform::Platform& inner, std::vector<PlatformCall>& calls,
                    const std::unique_ptr<rhost::ReplacementHost>& host)
      : ForwardingPlatform(inner), calls_(calls), host_(host) {}

  Status RegCreateKeyA(HKey key, const char* sub_key, HKey* result) override {
    return Noted(Function::kRegCreateKeyA, sub_key, key, result, inner().RegCreateKeyA(key, sub_key, result));
  }
  Status RegSetValueExA(HKey key, const char* value_name, std::uint32_t reserved, std::uint32_t type,
                        const std::uint8_t* data, std::uint32_t size) override {
    return Noted(Function::kRegSetValueExA, value_name, key, nullptr,
                 inner().RegSetValueExA(key, value_name, reserved, type, data, size));
  }
  Status RegCloseKey(HKey key) override {
    return Noted(Function::kRegCloseKey, nullptr, key, nullptr, inner().RegCloseKey(key));
  }
  Status RegOpenKeyExA(HKey key, const char* sub_key, std::uint32_t options, std::uint32_t sam,
                       HKey* result) override {
    return Noted(Function::kRegOpenKeyExA, sub_key, key, result,
                 inner().RegOpenKeyExA(key, sub_key, options, sam, result));
  }
  Status RegEnumKeyA(HKey key, std::uint32_t index, char* name, std::uint32_t name_size) override {
    return Noted(Function::kRegEnumKeyA, nullptr, key, nullptr, inner().RegEnumKeyA(key, index, name, name_size));
  }
  Status RegDeleteKeyA(HKey key, const char* sub_key) override {
    return Noted(Function::kRegDeleteKeyA, sub_key, key, nullptr, inner().RegDeleteKeyA(key, sub_key));
  }
  Status RegConnectRegistryA(const char* machine, HKey key, HKey* result) override {
    return Noted(Function::kRegConnectRegistryA, machine, key, result,
                 inner().RegConnectRegistryA(machine, key, result));
  }

 private:
  // Noted after the call has been made, so that the handle it returned is known.
  Status Noted(Function function, const char* argument, HKey key, const HKey* result, Status status) {
    calls_.push_back({function, argument == nullptr ? "" : argument, key,
                      result != nullptr && status == 0 ? *result : 0, host_ == nullptr ? 0 : host_->calls().size()});
    return status;
  }

  std::vector<PlatformCall>& calls_;
  const std::unique_ptr<rhost::ReplacementHost>& host_;
};

std::string Describe(const rhost::HostCall& call) {
  std::string text = std::to_string(call.dispid) + "(";
  for (std::size_t i = 0; i < call.args.size(); ++i) {
    if (i > 0) text += ", ";
    const host::Variant& value = call.args[i].value;
    text += value.type() == host::Variant::Type::kString ? "\"" + value.ToString() + "\""
            : value.IsEmpty()                           ? "Empty"
                                                        : value.ToString();
  }
  return text + ")";
}

}  // namespace

rhost::HostConfig NtHostConfig() {
  constexpr const char* kProgramDir = "C:\\Program Files\\Tessaly";
  constexpr const char* kMenu = "C:\\WINNT\\Profiles\\All Users\\Start Menu";
  rhost::HostConfig config;
  config.directories = {
      {"TYConsole", {kProgramDir}},
      {"windows", {kWindowsDir}},
      {"system", {kSystemDir}},
  };
  config.removal_directories = {{"TYConsole", kProgramDir}};
  config.texts = {{7010, "Console"}, {7011, "Console Help"}, {7012, "Read Me"}, {7013, "Uninstall Console"},
                  {7014, "Quorvex Console"}};
  config.shell_folders = {{0, kMenu}, {4, "C:\\WINNT\\Profiles\\All Users\\Desktop"}};
  config.parameters = {{"Global", {"debug:1"}}};
  return config;
}

rhost::HostConfig RemovalHostConfig() {
  rhost::HostConfig config = NtHostConfig();
  config.installing = std::int32_t{0};
  return config;
}

std::string Text(const emu::RegistryValue& value) {
  const auto nul = std::find(value.data.begin(), value.data.end(), std::uint8_t{0});
  return std::string(value.data.begin(), nul);
}

EventTest::EventTest() { OpenMachine(); }

void EventTest::OpenMachine(const emu::MachineSettings& settings) {
  session_.reset();
  recorder_.reset();
  faults_.reset();
  machine_.reset();
  machine_ = emu::Machine::Open(dir_.path() / ("machine" + std::to_string(++machines_)), settings);
  std::filesystem::create_directories(machine_->MapPath(kWindowsDir));
  std::filesystem::create_directories(machine_->MapPath(kSystemDir));
  faults_ = std::make_unique<faults::FaultInjectingPlatform>(*machine_);
  recorder_ = std::make_unique<RecordingPlatform>(*faults_, platform_calls_, host_);
}

void EventTest::Start(rhost::HostConfig config) {
  session_.reset();
  host_ = std::make_unique<rhost::ReplacementHost>(std::move(config));
  session_ = std::make_unique<rhost::Session>(*host_, *recorder_);
  session_->Raise(Event::kCreation);
}

rhost::EventOutcome EventTest::Raise(const std::string& event, const std::string& argument) {
  const std::optional<Event> known = EventByName(event);
  if (!known) throw std::invalid_argument("unknown event " + event);
  return session_->Raise(*known, argument);
}

std::vector<std::string> EventTest::Calls(const std::string& event) const {
  std::vector<std::string> calls;
  for (const rhost::HostCall& call : host_->calls()) {
    if (call.event != event || call.control != host::Control::kQviPublic || call.dispid == host::dispid::kGetParameter) {
      continue;
    }
    calls.push_back(Describe(call));
  }
  return calls;
}

void EventTest::FailHostCall(host::DispId id, int occurrence) {
  const auto& calls = host_->calls();
  const auto made = std::count_if(calls.begin(), calls.end(), [&](const rhost::HostCall& c) {
    return c.control == host::Control::kQviPublic && c.dispid == id;
  });
  rhost::InjectedFailure failure;
  failure.dispid = id;
  failure.occurrence = occurrence == 0 ? 0 : static_cast<int>(made) + occurrence;
  host_->mutable_config().failures.push_back(failure);
}

std::vector<PlatformCall> EventTest::RegistryCalls(faults::Function function, std::size_t from) const {
  std::vector<PlatformCall> calls;
  for (std::size_t i = from; i < platform_calls_.size(); ++i) {
    if (platform_calls_[i].function == function) calls.push_back(platform_calls_[i]);
  }
  return calls;
}

std::string EventTest::FailedCall(const std::string& event) const {
  std::string failed;
  for (const rhost::HostCall& call : host_->calls()) {
    if (call.event == event && call.failed) {
      EXPECT_TRUE(failed.empty()) << "more than one failed call in " << event;
      failed = Describe(call);
    }
  }
  return failed;
}

std::optional<emu::RegistryKey> EventTest::Key(const std::string& path) const {
  for (emu::RegistryKey& key : machine_->SnapshotRegistry()) {
    if (code_page::EqualsNoCase(key.path, path)) return std::move(key);
  }
  return std::nullopt;
}

void EventTest::WriteKethraIni(const std::string& content) {
  std::ofstream out(machine_->MapPath(std::string(kWindowsDir) + "\\kethra.ini"), std::ios::binary);
  out << content;
}

std::string EventTest::ReadFile(const std::string& windows_path) const {
  std::ifstream in(machine_->MapPath(windows_path), std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::vector<std::string> EventTest::LogLines() const {
  const std::string log = ReadFile("C:\\ods.txt");
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end = log.find("\r\n"); end != std::string::npos; end = log.find("\r\n", start)) {
    lines.push_back(log.substr(start, end - start));
    start = end + 2;
  }
  EXPECT_EQ(start, log.size()) << "the log ends in an unfinished line";
  return lines;
}

}  // namespace qvi::events_test
