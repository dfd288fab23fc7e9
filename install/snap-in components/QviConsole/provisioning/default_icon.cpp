#include <cstdint>
#include <string>

#include "control/qv_console.h"
#include "runtime/errors.h"

namespace qvi {

namespace {
constexpr std::int32_t kConsoleIconTitle = 7014;
constexpr std::int32_t kDefaultShellFolder = 0;
}  // namespace

void QVConsole::RequestDefaultIcon() {
  const OnError statement = OnError::ResumeNext();
  std::string IconResult;

  statement([&] {
    const std::string title = QviPublic1.GetText(kConsoleIconTitle);
    const std::string target = state_.ConsoleDir + "\\Quorvex.exe";
    const std::string folder = QviPublic1.GetShellFolder(kDefaultShellFolder);
    IconResult = std::to_string(QviPublic1.IconOperation(title, target, "", folder).ToInt32());
  });

  // The title and the folder are asked for again rather than kept, so the
  // message shows what the host answers now even when the request failed.
  statement([&] {
    const std::string title = QviPublic1.GetText(kConsoleIconTitle);
    const std::string folder = QviPublic1.GetShellFolder(kDefaultShellFolder);
    DebugMsg("Installing icon: " + title + "\n" +                     //
             "ConsoleDir$: " + state_.ConsoleDir + "\\Quorvex" + "\n" +  //
             "Default Shell Folder: " + folder + "\n" +                //
             "Default Icon: " + IconResult);
  });
}

}  // namespace qvi
