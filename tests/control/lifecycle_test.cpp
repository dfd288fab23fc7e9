// How QVConsole routes the host's events and keeps one loaded library's state:
// the snap-in runs under the replacement host on an emulated machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/dispid.h"
#include "platform/emu/machine.h"
#include "replacement_host/replacement_host.h"
#include "replacement_host/session.h"
#include "support/temp_dir.h"

namespace qvi {
namespace {

namespace d = host::dispid;
using rhost::HostCall;
using rhost::InjectedFailure;
using rhost::kQviPublic;

rhost::HostConfig NtHost() {
  rhost::HostConfig c;
  c.directories = {{"TYConsole", {"C:\\Program Files\\Tessaly"}},
                   {"Windows", {"C:\\WINNT"}},
                   {"System", {"C:\\WINNT\\system32"}}};
  c.removal_directories = {{"TYConsole", "C:\\Program Files\\Tessaly"}};
  c.texts = {{7014, "Quorvex Console"}};
  c.shell_folders = {{0, "C:\\Menu"}, {4, "C:\\Menu\\Tessaly"}};
  c.parameters = {{"Global", {"debug:1"}}};
  return c;
}

InjectedFailure Fail(host::DispId dispid, int occurrence) { return {kQviPublic, dispid, occurrence, 440, "Automation error"}; }

class LifecycleTest : public ::testing::Test {
 protected:
  // A fresh load of the library under a new host, the control created unless told not to.
  void Load(rhost::HostConfig config = NtHost(), bool create = true) {
    host_ = std::make_unique<rhost::ReplacementHost>(std::move(config));
    session_ = std::make_unique<rhost::Session>(*host_, *machine_);
    if (create) session_->Create();
  }

  std::vector<const HostCall*> CallsIn(const std::string& event, host::DispId dispid) const {
    std::vector<const HostCall*> found;
    for (const HostCall& call : host_->calls()) {
      if (call.event == event && call.dispid == dispid && call.control == kQviPublic) found.push_back(&call);
    }
    return found;
  }

  bool KeyExists(const std::string& path) const {
    const auto keys = machine_->SnapshotRegistry();
    return std::any_of(keys.begin(), keys.end(), [&](const emu::RegistryKey& k) { return k.path == path; });
  }

  std::int16_t LocalOSType() { return session_->library().state().LocalOSType; }

  testing::TempDir folder_;
  std::unique_ptr<emu::Machine> machine_ = emu::Machine::Open(folder_.path());
  std::unique_ptr<rhost::ReplacementHost> host_;
  std::unique_ptr<rhost::Session> session_;
};

constexpr const char* kDefaults = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\Tessaly\\Management Console\\BC Defaults";

TEST_F(LifecycleTest, CreationNamesTheSettingsFileAndNothingElse) {
  Load();
  ASSERT_EQ(host_->calls().size(), 1u);
  EXPECT_EQ(host_->calls()[0].dispid, d::kSetSettingsFile);
  EXPECT_EQ(host_->state().settings_file, "QVIConsole.ini");
  EXPECT_FALSE(session_->library().HasFrmCommon());
}

TEST_F(LifecycleTest, SecondSetupReusesTheOneFrmCommon) {
  Load();
  session_->Raise("qviSetup");
  ASSERT_TRUE(session_->library().HasFrmCommon());
  const FrmCommon* first = &session_->library().frmCommon();
  session_->Raise("qviSetup");
  EXPECT_EQ(&session_->library().frmCommon(), first);
  // Both passes did their whole work.
  EXPECT_EQ(CallsIn("qviSetup", d::kSetCopySection).size(), 4u);
}

TEST_F(LifecycleTest, FailingSettingsFileCallLeavesTheControlUsable) {
  rhost::HostConfig config = NtHost();
  config.failures.push_back(Fail(d::kSetSettingsFile, 1));
  Load(config);
  ASSERT_EQ(session_->outcomes().size(), 1u);
  EXPECT_FALSE(session_->outcomes()[0].failed);
  ASSERT_EQ(host_->calls().size(), 1u);
  EXPECT_TRUE(host_->calls()[0].failed);
  EXPECT_EQ(host_->state().settings_file, "");

  const rhost::EventOutcome setup = session_->Raise("qviSetup");
  EXPECT_FALSE(setup.failed);
  EXPECT_EQ(LocalOSType(), kOsWindowsNT);
  EXPECT_EQ(host_->state().copy_sections, (std::vector<std::string>{"NT", "Common"}));
  EXPECT_TRUE(KeyExists(kDefaults));
}

// DISPID 22 failing, or answering what does not fit 16 bits, leaves
// LocalOSType as an earlier qviSetup left it; the rest of qviSetup runs.
struct PlatformAnswerCase {
  const char* name;
  bool earlier_setup_on_95;
  bool fail;
  std::int32_t code;
  std::int16_t expected;
};

class PlatformAnswerTest : public LifecycleTest, public ::testing::WithParamInterface<PlatformAnswerCase> {};

TEST_P(PlatformAnswerTest, KeepsLocalOSTypeAndRunsTheRest) {
  const PlatformAnswerCase& c = GetParam();
  rhost::HostConfig config = NtHost();
  if (c.earlier_setup_on_95) config.platform_code = kOsWindows95;
  Load(config);
  if (c.earlier_setup_on_95) {
    session_->Raise("qviSetup");
    ASSERT_EQ(LocalOSType(), kOsWindows95);
  }
  const int first_call_of_this_setup = static_cast<int>(CallsIn("qviSetup", d::kGetPlatform).size()) + 1;
  host_->mutable_config().platform_code = c.code;
  if (c.fail) host_->mutable_config().failures.push_back(Fail(d::kGetPlatform, first_call_of_this_setup));
  const std::size_t calls_before = host_->calls().size();

  EXPECT_FALSE(session_->Raise("qviSetup").failed);
  EXPECT_EQ(LocalOSType(), c.expected);
  EXPECT_TRUE(session_->library().HasFrmCommon());
  // InitComponentDir asked for the component's directories, and
  // PrepareConsoleComponent reached its last step.
  const auto& calls = host_->calls();
  EXPECT_TRUE(std::any_of(calls.begin() + static_cast<std::ptrdiff_t>(calls_before), calls.end(),
                          [](const HostCall& c) { return !c.args.empty() && c.args[0].value.ToString() == "QVIConsole"; }));
  EXPECT_EQ(calls.back().dispid, d::kSetCopySection);
  EXPECT_EQ(calls.back().args[0].value.ToString(), "Common");
  EXPECT_TRUE(KeyExists(kDefaults));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, PlatformAnswerTest,
    ::testing::Values(PlatformAnswerCase{"FailsOnFreshLoad", false, true, 1, kOsUnknown},
                      PlatformAnswerCase{"FailsAfterEarlierSetup", true, true, 1, kOsWindows95},
                      PlatformAnswerCase{"AnswerBeyond16Bits", true, false, 70000, kOsWindows95},
                      PlatformAnswerCase{"AnswerTakenWhenItFits", true, false, 1, kOsWindowsNT}),
    [](const auto& info) { return info.param.name; });

TEST_F(LifecycleTest, UninstallInAFreshLoadSeesNoOperatingSystem) {
  rhost::HostConfig config = NtHost();
  config.installing = false;
  Load(config);
  EXPECT_FALSE(session_->Raise("qviUninstall").failed);

  EXPECT_EQ(LocalOSType(), kOsUnknown);
  // With LocalOSType 0 the directories are not taken in their UNC form.
  using Dir = std::pair<std::string, std::string>;
  EXPECT_EQ(host_->state().destination_dirs, (std::vector<Dir>{{"windows", "C:\\WINNT"},
                                                               {"system", "C:\\WINNT\\system32"},
                                                               {"console", "C:\\Program Files\\Tessaly\\Quorvex"}}));
  EXPECT_FALSE(KeyExists(kDefaults));
}

TEST_F(LifecycleTest, StateLastsAsLongAsTheLoad) {
  Load();
  session_->Raise("qviSetup");
  host_->mutable_config().installing = false;
  session_->Raise("qviUninstall");
  EXPECT_EQ(LocalOSType(), kOsWindowsNT);
  EXPECT_EQ(host_->state().destination_dirs[0].second, "\\\\SRV1\\C$\\WINNT");
  EXPECT_EQ(session_->library().state().ConsoleDir, "\\\\SRV1\\C$\\Program Files\\Tessaly\\Quorvex");

  rhost::Session second(*host_, *machine_);
  EXPECT_EQ(second.library().state().LocalOSType, kOsUnknown);
  EXPECT_EQ(second.library().state().ConsoleDir, "");
  EXPECT_FALSE(second.library().HasFrmCommon());
}

TEST_F(LifecycleTest, PageNotificationFailureIsRecordedAndEndsOnlyThatHandler) {
  rhost::HostConfig config = NtHost();
  config.installing = false;
  config.directories["QVConsole"] = {"C:\\Program Files\\Tessaly\\Quorvex"};
  config.failures.push_back(Fail(d::kGetText, 1));
  Load(config);
  const rhost::EventOutcome outcome = session_->Raise("qviPostPageNotification", "qvigui.copy1");
  EXPECT_TRUE(outcome.failed);
  EXPECT_EQ(outcome.argument, "qvigui.copy1");
  EXPECT_EQ(host_->calls().back().dispid, d::kGetText);

  // The host goes on: the next event runs normally.
  EXPECT_FALSE(session_->Raise("qviUninstall").failed);
  ASSERT_EQ(session_->outcomes().size(), 3u);
  EXPECT_TRUE(session_->outcomes()[1].failed);
}

TEST_F(LifecycleTest, BadRequestsAreRefusedBeforeTheyReachTheControl) {
  Load(NtHost(), false);
  EXPECT_THROW(session_->Raise("qviTeardown"), std::invalid_argument);
  EXPECT_THROW(session_->Raise("qviUpgrade", "two"), std::invalid_argument);
  EXPECT_THROW(session_->Raise("qviUpgrade", "99999999999"), std::invalid_argument);
  EXPECT_TRUE(host_->calls().empty());
  EXPECT_TRUE(session_->outcomes().empty());
  EXPECT_EQ(host_->current_event(), "");
}

}  // namespace
}  // namespace qvi
