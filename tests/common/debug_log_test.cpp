#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/frm_common_fixture.h"

namespace qvi::testing {
namespace {

struct LevelCase {
  const char* level;  // nullptr: no "debug:" entry at all
  bool dmsgbox_logs;
  bool dmsgbox_shows;
  bool ods_logs;
};

class DebugLevelTest : public FrmCommonTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(DebugLevelTest, ChoosesLogLineMessageBoxOrNothing) {
  const LevelCase& c = GetParam();
  Global(c.level ? std::vector<std::string>{"autonext", std::string("debug:") + c.level}
                 : std::vector<std::string>{"autonext"});
  frm.DMsgBox("box message", "BoxTitle");
  frm.ODS("trace message", "TraceTitle");

  std::string expected_log;
  if (c.dmsgbox_logs) expected_log += "(BoxTitle) : box message\r\n";
  if (c.ods_logs) expected_log += "(TraceTitle) : trace message\r\n";
  EXPECT_EQ(Log(), expected_log);
  EXPECT_EQ(LogExists(), !expected_log.empty());
  std::vector<std::string> boxes;
  for (const auto& box : Boxes()) boxes.push_back(box.caption + ": " + box.text);
  EXPECT_EQ(boxes, c.dmsgbox_shows ? std::vector<std::string>{"BoxTitle: box message"} : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Levels, DebugLevelTest,
                         ::testing::Values(LevelCase{nullptr, false, false, false}, LevelCase{"", false, false, false},
                                           LevelCase{"0", false, false, true}, LevelCase{"1", true, false, false},
                                           LevelCase{"2", true, false, true}, LevelCase{"3", false, true, false},
                                           LevelCase{"4", false, true, true}, LevelCase{" 2", false, false, false},
                                           LevelCase{"02", false, false, false}, LevelCase{"2 ", false, false, false},
                                           LevelCase{"5", false, false, false}),
                         [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST_F(FrmCommonTest, LevelAndLogPathAreReadOnEveryReport) {
  std::filesystem::create_directories(machine->folder() / "drive_e");
  Global({"debug:1"});
  frm.DMsgBox("one", "T");
  Global({"debug:0"});
  frm.DMsgBox("two", "T");
  Global({"debug:1"});
  Directories({{"System", {"e:\\windows\\system"}}});
  frm.DMsgBox("three", "T");
  EXPECT_EQ(Log(), "(T) : one\r\n");
  EXPECT_EQ(FileText("E:\\ods.txt"), "(T) : three\r\n");
  EXPECT_EQ(qvi_public.Shown(host::dispid::kGetDirectory), (std::vector<std::string>{"System,0", "System,0"}));
}

TEST_F(FrmCommonTest, AUncSystemDirectoryLogsAtTheRootOfItsShare) {
  Global({"debug:1"});
  for (const char* system_dir : {"\\\\SRV1\\C$\\WINNT\\system32", "\\\\srv1\\C$\\", "\\\\SRV1\\C$"}) {
    ClearLog();
    Directories({{"System", {system_dir}}});
    ASSERT_NO_THROW(frm.DMsgBox("m", "t")) << system_dir;
    EXPECT_EQ(Log(), "(t) : m\r\n") << system_dir;
  }
}

TEST_F(FrmCommonTest, FailuresOfTheLogPassToTheCaller) {
  Global({"debug:2"});
  qvi_public.FailAlways(host::dispid::kGetDirectory);
  EXPECT_THROW(frm.DMsgBox("m", "t"), Error);
  EXPECT_THROW(frm.ODS("m", "t"), Error);

  Directories({});
  qvi_public.FailWhen(host::dispid::kGetDirectory, [](int, const auto&) { return false; });
  os.FailCall(faults::Function::kAppendLine, 0, platform::win32::kAccessDenied);
  EXPECT_THROW(frm.DMsgBox("m", "t"), Error);
  EXPECT_THROW(frm.ODS("m", "t"), Error);
  EXPECT_FALSE(LogExists());
}

}  // namespace
}  // namespace qvi::testing
