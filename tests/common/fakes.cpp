#include "fakes.h"

#include "platform/errors.h"

namespace qvi::testing {

void ScriptedHost::ServeLists(host::DispId id, std::map<std::string, std::vector<std::string>> lists) {
  On(id, [lists = std::move(lists)](std::vector<host::Argument>& args) {
    const auto it = lists.find(args.at(0).value.ToString());
    const std::int32_t index = args.at(1).value.ToInt32();
    if (it == lists.end() || index < 0 || static_cast<std::size_t>(index) >= it->second.size()) {
      return host::Variant("");
    }
    return host::Variant(it->second[static_cast<std::size_t>(index)]);
  });
}

host::Variant ScriptedHost::Invoke(host::DispId id, std::vector<host::Argument>& args) {
  calls_.push_back({id, args});
  const int nth = ++counts_[id];
  if (const auto failure = failures_.find(id); failure != failures_.end() && failure->second(nth, args)) {
    throw Error(440, kHostFailure);
  }
  const auto handler = handlers_.find(id);
  if (handler == handlers_.end()) throw Error(438, "Object doesn't support this property or method");
  return handler->second(args);
}

std::vector<RecordedCall> ScriptedHost::CallsOf(host::DispId id) const {
  std::vector<RecordedCall> result;
  for (const RecordedCall& call : calls_) {
    if (call.id == id) result.push_back(call);
  }
  return result;
}

std::int32_t IndexOf(const RecordedCall& call) { return call.args.at(1).value.ToInt32(); }

}  // namespace qvi::testing
