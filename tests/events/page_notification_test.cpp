// qviPostPageNotification: during a removal, on the copy page only, the console
// icon call, the product family's registry trees and the console's parent
// directory handed to the host; the first failing step ends it.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "event_fixture.h"

namespace qvi::events_test {
namespace {

using testing::Function;
using Operations = std::vector<std::int32_t>;

const std::string kParentDir = "\\\\SRV1\\C$\\Program Files\\Tessaly";

// Removed:                                   Kept:
//   HKLM\...\Tessaly\Management Console        HKLM\...\Tessaly\Quorvex
//     (BC Defaults, Settings)
//   HKLM\...\Tessaly\Management Directory      HKLM\...\Tessaly\Install\Components\Tessaly Agent
//   HKLM\...\Install\Components\Tessaly Quorvex
//   HKLM\...\Tessaly\Win32 Modem Arbiter
//   HKCU\...\Tessaly\Management Console
constexpr const char* kFamily =
    "REGEDIT4\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\Tessaly\\Management Console\\Settings]\r\n\"Grid\"=\"on\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\Tessaly\\Management Directory\\Servers\\A]\r\n\"Name\"=\"SRV9\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\Tessaly\\Install\\Components\\Tessaly Quorvex\\Files]\r\n\"N\"=\"1\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\Tessaly\\Install\\Components\\Tessaly Agent]\r\n\"N\"=\"2\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\Tessaly\\Win32 Modem Arbiter\\Ports]\r\n\"COM1\"=\"1\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\Tessaly\\Quorvex]\r\n\"Version\"=\"2\"\r\n\r\n"
    "[HKEY_CURRENT_USER\\SOFTWARE\\Halvorn\\Tessaly\\Management Console\\Views]\r\n\"Last\"=\"Map\"\r\n";

const std::vector<std::string> kRemovedTrees = {
    kTessaly + "\\Management Console",
    kTessaly + "\\Management Directory",
    kTessaly + "\\Install\\Components\\Tessaly Quorvex",
    kTessaly + "\\Win32 Modem Arbiter",
    std::string(kHkcu) + "SOFTWARE\\Halvorn\\Tessaly\\Management Console",
};

class PageNotificationTest : public EventTest {
 protected:
  // A setup pass that installed the console, then the removal pass up to its
  // copy page.
  void StartRemoval(rhost::HostConfig config = NtHostConfig()) {
    OpenMachine();
    machine_->ImportReg(kFamily, "family.reg");
    Start(config);
    Raise("qviSetup");
    host_->mutable_config().installing = false;
    Raise("qviUninstall");
  }
  rhost::EventOutcome RaiseCopyPage(const std::string& page = "qvigui.copy1") {
    return Raise("qviPostPageNotification", page);
  }

  int TreesLeft() const {
    int left = 0;
    for (const std::string& tree : kRemovedTrees) left += KeyExists(tree) ? 1 : 0;
    return left;
  }
  Operations DirectoryOperations() const {
    Operations operations;
    for (const rhost::DirectoryOperation& op : host_->state().directory_operations) {
      EXPECT_EQ(op.directory, kParentDir);
      operations.push_back(op.operation);
    }
    return operations;
  }
};

TEST_F(PageNotificationTest, OnlyTheCopyPageOfARemovalInAnyLetterCaseTriggersTheWork) {
  struct Case {
    const char* page;
    bool installing;
    bool acts;
  };
  for (const Case& c : {Case{"QVIGUI.COPY1", false, true}, Case{"QviGui.Copy1", false, true},
                        Case{"qvigui.copy2", false, false}, Case{"", false, false},
                        Case{" qvigui.copy1", false, false}, Case{"qvigui.copy1.x", false, false},
                        Case{"qvigui.copy1", true, false}}) {
    SCOPED_TRACE(std::string("page '") + c.page + (c.installing ? "' installing" : "'"));
    StartRemoval();
    host_->mutable_config().installing = c.installing;
    RaiseCopyPage(c.page);
    EXPECT_EQ(TreesLeft(), c.acts ? 0 : 5);
    EXPECT_EQ(Calls("qviPostPageNotification").size(), c.acts ? 7u : 1u);
  }
}

TEST_F(PageNotificationTest, SecondDirectoryOperationOnlyWhenTheFirstAnswersZero) {
  for (const auto& [first_result, operations] : std::vector<std::pair<std::int32_t, Operations>>{
           {0, {4, 5}}, {1, {4}}, {-1, {4}}, {5, {4}}}) {
    SCOPED_TRACE(first_result);
    rhost::HostConfig config = NtHostConfig();
    config.directory_operation_results = {{4, first_result}, {5, 0}};
    StartRemoval(config);
    EXPECT_FALSE(RaiseCopyPage().failed);
    EXPECT_EQ(DirectoryOperations(), operations);
  }
}

TEST_F(PageNotificationTest, FirstFailingHostCallEndsTheHandlerAndReachesTheHost) {
  struct Case {
    host::DispId dispid;
    int occurrence;  // within the event
    int trees_left;
    std::size_t icons;
    Operations operations;
  };
  for (const Case& c : {
           Case{host::dispid::kIsInstalling, 1, 5, 0, {}},
           Case{host::dispid::kGetText, 1, 5, 0, {}},
           Case{host::dispid::kGetShellFolder, 1, 5, 0, {}},
           Case{host::dispid::kIconOperation, 1, 5, 0, {}},
           Case{host::dispid::kDirectoryOperation, 1, 0, 1, {}},
           Case{host::dispid::kDirectoryOperation, 2, 0, 1, {4}},
       }) {
    SCOPED_TRACE("DISPID " + std::to_string(c.dispid) + " #" + std::to_string(c.occurrence));
    rhost::HostConfig config = NtHostConfig();
    config.directory_operation_results = {{4, 0}};
    StartRemoval(config);
    FailHostCall(c.dispid, c.occurrence);
    const rhost::EventOutcome outcome = RaiseCopyPage();

    EXPECT_TRUE(outcome.failed);
    EXPECT_EQ(outcome.reason, "440: Automation error");
    const std::vector<std::string> calls = Calls("qviPostPageNotification");
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), FailedCall("qviPostPageNotification")) << "a call followed the failure";
    EXPECT_EQ(TreesLeft(), c.trees_left);
    EXPECT_EQ(host_->state().icons.size(), c.icons);
    EXPECT_EQ(DirectoryOperations(), c.operations);
  }
}

// The log is written before the icon and ends the handler when it cannot be;
// trees that cannot be deleted do not stop the directory call.
TEST_F(PageNotificationTest, PlatformFailures) {
  using Case = std::tuple<Function, bool, std::size_t, Operations>;  // failing, handler failed, icons, operations
  for (const auto& [function, failed, icons, operations] : std::vector<Case>{
           {Function::kAppendLine, true, 0, {}}, {Function::kRegDeleteKeyA, false, 1, {4}}}) {
    SCOPED_TRACE(testing::FunctionName(function));
    StartRemoval();
    faults_->FailCall(function, 0, platform::win32::kAccessDenied);
    EXPECT_EQ(RaiseCopyPage().failed, failed);
    EXPECT_EQ(host_->state().icons.size(), icons);
    EXPECT_EQ(TreesLeft(), 5);
    EXPECT_EQ(DirectoryOperations(), operations);
  }
  EXPECT_GT(faults_->CallCount(Function::kRegDeleteKeyA), 5);
}

}  // namespace
}  // namespace qvi::events_test
