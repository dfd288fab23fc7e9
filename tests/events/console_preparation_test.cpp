// qviSetup and qviUninstall: the console directory, the host's destination
// directories and copy sections, and the alert device defaults.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "events/event_fixture.h"

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

TEST_F(ConsolePreparationTest, CopySectionFollowsAFreshPlatformQuery) {
  // platform code, query failing, section
  for (const auto& [code, fail, section] : std::vector<std::tuple<std::int32_t, bool, std::string>>{
           {0, false, "95"}, {7, false, "95"}, {2, true, "NT"}}) {
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

}  // namespace
}  // namespace qvi::events_test
