// How QVConsole routes the host's events and keeps one loaded library's state:
// the snap-in runs under the replacement host on an emulated machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "events/event_fixture.h"

namespace qvi::events_test {
namespace {

namespace d = host::dispid;
using Sections = std::vector<std::string>;

class LifecycleTest : public EventTest {
 protected:
  SnapInLibrary& Library() { return session_->library(); }
  // InitComponentDir ran and PrepareConsoleComponent reached its last step,
  // once for each qviSetup so far.
  void ExpectWholeSetups(std::size_t setups) {
    const std::vector<std::string> calls = Calls("qviSetup");
    EXPECT_EQ(static_cast<std::size_t>(std::count(calls.begin(), calls.end(), "8(\"QVIConsole\", 0)")), setups);
    EXPECT_EQ(calls.back(), "3(\"Common\", 0)");
    EXPECT_TRUE(KeyExists(kBcDefaults));
  }
};

TEST_F(LifecycleTest, CreationNamesTheSettingsFileAndASecondSetupReusesTheOneFrmCommon) {
  Start();
  EXPECT_EQ(Calls("creation"), (Sections{"14(\"QVIConsole.ini\")"}));
  EXPECT_FALSE(Library().HasFrmCommon());
  Raise("qviSetup");
  ASSERT_TRUE(Library().HasFrmCommon());
  const FrmCommon* first = &Library().frmCommon();
  Raise("qviSetup");
  EXPECT_EQ(&Library().frmCommon(), first);
  ExpectWholeSetups(2);
}

// DISPID 22 failing, or answering what does not fit 16 bits, leaves
// LocalOSType as an earlier qviSetup left it; the rest of qviSetup runs.
TEST_F(LifecycleTest, PlatformAnswerThatCannotBeTakenKeepsLocalOSTypeAndTheRestRuns) {
  struct Case {
    const char* name;
    bool earlier_setup_on_95;
    bool fail;
    std::int32_t code;
    std::int16_t expected;
  };
  for (const Case& c : {Case{"fails after an earlier setup", true, true, 1, kOsWindows95},
                        Case{"answer beyond 16 bits", true, false, 70000, kOsWindows95},
                        Case{"answer that fits", true, false, 1, kOsWindowsNT}}) {
    SCOPED_TRACE(c.name);
    OpenMachine();
    rhost::HostConfig config = NtHostConfig();
    config.platform_code = kOsWindows95;
    Start(config);
    if (c.earlier_setup_on_95) {
      Raise("qviSetup");
      ASSERT_EQ(State().LocalOSType, kOsWindows95);
    }
    host_->mutable_config().platform_code = c.code;
    if (c.fail) FailHostCall(d::kGetPlatform, 1);

    EXPECT_FALSE(Raise("qviSetup").failed);
    EXPECT_EQ(State().LocalOSType, c.expected);
    EXPECT_TRUE(Library().HasFrmCommon());
    ExpectWholeSetups(c.earlier_setup_on_95 ? 2 : 1);
  }
}

TEST_F(LifecycleTest, TwoLoadedLibrariesKeepSeparateState) {
  Start();
  Raise("qviSetup");
  host_->mutable_config().installing = false;
  Raise("qviUninstall");
  EXPECT_EQ(State().LocalOSType, kOsWindowsNT);
  EXPECT_EQ(State().ConsoleDir, "\\\\SRV1\\C$\\Program Files\\Tessaly\\Quorvex");

  rhost::Session second(*host_, *recorder_);
  EXPECT_EQ(second.library().state().LocalOSType, kOsUnknown);
  EXPECT_EQ(second.library().state().ConsoleDir, "");
  EXPECT_FALSE(second.library().HasFrmCommon());
  EXPECT_EQ(State().LocalOSType, kOsWindowsNT);
}

TEST_F(LifecycleTest, BadRequestsAreRefusedBeforeTheyReachTheControl) {
  Start();
  const std::size_t calls = host_->calls().size();
  EXPECT_THROW(Raise("qviTeardown"), std::invalid_argument);
  EXPECT_THROW(Raise("qviUpgrade", "two"), std::invalid_argument);
  EXPECT_THROW(Raise("qviUpgrade", "99999999999"), std::invalid_argument);
  EXPECT_EQ(host_->calls().size(), calls);
  EXPECT_EQ(session_->outcomes().size(), 1u);
  EXPECT_EQ(host_->current_event(), "creation");
}

}  // namespace
}  // namespace qvi::events_test
