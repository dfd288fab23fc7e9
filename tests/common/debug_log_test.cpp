#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frm_common_fixture.h"
#include "platform/errors.h"

namespace qvi::testing {
namespace {

struct LevelCase {
  const char* level;  // nullptr: no "debug:" entry at all
  bool dmsgbox_logs;
  bool dmsgbox_shows;
  bool ods_logs;
};

const LevelCase kLevels[] = {
    {nullptr, false, false, false}, {"", false, false, false},   {"0", false, false, true},
    {"1", true, false, false},      {"2", true, false, true},    {"3", false, true, false},
    {"4", false, true, true},       {" 2", false, false, false}, {"02", false, false, false},
    {"2 ", false, false, false},    {"5", false, false, false},
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
  if (expected_log.empty()) {
    EXPECT_TRUE(os.files.empty());
  }

  if (c.dmsgbox_shows) {
    ASSERT_EQ(os.boxes.size(), 1u);
    EXPECT_EQ(os.boxes[0].first, "box message");
    EXPECT_EQ(os.boxes[0].second, "BoxTitle");
  } else {
    EXPECT_TRUE(os.boxes.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, DebugLevelTest, ::testing::ValuesIn(kLevels), [](const auto& info) {
  return "Case" + std::to_string(info.index);
});

TEST_F(FrmCommonTest, LogLinesKeepCallOrderAndEmptyParts) {
  Global({"debug:2"});
  frm.ODS("first", "A");
  frm.DMsgBox("", "B");
  frm.ODS("third", "");
  frm.DMsgBox("", "");
  EXPECT_EQ(Log(), "(A) : first\r\n(B) : \r\n() : third\r\n() : \r\n");
}

TEST_F(FrmCommonTest, LevelAndSystemDirectoryAreReadOnEveryReport) {
  Global({"debug:1"});
  frm.DMsgBox("one", "T");
  Global({"debug:0"});
  frm.DMsgBox("two", "T");
  Global({"debug:1"});
  Directories({{"System", {"D:\\WINNT\\system32"}}});
  frm.DMsgBox("three", "T");
  EXPECT_EQ(Log(), "(T) : one\r\n");
  EXPECT_EQ(os.files["D:\\ods.txt"], "(T) : three\r\n");
  EXPECT_EQ(qvi_public.CallsOf(host::dispid::kGetDirectory).size(), 2u);
}

TEST_F(FrmCommonTest, LogGoesToTheRootOfTheSystemDirectory) {
  Global({"debug:1"});
  struct Case {
    const char* system_dir;
    const char* log_path;
  } const cases[] = {
      {"C:\\WINNT\\system32", "C:\\ods.txt"},
      {"e:\\windows\\system", "e:\\ods.txt"},
      {"C:\\", "C:\\ods.txt"},
      // The root of a UNC path is its share.
      {"\\\\SRV1\\C$\\WINNT\\system32", "\\\\SRV1\\C$\\ods.txt"},
      {"\\\\SRV1\\C$\\", "\\\\SRV1\\C$\\ods.txt"},
      {"\\\\SRV1\\C$", "\\\\SRV1\\C$\\ods.txt"},
  };
  for (const Case& c : cases) {
    os.files.clear();
    Directories({{"System", {c.system_dir}}});
    frm.DMsgBox("m", "t");
    ASSERT_EQ(os.files.size(), 1u) << c.system_dir;
    EXPECT_EQ(os.files.begin()->first, c.log_path) << c.system_dir;
  }
  const auto asked = qvi_public.CallsOf(host::dispid::kGetDirectory).back();
  EXPECT_EQ(asked.args[0].value, host::Variant("System"));
  EXPECT_EQ(asked.args[1].value, host::Variant(std::int32_t{0}));
}

TEST_F(FrmCommonTest, FailuresOfTheLogPassToTheCaller) {
  Global({"debug:2"});
  os.append_status = platform::win32::kAccessDenied;
  EXPECT_THROW(frm.DMsgBox("m", "t"), Error);
  EXPECT_THROW(frm.ODS("m", "t"), Error);

  os.append_status = platform::win32::kSuccess;
  qvi_public.FailAlways(host::dispid::kGetDirectory);
  EXPECT_THROW(frm.DMsgBox("m", "t"), Error);
  EXPECT_THROW(frm.ODS("m", "t"), Error);
  EXPECT_TRUE(os.files.empty());
}

TEST_F(FrmCommonTest, AnUnreadableLogPathIsAPathError) {
  Global({"debug:1"});
  os.append_status = platform::win32::kPathNotFound;
  try {
    frm.DMsgBox("m", "t");
    FAIL() << "no error raised";
  } catch (const Error& error) {
    EXPECT_EQ(error.number(), 76);
  }
}

}  // namespace
}  // namespace qvi::testing
