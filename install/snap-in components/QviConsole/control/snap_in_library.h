// One loaded copy of the snap-in library: its module-wide state and the one
// frmCommon instance. Two objects of this class are two independent loads.
#pragma once

#include <memory>

#include "common/frm_common.h"
#include "control/module_state.h"
#include "host/host_control.h"
#include "platform/platform.h"

namespace qvi {

// The host kit's controls placed on one of the snap-in's objects.
struct HostControls {
  host::HostControl& qvi_public;
  host::HostControl& qvi_ntnwsvc;
};

// Places the host kit's controls on frmCommon when the form is created. In
// the control library each form carries instances of its own; a replacement
// host may hand out the ones it placed on QVConsole.
class FormControlProvider {
 public:
  virtual ~FormControlProvider() = default;
  // Called once, when frmCommon is created. The controls stay valid as long
  // as the provider does.
  virtual HostControls PlaceOnFrmCommon() = 0;
};

class SnapInLibrary {
 public:
  SnapInLibrary(FormControlProvider& form_controls, platform::Platform& os)
      : form_controls_(form_controls), os_(os) {}

  ModuleState& state() { return state_; }
  platform::Platform& os() { return os_; }

  // The shared frmCommon instance, created on first use.
  FrmCommon& frmCommon();
  bool HasFrmCommon() const { return frm_common_ != nullptr; }

 private:
  FormControlProvider& form_controls_;
  platform::Platform& os_;
  ModuleState state_;
  std::unique_ptr<FrmCommon> frm_common_;
};

}  // namespace qvi
