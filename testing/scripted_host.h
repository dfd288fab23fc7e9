// A host control that answers from handlers given by a test, records every
// call as the snap-in made it and fails the calls it is told to.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "host/host_control.h"
#include "runtime/errors.h"

namespace qvi::testing {

// The description a failing call carries.
inline constexpr const char* kHostFailure = "Automation error";

struct RecordedCall {
  host::DispId id = 0;
  std::vector<host::Argument> args;  // as the snap-in passed them
};

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

}  // namespace qvi::testing
