#include "control/qv_console.h"

#include "runtime/errors.h"

namespace qvi {

namespace {
constexpr const char* kSettingsFile = "QVIConsole.ini";
constexpr const char* kComponentKey = "QVIConsole";
}  // namespace

QVConsole::QVConsole(SnapInLibrary& library, host::HostControl& qvi_public)
    : library_(library), state_(library.state()), os_(library.os()), QviPublic1(qvi_public) {}

void QVConsole::UserControl_Initialize() {
  const OnError statement = OnError::ResumeNext();
  statement([&] { QviPublic1.SetSettingsFile(kSettingsFile); });
}

void QVConsole::QviPublic1_qviSetup() {
  const OnError statement = OnError::ResumeNext();
  statement([&] {
    std::int32_t version = 0;
    state_.LocalOSType = host::Variant(QviPublic1.GetPlatform(host::Arg::Ref(version)).ToInt32()).ToInt16();
  });
  statement([&] { library_.frmCommon(); });
  statement([&] {
    std::string key = kComponentKey;
    library_.frmCommon().InitComponentDir(key);
  });
  statement([&] { PrepareConsoleComponent(); });
}

void QVConsole::QviPublic1_qviUninstall() {
  const OnError statement = OnError::ResumeNext();
  statement([&] { library_.frmCommon(); });
  statement([&] {
    std::string key = kComponentKey;
    library_.frmCommon().InitComponentDir(key);
  });
  statement([&] { PrepareConsoleComponent(); });
}

void QVConsole::DebugMsg(const std::string& msg) {
  const OnError statement = OnError::PassToCaller();
  statement([&] { library_.frmCommon().DMsgBox(msg, "QviConsole"); });
}

}  // namespace qvi
