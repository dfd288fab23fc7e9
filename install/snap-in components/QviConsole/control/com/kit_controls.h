// The host kit's pair of controls placed on one object of the library:
// QviNTNWSvc1, then QviPublic1, each created in-process by its ProgID.
#pragma once

#include <windows.h>

#include <optional>

#include "control/snap_in_library.h"
#include "host/com/dispatch_host_control.h"

namespace qvi::com {

class KitControls {
 public:
  // Creates both controls; on failure returns the COM error and holds none.
  HRESULT Place();
  bool placed() const { return qvi_public_.has_value(); }
  // Valid once placed.
  host::com::DispatchHostControl& qvi_public() { return *qvi_public_; }
  HostControls controls() { return HostControls{*qvi_public_, *qvi_ntnwsvc_}; }

 private:
  std::optional<host::com::DispatchHostControl> qvi_ntnwsvc_;
  std::optional<host::com::DispatchHostControl> qvi_public_;
};

// frmCommon's own pair, placed when the form is created. Without the host
// kit the form cannot be created: the statement that needs it fails with the
// COM error (handled as that routine handles its errors), and the next use
// tries again.
class ComFormControls final : public FormControlProvider {
 public:
  HostControls PlaceOnFrmCommon() override;

 private:
  KitControls controls_;
};

}  // namespace qvi::com
