#include "control/snap_in_library.h"

namespace qvi {

FrmCommon& SnapInLibrary::frmCommon() {
  if (!frm_common_) frm_common_ = std::make_unique<FrmCommon>(controls_.qvi_public, controls_.qvi_ntnwsvc, os_);
  return *frm_common_;
}

}  // namespace qvi
