// qviUpgrade: taking over the console directory and program group an earlier
// installation recorded in kethra.ini, and removing its install registry.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "event_fixture.h"

namespace qvi::events_test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::Function;
using Lines = std::vector<std::string>;

constexpr const char* kKethra = "[Uninstall 32]\r\nConsole=C:\\OLDCON\r\nPM Group=Quorvex Console\r\n";
const std::string kProduct = std::string(kHklm) + "SOFTWARE\\Halvorn\\Tessaly\\Quorvex";
const std::string kGroup1 = std::string(kProgramsFolder1) + "\\Quorvex Console";

//   HKLM\SOFTWARE\Halvorn\Tessaly
//   +-- Quorvex                     (removed, whole)
//   |   +-- Install
//   |   |   +-- InstalledFiles
//   |   +-- Settings
//   +-- Management Console          (kept)
constexpr const char* kEarlierInstallation =
    "REGEDIT4\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\Tessaly\\Quorvex\\Install\\InstalledFiles]\r\n"
    "\"C:\\\\OLDCON\\\\Quorvex.exe\"=\"1\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\Tessaly\\Quorvex\\Settings]\r\n\"Theme\"=\"dark\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\Tessaly\\Management Console]\r\n\"Keep\"=\"yes\"\r\n";

class UpgradeTest : public EventTest {
 protected:
  void SetUp() override { Seed(); }
  void Seed(const std::string& kethra = kKethra) {
    if (!kethra.empty()) WriteKethraIni(kethra);
    machine_->ImportReg(kEarlierInstallation, "earlier.reg");
  }
  std::string Log(const std::string& message) const { return "(QviConsole) : " + message; }
};

TEST_F(UpgradeTest, WithoutAnOldConsoleNothingIsTakenOver) {
  // Without the host's console directory nothing else is asked; without a
  // recorded console the empty one is logged.
  for (const auto& [host_knows_console, kethra] : std::vector<std::pair<bool, std::string>>{
           {false, kKethra}, {true, ""}, {true, "[Uninstall 32]\r\nPM Group=Quorvex Console\r\n"}}) {
    SCOPED_TRACE(kethra);
    OpenMachine();
    Seed(kethra);
    rhost::HostConfig config = NtHostConfig();
    if (!host_knows_console) config.directories.erase("TYConsole");
    Start(config);
    Raise("qviUpgrade", "3");

    EXPECT_EQ(LogLines(), host_knows_console ? Lines{Log("Zel32Dir = ''")} : Lines{});
    EXPECT_EQ(ReadKethraIni(), kethra);
    EXPECT_TRUE(KeyExists(kProduct + "\\Install\\InstalledFiles"));
    EXPECT_THAT(host_->state().destination_dirs, IsEmpty());
    EXPECT_THAT(host_->state().icons, IsEmpty());
    if (!host_knows_console) {
      EXPECT_THAT(Calls("qviUpgrade"), ElementsAre("8(\"TYConsole\", 0)"));
    }
  }
}

TEST_F(UpgradeTest, OldDirectoryIsReachedThroughThisComputersShare) {
  using Case = std::tuple<std::string, int, std::string, std::string>;  // computer, platform, recorded, bound
  for (const auto& [computer, platform_code, recorded, bound] : std::vector<Case>{
           {"ADMIN7", 1, "D:\\OLD\\CONSOLE", "\\\\ADMIN7\\D$\\OLD\\CONSOLE"},
           // Already on a share: a computer name in front would name nothing.
           {"SRV1", 2, "\\\\SRV2\\SHARE\\OLD", "\\\\SRV2\\SHARE\\OLD"},
           {"SRV1", 1, "OLDCON", "\\\\SRV1\\OLDCON"}}) {
    SCOPED_TRACE(recorded + " on " + std::to_string(platform_code));
    emu::MachineSettings settings;
    settings.computer_name = computer;
    OpenMachine(settings);
    Seed("[Uninstall 32]\r\nConsole=" + recorded + "\r\n");
    rhost::HostConfig config = NtHostConfig();
    config.platform_code = platform_code;
    Start(config);
    Raise("qviSetup");
    Raise("qviUpgrade", "3");

    const auto& dirs = host_->state().destination_dirs;
    EXPECT_NE(std::find(dirs.begin(), dirs.end(), std::pair<std::string, std::string>{"zel32", bound}), dirs.end());
    EXPECT_EQ(LogLines().at(1), Log("UNC Zel32Dir = '" + bound + "'"));
  }
}

// Each group is cleared by four icon calls and a folder removal.
TEST_F(UpgradeTest, BothProgramFoldersAreCleared) {
  struct Case {
    const char* name;
    std::string kethra;
    bool fail_second_folder;
    std::string first, second;
  };
  const std::string bare1 = std::string(kProgramsFolder1) + "\\";
  const std::string bare2 = std::string(kProgramsFolder2) + "\\";
  for (const Case& c : {
           Case{"no group recorded", "[Uninstall 32]\r\nConsole=C:\\OLDCON\r\n", false, bare1, bare2},
           // The second folder cannot be had: the first is worked through again.
           Case{"second folder failing", kKethra, true, kGroup1, kGroup1},
       }) {
    SCOPED_TRACE(c.name);
    OpenMachine();
    Seed(c.kethra);
    Start();
    if (c.fail_second_folder) FailHostCall(host::dispid::kGetShellFolder, 2);
    Raise("qviUpgrade", "3");

    EXPECT_EQ(FailedCall("qviUpgrade"), c.fail_second_folder ? "4(2)" : "");
    std::vector<std::string> folders;
    for (const rhost::IconRequest& icon : host_->state().icons) folders.push_back(icon.folder);
    EXPECT_EQ(folders, (std::vector<std::string>{c.first, c.first, c.first, c.first, c.second, c.second, c.second,
                                                 c.second}));
    EXPECT_EQ(host_->state().removed_folders, (std::vector<std::string>{c.first, c.second}));
    EXPECT_EQ(LogLines().back(), Log("FolderPath = '" + c.second + "'"));
  }
}

TEST_F(UpgradeTest, FailingStatementsSkipOnlyThemselves) {
  Start();
  FailHostCall(host::dispid::kSetCopySection, 1);
  FailHostCall(host::dispid::kGetText, 2);
  ASSERT_FALSE(Raise("qviUpgrade", "3").failed);

  EXPECT_THAT(host_->state().copy_sections, IsEmpty());
  EXPECT_EQ(host_->state().icons.size(), 7u);
  EXPECT_EQ(LogLines().size(), 6u);
  EXPECT_EQ(LogLines().at(3), Log("Copy section set to 'Upgrade'"));
  EXPECT_EQ(host_->state().removed_folders.size(), 2u);
  EXPECT_EQ(ReadKethraIni(), "[Uninstall 32]\r\nConsole=\r\nPM Group=Quorvex Console\r\n");
  EXPECT_FALSE(KeyExists(kProduct));
}

TEST_F(UpgradeTest, UnreachableOrMissingInstallRegistryIsQuiet) {
  for (const bool unreachable : {true, false}) {
    SCOPED_TRACE(unreachable ? "unreachable" : "missing");
    OpenMachine();
    WriteKethraIni(kKethra);
    if (unreachable) machine_->ImportReg(kEarlierInstallation, "earlier.reg");
    Start();
    if (unreachable) faults_->FailCall(Function::kRegConnectRegistryA, 1, platform::win32::kBadNetPath);
    ASSERT_FALSE(Raise("qviUpgrade", "3").failed);

    EXPECT_EQ(KeyExists(kProduct + "\\Install\\InstalledFiles"), unreachable);
    EXPECT_EQ(faults_->CallCount(Function::kRegDeleteKeyA), 0);
    EXPECT_EQ(faults_->CallCount(Function::kRegCloseKey), unreachable ? 0 : 1);
    EXPECT_EQ(LogLines().size(), 6u);
  }
}

}  // namespace
}  // namespace qvi::events_test
