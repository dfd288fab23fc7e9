#include "control/qv_console.h"
#include "runtime/errors.h"

namespace qvi {

void QVConsole::QviPublic1_qviPostSetup() {
  const OnError statement = OnError::ResumeNext();
  // Windows NT brings its own OLE/DCOM registration; Windows 95 needs it
  // written before anything relies on the console's remote objects.
  if (state_.LocalOSType == kOsWindows95) {
    statement([&] { ProvisionOleDcom(); });
  }
  statement([&] { RequestDefaultIcon(); });
}

}  // namespace qvi
