#include <array>
#include <cstdint>
#include <string>

#include "control/qv_console.h"
#include "runtime/errors.h"
#include "platform/qvi_common.h"
#include "runtime/code_page.h"
#include "runtime/text.h"
#include "platform/win_api.h"

namespace qvi {

namespace {

constexpr const char* kCopyPage = "qvigui.copy1";
constexpr std::int32_t kConsoleIconTitle = 7014;
constexpr std::int32_t kShellFolder = 4;
constexpr std::int32_t kFirstDirectoryOperation = 4;
constexpr std::int32_t kSecondDirectoryOperation = 5;

struct RegistryTree {
  platform::HKey root;
  const char* path;
};

// The product family's trees that outlive the file removal unless taken
// away here; the console's alert defaults go with the first.
constexpr std::array<RegistryTree, 5> kProductTrees = {{
    {platform::kHkeyLocalMachine, "SOFTWARE\\Halvorn\\Tessaly\\Management Console"},
    {platform::kHkeyLocalMachine, "SOFTWARE\\Halvorn\\Tessaly\\Management Directory"},
    {platform::kHkeyLocalMachine, "SOFTWARE\\Halvorn\\Tessaly\\Install\\Components\\Tessaly Quorvex"},
    {platform::kHkeyLocalMachine, "SOFTWARE\\Halvorn\\Tessaly\\Win32 Modem Arbiter"},
    {platform::kHkeyCurrentUser, "SOFTWARE\\Halvorn\\Tessaly\\Management Console"},
}};

}  // namespace

void QVConsole::QviPublic1_qviPostPageNotification(const std::string& bstrPropertyPageProgId) {
  // The host hears of the first failing step: it ends the handler there.
  const OnError statement = OnError::PassToCaller();

  std::int32_t installing = 0;
  statement([&] { installing = QviPublic1.IsInstalling().ToInt32(); });
  if (installing != 0) return;
  if (code_page::Lower(bstrPropertyPageProgId) != kCopyPage) return;

  std::string console_key_dir;
  statement([&] { console_key_dir = QviPublic1.GetDirectory("QVConsole", std::int32_t{0}); });
  if (console_key_dir.empty()) return;

  std::string title;
  std::string folder;
  statement([&] { title = QviPublic1.GetText(kConsoleIconTitle); });
  statement([&] { folder = QviPublic1.GetShellFolder(kShellFolder); });
  statement([&] { DebugMsg("Shell Icon: " + title + "\n" + "Shell Folder: " + folder); });
  statement([&] {
    QviPublic1.IconOperation(host::Arg::Ref(title), state_.ConsoleDir + "\\Quorvex.exe", "",
                             host::Arg::Ref(folder));
  });

  for (const RegistryTree& tree : kProductTrees) {
    statement([&] { platform::DeleteRegistryTree(os_, tree.root, tree.path); });
  }

  std::int32_t result = 0;
  statement([&] {
    result = QviPublic1.DirectoryOperation(kFirstDirectoryOperation, platform::ParentDir(state_.ConsoleDir)).ToInt32();
  });
  if (result == 0) {
    statement([&] { QviPublic1.DirectoryOperation(kSecondDirectoryOperation, platform::ParentDir(state_.ConsoleDir)); });
  }
}

}  // namespace qvi
