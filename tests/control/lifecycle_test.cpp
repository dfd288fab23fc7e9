// How QVConsole keeps one loaded library's state across the host's events.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <tuple>

#include "events/event_fixture.h"

namespace qvi::events_test {
namespace {

using LifecycleTest = EventTest;

TEST_F(LifecycleTest, FrmCommonIsMadeAtItsFirstUseAndKeptForTheLoad) {
  Start(R"({"base": "install-nt"})");
  EXPECT_FALSE(session_->library().HasFrmCommon());
  Raise("qviSetup");
  ASSERT_TRUE(session_->library().HasFrmCommon());
  const FrmCommon* first = &session_->library().frmCommon();
  EXPECT_FALSE(Raise("qviSetup").failed);
  EXPECT_EQ(&session_->library().frmCommon(), first);
  EXPECT_EQ(host_->state().copy_sections, (std::vector<std::string>{"NT", "Common"}));
}

// DISPID 22 failing, or answering what does not fit 16 bits, leaves
// LocalOSType as an earlier qviSetup left it; the rest of qviSetup runs.
TEST_F(LifecycleTest, PlatformAnswerThatCannotBeTakenKeepsLocalOSType) {
  // failing, platform code, LocalOSType after
  const std::tuple<bool, std::int32_t, std::int16_t> cases[] = {
      {true, 1, kOsWindows95}, {false, 70000, kOsWindows95}, {false, 1, kOsWindowsNT}};
  for (const auto& [fail, code, expected] : cases) {
    SCOPED_TRACE(std::to_string(code) + (fail ? " failing" : ""));
    Start(R"({"base": "install-95"})");
    Raise("qviSetup");
    ASSERT_EQ(State().LocalOSType, kOsWindows95);
    host_->mutable_config().platform_code = code;
    if (fail) FailNext(host::dispid::kGetPlatform, 1);
    EXPECT_FALSE(Raise("qviSetup").failed);
    EXPECT_EQ(State().LocalOSType, expected);
    EXPECT_EQ(Calls("qviSetup").back(), "QviPublic 3 SetCopySection(\"Common\", 0) -> Empty");
  }
}

TEST_F(LifecycleTest, TwoLoadedLibrariesKeepSeparateState) {
  Start(R"({"base": "install-nt"})");
  Raise("qviSetup");
  host_->mutable_config().installing = false;
  Raise("qviUninstall");
  EXPECT_EQ(State().LocalOSType, kOsWindowsNT);
  EXPECT_EQ(State().ConsoleDir, "\\\\SRV1\\C$\\Program Files\\Tessaly\\Quorvex");

  rhost::Session second(*host_, *faults_);
  EXPECT_EQ(second.library().state().LocalOSType, kOsUnknown);
  EXPECT_EQ(second.library().state().ConsoleDir, "");
  EXPECT_FALSE(second.library().HasFrmCommon());
  EXPECT_EQ(State().LocalOSType, kOsWindowsNT);
}

TEST_F(LifecycleTest, BadRequestsAreRefusedBeforeTheyReachTheControl) {
  Start(R"({"base": "install-nt"})");
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
