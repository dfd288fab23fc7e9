#include "common/frm_common.h"

#include <limits>
#include <utility>

#include "common/internal.h"

namespace qvi {

namespace internal {

std::int16_t NextIndex(std::int16_t index) {
  if (index == kLastScanIndex) throw errors::Overflow();
  return static_cast<std::int16_t>(index + 1);
}

std::int16_t ToInteger(std::int64_t value) {
  if (value < std::numeric_limits<std::int16_t>::min() || value > std::numeric_limits<std::int16_t>::max()) {
    throw errors::Overflow();
  }
  return static_cast<std::int16_t>(value);
}

}  // namespace internal

FrmCommon::FrmCommon(host::HostControl& qvi_public, host::HostControl& qvi_ntnwsvc, platform::Platform& os)
    : QviPublic1(qvi_public), QviNTNWSvc1(qvi_ntnwsvc), os_(os) {}

OnError FrmCommon::ReportAs(std::string label) {
  return OnError::Report([this, label = std::move(label)](const Error& error) {
    // DMsgBox reads the level through GetGlobalParam, whose own failures come
    // back here: reporting them would recurse without end, and going on with
    // the scan would cost each report a full scan. The level read is given up
    // instead; CLParamDebug then answers "" and the report shows nothing.
    if (reading_debug_level_) throw error;
    DMsgBox("Error in " + label, "frmCommon");
  });
}

}  // namespace qvi
