// Test doubles for frmCommon: a host control answering from handlers and
// recording every call, and a platform that keeps its log files and message
// boxes in memory.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/frm_common.h"
#include "host/dispid.h"
#include "host/host_control.h"
#include "platform/platform.h"

namespace qvi::testing {

struct RecordedCall {
  host::DispId id = 0;
  std::vector<host::Argument> args;  // as the snap-in passed them
};

class ScriptedHost : public host::HostControl {
 public:
  using Handler = std::function<host::Variant(std::vector<host::Argument>& args)>;
  // Decides, per call, whether it fails; sees the 1-based count of calls of
  // that DISPID so far, this one included.
  using FailPredicate = std::function<bool(int nth, const std::vector<host::Argument>& args)>;

  void On(host::DispId id, Handler handler) { handlers_[id] = std::move(handler); }
  void FailWhen(host::DispId id, FailPredicate when) { failures_[id] = std::move(when); }
  void FailAlways(host::DispId id) {
    FailWhen(id, [](int, const std::vector<host::Argument>&) { return true; });
  }

  // DISPID 25 from a table of sections; "" past the end of a list.
  void ServeParameters(std::map<std::string, std::vector<std::string>> sections);
  // DISPID 8 from a table of keys, each a list of directories by index.
  void ServeDirectories(std::map<std::string, std::vector<std::string>> directories);

  host::Variant Invoke(host::DispId id, std::vector<host::Argument>& args) override;

  const std::vector<RecordedCall>& calls() const { return calls_; }
  std::vector<RecordedCall> CallsOf(host::DispId id) const;

 private:
  std::map<host::DispId, Handler> handlers_;
  std::map<host::DispId, FailPredicate> failures_;
  std::map<host::DispId, int> counts_;
  std::vector<RecordedCall> calls_;
};

// The description a failing host call carries in these tests.
inline constexpr const char* kHostFailure = "Automation error";

class RecordingPlatform : public platform::Platform {
 public:
  std::string computer_name = "SRV1";
  // Non-zero: every AppendLine fails with it.
  platform::Status append_status = platform::win32::kSuccess;
  std::map<std::string, std::string> files;  // path -> content
  std::vector<std::pair<std::string, std::string>> boxes;  // text, caption

  platform::Status RegCreateKeyA(platform::HKey, const char*, platform::HKey*) override { return kRefused; }
  platform::Status RegSetValueExA(platform::HKey, const char*, std::uint32_t, std::uint32_t, const std::uint8_t*,
                                  std::uint32_t) override {
    return kRefused;
  }
  platform::Status RegCloseKey(platform::HKey) override { return kRefused; }
  platform::Status RegOpenKeyExA(platform::HKey, const char*, std::uint32_t, std::uint32_t,
                                 platform::HKey*) override {
    return kRefused;
  }
  platform::Status RegEnumKeyA(platform::HKey, std::uint32_t, char*, std::uint32_t) override { return kRefused; }
  platform::Status RegDeleteKeyA(platform::HKey, const char*) override { return kRefused; }
  platform::Status RegConnectRegistryA(const char*, platform::HKey, platform::HKey*) override { return kRefused; }
  std::uint32_t GetPrivateProfileStringA(const char*, const char*, const char*, char*, std::uint32_t,
                                         const char*) override {
    return 0;
  }
  std::int32_t WritePrivateProfileStringA(const char*, const char*, const char*, const char*) override { return 0; }
  std::int32_t GetComputerNameA(char* buffer, std::uint32_t* size) override;
  std::uint32_t GetLastError() const override { return last_error_; }
  std::int32_t MessageBoxOk(const std::string& text, const std::string& caption) override;
  platform::Status AppendLine(const std::string& file_name, const std::string& line) override;

 private:
  static constexpr platform::Status kRefused = platform::win32::kAccessDenied;
  std::uint32_t last_error_ = 0;
};

// The index argument of a recorded DISPID 25 or 8 call.
std::int32_t IndexOf(const RecordedCall& call);

}  // namespace qvi::testing
