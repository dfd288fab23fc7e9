// One loaded copy of the snap-in library: its module-wide state and the one
// frmCommon instance. Two objects of this class are two independent loads.
#pragma once

#include <memory>

#include "common/frm_common.h"
#include "control/module_state.h"
#include "host/host_control.h"
#include "platform/platform.h"

namespace qvi {

// The host controls that the host places on the snap-in's objects.
struct HostControls {
  host::HostControl& qvi_public;
  host::HostControl& qvi_ntnwsvc;
};

class SnapInLibrary {
 public:
  SnapInLibrary(HostControls controls, platform::Platform& os) : controls_(controls), os_(os) {}

  ModuleState& state() { return state_; }
  platform::Platform& os() { return os_; }
  const HostControls& controls() const { return controls_; }

  // The shared frmCommon instance, created on first use.
  FrmCommon& frmCommon();
  bool HasFrmCommon() const { return frm_common_ != nullptr; }

 private:
  HostControls controls_;
  platform::Platform& os_;
  ModuleState state_;
  std::unique_ptr<FrmCommon> frm_common_;
};

}  // namespace qvi
