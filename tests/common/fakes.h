// A host control for frmCommon's tests: answers from handlers, records every
// call and fails the calls it is told to.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/frm_common.h"
#include "host/dispid.h"
#include "host/host_control.h"

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

  // Answers `id` (key, index) from lists by key; "" past the end of a list.
  void ServeLists(host::DispId id, std::map<std::string, std::vector<std::string>> lists);
  void ServeParameters(std::map<std::string, std::vector<std::string>> sections) {
    ServeLists(host::dispid::kGetParameter, std::move(sections));
  }
  void ServeDirectories(std::map<std::string, std::vector<std::string>> directories) {
    ServeLists(host::dispid::kGetDirectory, std::move(directories));
  }

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

// The index argument of a recorded DISPID 25 or 8 call.
std::int32_t IndexOf(const RecordedCall& call);

}  // namespace qvi::testing
