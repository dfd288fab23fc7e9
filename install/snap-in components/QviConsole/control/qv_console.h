// The user control QVConsole: the snap-in's answer to the host's events.
//
// Every handler but the page notification absorbs its own failures, statement
// by statement; QviPublic1_qviPostPageNotification ends at its first failing
// step and raises that failure to the host.
#pragma once

#include <cstdint>
#include <string>

#include "control/snap_in_library.h"
#include "host/qvi_public.h"
#include "platform/platform.h"

namespace qvi {

class QVConsole {
 public:
  // `qvi_public` is the host's QviPublic1 placed on the control.
  QVConsole(SnapInLibrary& library, host::HostControl& qvi_public);

  // Creation of the control.
  void UserControl_Initialize();
  void QviPublic1_qviSetup();
  void QviPublic1_qviUpgrade(std::int32_t nPreviousVersion);
  void QviPublic1_qviPostSetup();
  void QviPublic1_qviUninstall();
  void QviPublic1_qviPostPageNotification(const std::string& bstrPropertyPageProgId);

 private:
  // Console preparation and the alert device defaults.
  void PrepareConsoleComponent();
  // The control's log channel: DMsgBox of frmCommon with the title "QviConsole".
  void DebugMsg(const std::string& msg);
  void RemoveInstallRegistry(std::string& machineName);
  void ConnectMachineRegistry(const std::string& machineName, platform::HKey rootKey, platform::HKey& hResult);

  // Post-setup provisioning.
  void ProvisionOleDcom();
  void RequestDefaultIcon();

  SnapInLibrary& library_;
  ModuleState& state_;
  platform::Platform& os_;
  host::QviPublic QviPublic1;
};

}  // namespace qvi
