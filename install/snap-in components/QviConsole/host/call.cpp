#include "host/call.h"

#include <vector>

namespace qvi::host {

void Arg::WriteBack(const Variant& value) const {
  if (auto* s = std::get_if<std::string*>(&target_)) {
    **s = value.ToString();
  } else if (auto* i = std::get_if<std::int32_t*>(&target_)) {
    **i = value.ToInt32();
  } else if (auto* h = std::get_if<std::int16_t*>(&target_)) {
    **h = value.ToInt16();
  }
}

Variant Call(HostControl& control, DispId id, std::initializer_list<Arg> args) {
  std::vector<Argument> passed;
  passed.reserve(args.size());
  for (const Arg& arg : args) passed.push_back({arg.value(), arg.by_ref()});
  Variant result = control.Invoke(id, passed);
  std::size_t i = 0;
  for (const Arg& arg : args) {
    if (arg.by_ref()) arg.WriteBack(passed[i].value);
    ++i;
  }
  return result;
}

}  // namespace qvi::host
