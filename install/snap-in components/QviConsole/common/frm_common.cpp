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
    // DMsgBox reads the level through GetGlobalParam, whose failures come
    // back here, and reports them; that report reads the level once more. A
    // failure in that nested read is not reported (the reports would recurse
    // without end): it gives up the nested read, and then the read it was
    // reporting for, since the level cannot be had now. A single failure in a
    // level read is reported like any other and the read goes on.
    if (debug_level_reads_ > 1) {
      level_unreadable_ = true;
      throw error;
    }
    const bool reporting_for_level_read = debug_level_reads_ == 1;
    if (reporting_for_level_read) level_unreadable_ = false;
    DMsgBox("Error in " + label, "frmCommon");
    if (reporting_for_level_read && level_unreadable_) throw error;
  });
}

}  // namespace qvi
