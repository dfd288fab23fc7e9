// A frmCommon on scripted host controls and an emulated machine, behind a
// platform that can be told to fail calls. The host's "System" directory is on
// drive C, so the log is "C:\ods.txt".
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/frm_common.h"
#include "host/dispid.h"
#include "host/host_control.h"
#include "platform/emu/machine.h"
#include "platform/errors.h"
#include "platform/fault_injection.h"
#include "support/temp_dir.h"

namespace qvi::testing {

// The description a failing host call carries in these tests.
inline constexpr const char* kHostFailure = "Automation error";

struct RecordedCall {
  host::DispId id = 0;
  std::vector<host::Argument> args;  // as the snap-in passed them
};

// A host control that answers from handlers, records every call and fails the
// calls it is told to.
class ScriptedHost : public host::HostControl {
 public:
  using Handler = std::function<host::Variant(std::vector<host::Argument>& args)>;
  // Sees the 1-based count of calls of that DISPID so far, this one included.
  using FailPredicate = std::function<bool(int nth, const std::vector<host::Argument>& args)>;

  void On(host::DispId id, Handler handler) { handlers_[id] = std::move(handler); }
  void FailWhen(host::DispId id, FailPredicate when) { failures_[id] = std::move(when); }
  void FailAlways(host::DispId id) {
    FailWhen(id, [](int, const std::vector<host::Argument>&) { return true; });
  }
  // Answers `id` (key, index) from lists by key; "" past the end of a list.
  void ServeLists(host::DispId id, std::map<std::string, std::vector<std::string>> lists) {
    On(id, [lists = std::move(lists)](std::vector<host::Argument>& args) {
      const auto it = lists.find(args.at(0).value.ToString());
      const std::int32_t index = args.at(1).value.ToInt32();
      if (it == lists.end() || index < 0 || static_cast<std::size_t>(index) >= it->second.size()) {
        return host::Variant("");
      }
      return host::Variant(it->second[static_cast<std::size_t>(index)]);
    });
  }

  host::Variant Invoke(host::DispId id, std::vector<host::Argument>& args) override {
    calls_.push_back({id, args});
    const int nth = ++counts_[id];
    if (const auto failure = failures_.find(id); failure != failures_.end() && failure->second(nth, args)) {
      throw Error(440, kHostFailure);
    }
    const auto handler = handlers_.find(id);
    if (handler == handlers_.end()) throw Error(438, "Object doesn't support this property or method");
    return handler->second(args);
  }

  const std::vector<RecordedCall>& calls() const { return calls_; }
  std::vector<RecordedCall> CallsOf(host::DispId id) const {
    std::vector<RecordedCall> result;
    for (const RecordedCall& call : calls_) {
      if (call.id == id) result.push_back(call);
    }
    return result;
  }
  // The calls of `id` as the snap-in passed them, one string each: the
  // arguments as text, by-reference ones marked with '&' ("QVIConsole&,,0&").
  std::vector<std::string> Shown(host::DispId id) const {
    std::vector<std::string> shown;
    for (const RecordedCall& call : CallsOf(id)) {
      std::string text;
      for (const host::Argument& arg : call.args) {
        text += (text.empty() ? "" : ",") + arg.value.ToString() + (arg.by_ref ? "&" : "");
      }
      shown.push_back(text);
    }
    return shown;
  }

 private:
  std::map<host::DispId, Handler> handlers_;
  std::map<host::DispId, FailPredicate> failures_;
  std::map<host::DispId, int> counts_;
  std::vector<RecordedCall> calls_;
};

class FrmCommonTest : public ::testing::Test {
 protected:
  FrmCommonTest() {
    Directories({});
    Global({});
  }

  // The parameter lists: "Global" and any other sections.
  void Global(std::vector<std::string> entries, std::map<std::string, std::vector<std::string>> others = {}) {
    others["Global"] = std::move(entries);
    qvi_public.ServeLists(host::dispid::kGetParameter, std::move(others));
  }
  // The host's directory table, with the "System" directory unless given.
  void Directories(std::map<std::string, std::vector<std::string>> directories) {
    directories.try_emplace("System", std::vector<std::string>{"C:\\WINNT\\system32"});
    qvi_public.ServeLists(host::dispid::kGetDirectory, std::move(directories));
  }
  // The content of a file of the machine, "" when it does not exist.
  std::string FileText(const std::string& windows_path = "C:\\ods.txt") const {
    std::ifstream in(machine->MapPath(windows_path), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string Log() const { return FileText(); }
  void ClearLog() { std::filesystem::remove(machine->MapPath("C:\\ods.txt")); }
  bool LogExists() const { return std::filesystem::exists(machine->MapPath("C:\\ods.txt")); }
  // `count` report lines of frmCommon for the routine labelled `label`.
  static std::string Reports(const std::string& label, int count = 1) {
    std::string lines;
    for (int i = 0; i < count; ++i) lines += "(frmCommon) : Error in " + label + "\r\n";
    return lines;
  }
  const std::vector<emu::MessageBoxRecord>& Boxes() const { return machine->message_boxes(); }

  TempDir dir;
  std::unique_ptr<emu::Machine> machine = emu::Machine::Open(dir.path() / "machine");
  platform::FaultInjectingPlatform os{*machine};
  ScriptedHost qvi_public;
  ScriptedHost qvi_ntnwsvc;
  FrmCommon frm{qvi_public, qvi_ntnwsvc, os};
};

}  // namespace qvi::testing
