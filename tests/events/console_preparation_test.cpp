// qviSetup and qviUninstall: the console directory, the host's destination
// directories and copy sections, and the alert device defaults.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "event_fixture.h"

namespace qvi::events_test {
namespace {

using ::testing::ElementsAre;
using Sections = std::vector<std::string>;

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
  std::vector<std::size_t> DefaultsWritten() const {
    return {Device("AutoAnswer").size(), Device("Modem").size(), Device("Pager").size()};
  }
};

TEST_F(ConsolePreparationTest, ReinstallPutsEditedDefaultsBackAndKeepsOtherValues) {
  machine_->ImportReg("REGEDIT4\r\n\r\n[" + kBcDefaults +
                          "\\Modem]\r\n\"BAUD\"=\"9600\"\r\n\"Dial String\"=dword:00000001\r\n"
                          "\"Operator Note\"=\"keep me\"\r\n",
                      "edited.reg");
  Start();
  Raise("qviSetup");

  const auto modem = Device("Modem");
  EXPECT_EQ(modem.at("BAUD") + " " + modem.at("Dial String") + " " + modem.at("Operator Note"), "38400 AT keep me");
  EXPECT_EQ(Value(kBcDefaults + "\\Modem", "Dial String")->type, platform::kRegSz);
  EXPECT_EQ(modem.size(), 12u);
}

TEST_F(ConsolePreparationTest, CopySectionFollowsAFreshPlatformQuery) {
  // platform code, query failing, section
  for (const auto& [code, fail, section] : std::vector<std::tuple<std::int32_t, bool, std::string>>{
           {1, false, "NT"}, {2, false, "95"}, {0, false, "95"}, {7, false, "95"}, {2, true, "NT"}}) {
    SCOPED_TRACE(std::to_string(code) + (fail ? " failing" : ""));
    rhost::HostConfig config = NtHostConfig();
    config.platform_code = code;
    Start(config);
    // The second DISPID 22 of qviSetup is the console preparation's own.
    if (fail) FailHostCall(host::dispid::kGetPlatform, 2);
    Raise("qviSetup");
    EXPECT_EQ(host_->state().copy_sections, (Sections{section, "Common"}));
    EXPECT_EQ(FailedCall("qviSetup"), fail ? "22(0)" : "");
  }
}

// A failing host call skips only its own statement: what it was to assign
// keeps its old value, and the defaults and copy sections are still done.
TEST_F(ConsolePreparationTest, FailingHostCallSkipsOnlyItsStatement) {
  struct Case {
    const char* name;
    const char* event;
    host::DispId dispid;
    int occurrence;
    const char* failed_call;
    const char* console_dir;
    const char* windows_dir;
  };
  const std::string unc_windows = "\\\\SRV1\\C$\\WINNT";
  for (const Case& c : {
           // When the host cannot say whether it installs, the installing branch runs.
           Case{"install query", "qviUninstall", host::dispid::kIsInstalling, 1, "13()",
                "C:\\Program Files\\Tessaly\\Quorvex", kWindowsDir},
           // InitComponentDir's lookup of "QVIConsole" comes first.
           Case{"console lookup", "qviSetup", host::dispid::kGetDirectory, 2, "8(\"TYConsole\", 0)", "\\Quorvex",
                unc_windows.c_str()},
           // A removal in a fresh instance left the drive form; the setup
           // would have turned it into a UNC path.
           Case{"windows lookup", "qviSetup", host::dispid::kGetDirectory, 3, "8(\"windows\", 0)",
                "C:\\Program Files\\Tessaly\\Quorvex", kWindowsDir},
       }) {
    SCOPED_TRACE(c.name);
    OpenMachine();
    Start(RemovalHostConfig());
    Raise("qviUninstall");
    host_->mutable_config().installing = std::string(c.event) == "qviSetup";
    FailHostCall(c.dispid, c.occurrence);
    Raise(c.event);

    EXPECT_EQ(FailedCall(c.event), c.failed_call);
    EXPECT_EQ(State().ConsoleDir, c.console_dir);
    EXPECT_EQ(State().WindowsDir, c.windows_dir);
    EXPECT_EQ(State().SystemDir, std::string(c.event) == "qviSetup" ? "\\\\SRV1\\C$\\WINNT\\system32"
                                                                    : "C:\\WINNT\\system32");
    EXPECT_THAT(DefaultsWritten(), ElementsAre(6u, 11u, 13u));
    EXPECT_EQ(Calls(c.event).back(), "3(\"Common\", 0)");
  }
}

TEST_F(ConsolePreparationTest, KeyThatCannotBeCreatedLeavesItsValuesUnwrittenAndTheRestDone) {
  // The creates go "BC Defaults", "AutoAnswer", "Modem", "Pager"; only
  // handles that were opened are closed.
  for (const auto& [failing_create, written, closes] : std::vector<std::tuple<int, std::vector<std::size_t>, int>>{
           {3, {6, 0, 13}, 3}, {1, {0, 0, 0}, 0}}) {
    SCOPED_TRACE(failing_create);
    OpenMachine();
    Start();
    faults_->FailCall(testing::Function::kRegCreateKeyA, failing_create, platform::win32::kAccessDenied);
    Raise("qviSetup");

    EXPECT_EQ(DefaultsWritten(), written);
    EXPECT_FALSE(KeyExists(kBcDefaults + "\\Modem"));
    EXPECT_EQ(faults_->CallCount(testing::Function::kRegCloseKey), closes);
    EXPECT_EQ(host_->state().copy_sections, (Sections{"NT", "Common"}));
  }
}

}  // namespace
}  // namespace qvi::events_test
