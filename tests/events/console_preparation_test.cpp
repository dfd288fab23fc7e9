// qviSetup and qviUninstall prepare the console: what the approved reports do
// not show, a failing host call met after an earlier event set the state.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "events/event_fixture.h"

namespace qvi::events_test {
namespace {

using ConsolePreparationTest = EventTest;

// After a removal in a fresh load (drive forms, LocalOSType 0), a failing
// host call skips only its own statement: what it was to assign keeps its old
// value, and the defaults and copy sections are still done.
TEST_F(ConsolePreparationTest, FailingHostCallSkipsOnlyItsStatement) {
  // event, failing DISPID, its nth call, ConsoleDir and WindowsDir after
  const std::tuple<std::string, host::DispId, int, const char*, const char*> cases[] = {
      // When the host cannot say whether it installs, the installing branch runs.
      {"qviUninstall", host::dispid::kIsInstalling, 1, "C:\\Program Files\\Tessaly\\Quorvex", "C:\\WINNT"},
      // The lookup of "TYConsole" (InitComponentDir's of "QVIConsole" comes first).
      {"qviSetup", host::dispid::kGetDirectory, 2, "\\Quorvex", "\\\\SRV1\\C$\\WINNT"},
      // The lookup of "windows": the removal's drive form stays.
      {"qviSetup", host::dispid::kGetDirectory, 3, "C:\\Program Files\\Tessaly\\Quorvex", "C:\\WINNT"},
  };
  for (const auto& [event, dispid, nth, console_dir, windows_dir] : cases) {
    SCOPED_TRACE(event + " failing DISPID " + std::to_string(dispid));
    Start(R"({"base": "uninstall"})");
    Raise("qviUninstall");
    host_->mutable_config().installing = event == "qviSetup";
    FailNext(dispid, nth);
    Raise(event);

    EXPECT_EQ(FailedCalls(), 1u);
    EXPECT_EQ(State().ConsoleDir, console_dir);
    EXPECT_EQ(State().WindowsDir, windows_dir);
    EXPECT_EQ(State().SystemDir, event == "qviSetup" ? "\\\\SRV1\\C$\\WINNT\\system32" : "C:\\WINNT\\system32");
    EXPECT_EQ(ValuesBelow(kBcDefaults), 30u);
    EXPECT_EQ(Calls(event).back(), "QviPublic 3 SetCopySection(\"Common\", 0) -> Empty");
  }
}

}  // namespace
}  // namespace qvi::events_test
