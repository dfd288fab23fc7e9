#include "control/snap_in_library.h"

namespace qvi {

FrmCommon& SnapInLibrary::frmCommon() {
  if (!frm_common_) {
    const HostControls controls = form_controls_.PlaceOnFrmCommon();
    frm_common_ = std::make_unique<FrmCommon>(controls.qvi_public, controls.qvi_ntnwsvc, os_);
  }
  return *frm_common_;
}

}  // namespace qvi
