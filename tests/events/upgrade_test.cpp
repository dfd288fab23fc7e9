// qviUpgrade's removal of the earlier installation's registry, through a
// connection to this machine's registry that is closed again. The rest of the
// handler is pinned by the approved reports of the upgrade scenarios.
#include <gtest/gtest.h>

#include <string>

#include "events/event_fixture.h"

namespace qvi::events_test {
namespace {

using faults::Function;

constexpr const char* kKethra = "[Uninstall 32]\r\nConsole=C:\\OLDCON\r\nPM Group=Quorvex Console\r\n";
const std::string kProduct = std::string(kHklm) + "SOFTWARE\\Halvorn\\Tessaly\\Quorvex";
constexpr const char* kEarlierInstallation =
    "REGEDIT4\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\Tessaly\\Quorvex\\Install\\InstalledFiles]\r\n"
    "\"C:\\\\OLDCON\\\\Quorvex.exe\"=\"1\"\r\n";

using UpgradeTest = EventTest;

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
