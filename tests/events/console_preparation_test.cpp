// qviSetup and qviUninstall: the console directory, the host's destination
// directories and copy sections, and the alert device defaults.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "event_fixture.h"
#include "host/dispid.h"

namespace qvi::events_test {
namespace {

using ::testing::ElementsAre;

const std::string kBcDefaults = std::string(kHklm) + "SOFTWARE\\Halvorn\\Tessaly\\Management Console\\BC Defaults";

class ConsolePreparationTest : public EventTest {
 protected:
  // The defaults under one device key, name -> text.
  std::map<std::string, std::string> Device(const std::string& device) const {
    std::map<std::string, std::string> values;
    if (const auto key = Key(kBcDefaults + "\\" + device)) {
      for (const emu::RegistryValue& value : key->values) values[value.name] = Text(value);
    }
    return values;
  }
  std::size_t DefaultsWritten() const {
    return Device("AutoAnswer").size() + Device("Modem").size() + Device("Pager").size();
  }
};

TEST_F(ConsolePreparationTest, InstallOnNtBindsDirectoriesAndSelectsSections) {
  Start();
  ASSERT_FALSE(Raise("qviSetup").failed);

  EXPECT_THAT(Calls("qviSetup"),
              ElementsAre("22(262144)",                  // LocalOSType
                          "8(\"QVIConsole\", 0)",        // InitComponentDir: nothing to clear
                          "13()", "8(\"TYConsole\", 0)", "8(\"windows\", 0)", "8(\"system\", 0)",
                          "9(\"QVConsole\", \"C:\\Program Files\\Tessaly\\Quorvex\", 0)",
                          "2(\"windows\", \"\\\\SRV1\\C$\\WINNT\", 0)",
                          "2(\"system\", \"\\\\SRV1\\C$\\WINNT\\system32\", 0)",
                          "2(\"console\", \"C:\\Program Files\\Tessaly\\Quorvex\", 0)", "22(262144)",
                          "3(\"NT\", 0)", "3(\"Common\", 0)"));
  // The console directory keeps the drive form the host gave, even on NT.
  EXPECT_EQ(State().ConsoleDir, "C:\\Program Files\\Tessaly\\Quorvex");
  EXPECT_EQ(State().WindowsDir, "\\\\SRV1\\C$\\WINNT");
  EXPECT_EQ(State().SystemDir, "\\\\SRV1\\C$\\WINNT\\system32");
  EXPECT_EQ(host_->state().directories.at("QVConsole"), std::vector<std::string>{State().ConsoleDir});
}

TEST_F(ConsolePreparationTest, InstallWritesTheThirtyDefaultsAsStrings) {
  Start();
  Raise("qviSetup");

  EXPECT_EQ(Device("AutoAnswer").size(), 6u);
  EXPECT_EQ(Device("Modem").size(), 11u);
  EXPECT_EQ(Device("Pager").size(), 13u);
  for (const emu::RegistryKey& key : KeysBelow(kBcDefaults)) {
    for (const emu::RegistryValue& value : key.values) {
      SCOPED_TRACE(key.path + " " + value.name);
      EXPECT_EQ(value.type, platform::kRegSz);
      ASSERT_FALSE(value.data.empty());
      EXPECT_EQ(value.data.back(), 0);
      EXPECT_EQ(value.data.size(), Text(value).size() + 1);
    }
  }
  const auto baud = Value(kBcDefaults + "\\AutoAnswer", "BAUD");
  ASSERT_TRUE(baud);
  EXPECT_EQ(baud->data, (std::vector<std::uint8_t>{'3', '8', '4', '0', '0', 0}));
  EXPECT_EQ(Device("Pager")["BAUD"], "2400");
  EXPECT_EQ(Device("Pager")["AlphaPagerID"], "PG1");
  EXPECT_EQ(Device("Pager")["AlphaDialString"], "AT&M0");
  EXPECT_EQ(Device("Modem")["TimeEnd"], "23:59");
  EXPECT_EQ(Device("Modem").count("AlphaPagerID"), 0u);
  EXPECT_EQ(Device("AutoAnswer").count("Dial Mode"), 0u);
  // Every handle opened for the defaults is closed again.
  EXPECT_EQ(faults_->CallCount(platform::Function::kRegCloseKey), 4);
}

TEST_F(ConsolePreparationTest, ReinstallPutsEditedDefaultsBackAndKeepsOtherValues) {
  machine_->ImportReg(
      "REGEDIT4\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\Tessaly\\Management Console\\BC Defaults\\Modem]\r\n"
      "\"BAUD\"=\"9600\"\r\n\"Dial String\"=dword:00000001\r\n\"Operator Note\"=\"keep me\"\r\n",
      "edited.reg");
  Start();
  Raise("qviSetup");

  const auto modem = Device("Modem");
  EXPECT_EQ(modem.at("BAUD"), "38400");
  EXPECT_EQ(Value(kBcDefaults + "\\Modem", "Dial String")->type, platform::kRegSz);
  EXPECT_EQ(modem.at("Dial String"), "AT");
  EXPECT_EQ(modem.at("Operator Note"), "keep me");
  EXPECT_EQ(modem.size(), 12u);
}

TEST_F(ConsolePreparationTest, RemovalInFreshInstanceWritesNothingAndUsesNoUnc) {
  rhost::HostConfig config = NtHostConfig();
  config.installing = false;
  Start(config);
  ASSERT_FALSE(Raise("qviUninstall").failed);

  EXPECT_THAT(Calls("qviUninstall"),
              ElementsAre("8(\"QVIConsole\", 0)", "13()", "24(\"TYConsole\", \"\", 1)", "8(\"windows\", 0)",
                          "8(\"System\", 0)", "9(\"QVConsole\", \"C:\\Program Files\\Tessaly\\Quorvex\", 0)",
                          "2(\"windows\", \"C:\\WINNT\", 0)", "2(\"system\", \"C:\\WINNT\\system32\", 0)",
                          "2(\"console\", \"C:\\Program Files\\Tessaly\\Quorvex\", 0)", "22(262144)",
                          "3(\"NT\", 0)", "3(\"Common\", 0)"));
  EXPECT_FALSE(KeyExists(kBcDefaults));
  EXPECT_EQ(faults_->CallCount(platform::Function::kRegSetValueExA), 0);
}

TEST_F(ConsolePreparationTest, RemovalAfterSetupOnNtTakesConsoleDirInUncForm) {
  Start();
  Raise("qviSetup");
  host_->mutable_config().installing = false;
  Raise("qviUninstall");

  EXPECT_EQ(State().ConsoleDir, "\\\\SRV1\\C$\\Program Files\\Tessaly\\Quorvex");
}

TEST_F(ConsolePreparationTest, CopySectionFollowsAFreshPlatformQuery) {
  struct Case {
    std::int32_t platform_code;
    bool fail_query;
    const char* section;
  };
  for (const Case& c : {Case{1, false, "NT"}, Case{2, false, "95"}, Case{0, false, "95"}, Case{7, false, "95"},
                        Case{2, true, "NT"}}) {
    SCOPED_TRACE(std::to_string(c.platform_code) + (c.fail_query ? " failing" : ""));
    OpenMachine();
    rhost::HostConfig config = NtHostConfig();
    config.platform_code = c.platform_code;
    Start(config);
    // The second DISPID 22 of qviSetup is the console preparation's own.
    if (c.fail_query) FailHostCall(host::dispid::kGetPlatform, CountCalls(host::dispid::kGetPlatform) + 2);
    Raise("qviSetup");
    EXPECT_EQ(host_->state().copy_sections, (std::vector<std::string>{c.section, "Common"}));
    if (c.fail_query) {
      EXPECT_EQ(FailedCall("qviSetup"), "22(0)");
    }
  }
}

TEST_F(ConsolePreparationTest, FailingInstallQueryTakesTheInstallingBranch) {
  rhost::HostConfig config = NtHostConfig();
  config.installing = false;
  Start(config);
  FailHostCall(host::dispid::kIsInstalling, CountCalls(host::dispid::kIsInstalling) + 1);
  Raise("qviUninstall");

  EXPECT_EQ(FailedCall("qviUninstall"), "13()");
  EXPECT_EQ(DefaultsWritten(), 30u);
  EXPECT_EQ(State().ConsoleDir, "C:\\Program Files\\Tessaly\\Quorvex");
}

TEST_F(ConsolePreparationTest, FailingConsoleLookupLeavesOnlyTheSuffix) {
  Start();
  // InitComponentDir's lookup of "QVIConsole" comes first.
  FailHostCall(host::dispid::kGetDirectory, CountCalls(host::dispid::kGetDirectory) + 2);
  Raise("qviSetup");

  EXPECT_EQ(FailedCall("qviSetup"), "8(\"TYConsole\", 0)");
  EXPECT_EQ(State().ConsoleDir, "\\Quorvex");
  EXPECT_EQ(DefaultsWritten(), 30u);
  EXPECT_EQ(host_->state().copy_sections, (std::vector<std::string>{"NT", "Common"}));
}

TEST_F(ConsolePreparationTest, FailingWindowsLookupKeepsTheEarlierValue) {
  Start();
  // A removal in a fresh instance leaves the drive forms; the setup after it
  // would turn them into UNC paths.
  Raise("qviUninstall");
  ASSERT_EQ(State().WindowsDir, kWindowsDir);
  FailHostCall(host::dispid::kGetDirectory, CountCalls(host::dispid::kGetDirectory) + 3);
  Raise("qviSetup");

  EXPECT_EQ(FailedCall("qviSetup"), "8(\"windows\", 0)");
  EXPECT_EQ(State().WindowsDir, kWindowsDir);
  EXPECT_EQ(State().SystemDir, "\\\\SRV1\\C$\\WINNT\\system32");
}

TEST_F(ConsolePreparationTest, KeyThatCannotBeCreatedLeavesItsValuesUnwrittenAndTheRestDone) {
  struct Case {
    int failing_create;  // "BC Defaults", "AutoAnswer", "Modem", "Pager" in that order
    std::size_t auto_answer, modem, pager;
    int closes;  // only handles that were opened
  };
  for (const Case& c : {Case{3, 6, 0, 13, 3}, Case{1, 0, 0, 0, 0}}) {
    SCOPED_TRACE(c.failing_create);
    OpenMachine();
    Start();
    faults_->FailCall(platform::Function::kRegCreateKeyA, c.failing_create, platform::win32::kAccessDenied);
    Raise("qviSetup");

    EXPECT_EQ(Device("AutoAnswer").size(), c.auto_answer);
    EXPECT_EQ(Device("Modem").size(), c.modem);
    EXPECT_EQ(Device("Pager").size(), c.pager);
    EXPECT_FALSE(KeyExists(kBcDefaults + "\\Modem"));
    EXPECT_EQ(faults_->CallCount(platform::Function::kRegCloseKey), c.closes);
    EXPECT_EQ(host_->state().copy_sections, (std::vector<std::string>{"NT", "Common"}));
  }
}

}  // namespace
}  // namespace qvi::events_test
