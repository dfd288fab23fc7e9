#include <array>
#include <cstdint>
#include <string>

#include "control/qv_console.h"
#include "runtime/errors.h"
#include "platform/qvi_common.h"
#include "platform/win_api.h"

namespace qvi {

namespace {

constexpr const char* kUninstallSection = "Uninstall 32";
constexpr const char* kConsoleEntry = "Console";
constexpr const char* kGroupEntry = "PM Group";
// The earlier installation's four icons, by the host's text numbers.
constexpr std::array<std::int32_t, 4> kOldIconTitles = {7010, 7011, 7012, 7013};
// The two program-menu folders the old group may sit in.
constexpr std::int32_t kFirstProgramFolder = 1;
constexpr std::int32_t kSecondProgramFolder = 2;

bool IsUncPath(const std::string& path) { return path.starts_with("\\\\"); }

}  // namespace

void QVConsole::QviPublic1_qviUpgrade(std::int32_t /*nPreviousVersion*/) {
  const OnError statement = OnError::ResumeNext();
  std::string base;
  std::string computer;
  std::string winDir;
  std::string sysDir;
  std::string zelDir;
  std::string group;
  std::string folder;

  statement([&] { base = QviPublic1.GetDirectory("TYConsole", std::int32_t{0}); });
  if (base.empty()) return;

  statement([&] { computer = platform::QueryComputerName(os_); });
  statement([&] { winDir = QviPublic1.GetDirectory("Windows", std::int32_t{0}); });
  statement([&] { sysDir = QviPublic1.GetDirectory("System", std::int32_t{0}); });
  const std::string iniFile = winDir + "\\kethra.ini";

  statement([&] { platform::ReadIniString(os_, kUninstallSection, kConsoleEntry, "", zelDir, iniFile); });
  statement([&] { DebugMsg("Zel32Dir = '" + zelDir + "'"); });
  if (zelDir.empty()) return;

  // The old directory is reached through this computer's administrative
  // share. A directory recorded as a UNC path already names its share, and a
  // prefix in front of it would name nothing.
  if (!IsUncPath(zelDir)) {
    statement([&] {
      std::int16_t case_sensitive = 0;
      zelDir = platform::ReplaceText(zelDir, ":", "$", case_sensitive);
    });
    statement([&] { zelDir = "\\\\" + computer + "\\" + zelDir; });
  }
  statement([&] { DebugMsg("UNC Zel32Dir = '" + zelDir + "'"); });

  statement([&] { QviPublic1.SetDestinationDir("zel32", host::Arg::Ref(zelDir)); });
  statement([&] { QviPublic1.SetDestinationDir("drivers", sysDir + "\\drivers"); });
  statement([&] { QviPublic1.SetDestinationDir("windows", host::Arg::Ref(winDir)); });
  statement([&] { DebugMsg("Dest Dir = '" + zelDir + "'"); });

  statement([&] { QviPublic1.SetCopySection("Upgrade"); });
  statement([&] { DebugMsg("Copy section set to 'Upgrade'"); });

  // A lone NUL ends the value at once, so the entry is emptied, not removed.
  statement([&] {
    platform::WriteIniString(os_, kUninstallSection, kConsoleEntry, std::string(1, '\0'), iniFile);
  });
  statement([&] { platform::ReadIniString(os_, kUninstallSection, kGroupEntry, "", group, iniFile); });

  const auto clear_old_group = [&] {
    for (const std::int32_t title : kOldIconTitles) {
      statement([&] { QviPublic1.IconOperation(QviPublic1.GetText(title), "", "", host::Arg::Ref(folder)); });
    }
    statement([&] { QviPublic1.RemoveFolder(host::Arg::Ref(folder)); });
  };

  statement([&] { folder = QviPublic1.GetShellFolder(kFirstProgramFolder) + "\\" + group; });
  statement([&] { DebugMsg("FolderPath = '" + folder + "'"); });
  clear_old_group();

  // When the second folder cannot be had, the first is worked through again.
  statement([&] { folder = QviPublic1.GetShellFolder(kSecondProgramFolder) + "\\" + group; });
  statement([&] { DebugMsg("FolderPath = '" + folder + "'"); });
  clear_old_group();

  statement([&] {
    std::string local_machine;
    RemoveInstallRegistry(local_machine);
  });
}

}  // namespace qvi
