// One machine through a console's life: an earlier installation is found,
// the console is installed and finished, the earlier one is taken over, and
// the console is removed again. Each pass is a fresh load of the snap-in by a
// fresh host, on the machine as the last pass saved it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "event_fixture.h"

namespace qvi::events_test {
namespace {

using ::testing::ElementsAre;

const std::string kUserConsole = std::string(kHkcu) + "SOFTWARE\\Halvorn\\Tessaly\\Management Console";
constexpr const char* kEarlierKethra =
    "[Uninstall 32]\r\nConsole=C:\\OLDCON\r\nPM Group=Quorvex Console\r\n[Other]\r\nKeep=1\r\n";
constexpr const char* kTakenOverKethra =
    "[Uninstall 32]\r\nConsole=\r\nPM Group=Quorvex Console\r\n[Other]\r\nKeep=1\r\n";

class LifeCycleTest : public EventTest {
 protected:
  // Saves the pass's registry and opens the machine again, as the next run of
  // the host would find it.
  void EndPass() {
    const std::vector<emu::RegistryKey> before = machine_->SnapshotRegistry();
    machine_->Save();
    ReopenMachine();
    ASSERT_EQ(machine_->SnapshotRegistry(), before) << "the saved registry differs from the one in memory";
  }
  std::size_t DefaultCount() const {
    std::size_t count = 0;
    for (const emu::RegistryKey& key : KeysBelow(kBcDefaults)) count += key.values.size();
    return count;
  }
};

TEST_F(LifeCycleTest, InstallPostSetupUpgradeAndRemoval) {
  WriteKethraIni(kEarlierKethra);
  machine_->ImportReg(
      "REGEDIT4\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\Tessaly\\Quorvex\\Install\\InstalledFiles]\r\n\"A\"=\"1\"\r\n\r\n"
      "[HKEY_CURRENT_USER\\SOFTWARE\\Halvorn\\Tessaly\\Management Console\\Views]\r\n\"Last\"=\"Map\"\r\n",
      "earlier.reg");
  EndPass();

  // Installation: the defaults are written, nothing of the earlier one is touched.
  Start();
  ASSERT_FALSE(Raise("qviSetup").failed);
  ASSERT_FALSE(Raise("qviPostSetup").failed);
  EXPECT_EQ(DefaultCount(), 30u);
  EXPECT_TRUE(KeyExists(kTessaly + "\\Quorvex\\Install\\InstalledFiles"));
  EXPECT_EQ(ReadKethraIni(), kEarlierKethra);
  EXPECT_EQ(host_->state().icons.size(), 1u);
  EndPass();

  // Upgrade: the earlier console is taken over and its install registry goes.
  Start();
  ASSERT_FALSE(Raise("qviUpgrade", "1").failed);
  EXPECT_EQ(ReadKethraIni(), kTakenOverKethra);
  EXPECT_FALSE(KeyExists(kTessaly + "\\Quorvex"));
  EXPECT_EQ(DefaultCount(), 30u);
  EXPECT_EQ(host_->state().removed_folders.size(), 2u);
  EndPass();

  // Removal: the family's trees go, the settings file stays as the upgrade left it.
  Start(RemovalHostConfig());
  ASSERT_FALSE(Raise("qviUninstall").failed);
  EXPECT_EQ(DefaultCount(), 30u);
  const rhost::EventOutcome outcome = Raise("qviPostPageNotification", "qvigui.copy1");
  ASSERT_FALSE(outcome.failed) << outcome.reason;
  EXPECT_FALSE(KeyExists(kTessaly + "\\Management Console"));
  EXPECT_FALSE(KeyExists(kUserConsole));
  EXPECT_TRUE(KeysBelow(kTessaly).empty());
  EXPECT_EQ(ReadKethraIni(), kTakenOverKethra);
  // A fresh load for the removal: no qviSetup, so no UNC form for the console.
  EXPECT_EQ(Calls("qviPostPageNotification").back(), "28(4, \"C:\\Program Files\\Tessaly\")");
  // Each pass appended its messages to the one log.
  EXPECT_EQ(LogLines().size(), 8u);
  EndPass();
  EXPECT_FALSE(KeyExists(kTessaly + "\\Management Console"));
}

}  // namespace
}  // namespace qvi::events_test
