// The seam to the setup host: one control of the host kit, called by DISPID.
#pragma once

#include <cstdint>
#include <vector>

#include "host/variant.h"

namespace qvi::host {

using DispId = std::int32_t;

struct Argument {
  Variant value;
  bool by_ref = false;
};

class HostControl {
 public:
  virtual ~HostControl() = default;
  // Calls operation `id` with `args` in call order. The host may change the
  // value of a by-reference argument. A failing call raises qvi::Error; the
  // arguments are then as they were.
  virtual Variant Invoke(DispId id, std::vector<Argument>& args) = 0;
};

}  // namespace qvi::host
