#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "common/frm_common_fixture.h"

namespace qvi::testing {
namespace {

using host::dispid::kGetParameter;

struct FlagRoutine {
  const char* flag;
  const char* label;
  bool (FrmCommon::*routine)();
};

class FlagTest : public FrmCommonTest, public ::testing::WithParamInterface<FlagRoutine> {
 protected:
  bool Run() { return (frm.*GetParam().routine)(); }
};

TEST_P(FlagTest, FindsTheWholeEntryInAnyLetterCaseBeforeTheFirstEmptyOne) {
  const std::string flag = GetParam().flag;
  std::string upper = flag;
  for (char& c : upper) c = static_cast<char>(c - 'a' + 'A');
  const std::vector<std::pair<std::vector<std::string>, bool>> cases = {
      {{}, false},           {{flag}, true},        {{"x", "y", upper}, true}, {{"x", "", flag}, false},
      {{" " + flag}, false}, {{flag + " "}, false}, {{flag + ":2"}, false},
  };
  for (const auto& [entries, expected] : cases) {
    Global(entries);
    EXPECT_EQ(Run(), expected) << ::testing::PrintToString(entries);
  }
}

TEST_P(FlagTest, ReportsAFailingFetchWithItsLabelAndGoesOn) {
  Global({"debug:1", "other", GetParam().flag});
  // The routine's second fetch fails; the report's own level read comes after.
  qvi_public.FailWhen(kGetParameter, [](int nth, const auto&) { return nth == 2; });
  EXPECT_TRUE(Run());
  EXPECT_EQ(Log(), Reports(GetParam().label));
}

INSTANTIATE_TEST_SUITE_P(Flags, FlagTest,
                         ::testing::Values(FlagRoutine{"autonext", "AutoNext", &FrmCommon::AutoNext},
                                           FlagRoutine{"noerr", "No Err", &FrmCommon::NoErr},
                                           FlagRoutine{"uninstall", "ParamUninstall", &FrmCommon::ParamUninstall},
                                           FlagRoutine{"upgrade", "ParamUpgrade", &FrmCommon::ParamUpgrade},
                                           FlagRoutine{"debug", "ParamDebug", &FrmCommon::ParamDebug}),
                         [](const auto& info) { return std::string(info.param.flag); });

TEST_F(FrmCommonTest, KeyedLookUpReturnsTheValueOfTheFirstMatch) {
  Global({"autonext", "Lng: EnU ", "debug:3", "DEBUG:4", "lng:deu", "", "Tail:x"});
  // key, value, key as the look-up leaves it
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"Lng:", " EnU ", "lng:"}, {"LNG:", " EnU ", "lng:"}, {"debug", ":3", "debug"},
      {"", "autonext", ""},      {"Tail:", "", "tail:"},    {"autonext-and-more", "", "autonext-and-more"},
  };
  for (const auto& [given, expected, key_after] : cases) {
    std::string key = given;
    EXPECT_EQ(frm.GetGlobalParam(key), expected) << given;
    EXPECT_EQ(key, key_after);
  }
  EXPECT_EQ(frm.CLParamDebug(), "3");
  EXPECT_FALSE(frm.ParamDebug());
  Global({"lng:"});
  EXPECT_EQ(frm.ParamLanguage(), "");
}

TEST_F(FrmCommonTest, SnapinLookUpReadsOnlyItsOwnSectionByReference) {
  Global({"debug:1"}, {{"QVIConsole", {"noise", "DEBUG:4"}}});
  std::string code_name = "QVIConsole";
  std::string key = "Debug:";
  EXPECT_EQ(frm.GetSnapinParam(code_name, key), "4");
  EXPECT_EQ(key, "debug:");
  EXPECT_EQ(qvi_public.Shown(kGetParameter), (std::vector<std::string>{"QVIConsole&,0", "QVIConsole&,1"}));
  // The next fetch passes what the host left in the variable.
  qvi_public.On(kGetParameter, [](std::vector<host::Argument>& args) {
    const std::string section = args[0].value.ToString();
    args[0].value = host::Variant("Renamed");
    return host::Variant(section == "Renamed" ? "key:found" : "other");
  });
  key = "key:";
  EXPECT_EQ(frm.GetSnapinParam(code_name, key), "found");
  EXPECT_EQ(code_name, "Renamed");
}

class FailingReportTest : public FrmCommonTest {
 protected:
  // The look-up's second fetch fails; its report finds level "1" but cannot
  // write the log.
  FailingReportTest() {
    Global({"x", "debug:1", "Lng:fra"});
    os.FailCall(faults::Function::kAppendLine, 0, platform::win32::kAccessDenied);
    qvi_public.FailWhen(kGetParameter, [](int nth, const auto&) { return nth == 2; });
  }
};

TEST_F(FailingReportTest, LanguagePassesTheFailureToTheCaller) { EXPECT_THROW(frm.ParamLanguage(), Error); }

TEST_F(FailingReportTest, DebugLevelContinuesWithoutAWord) { EXPECT_EQ(frm.CLParamDebug(), ""); }

// Hosts whose lists never end, or whose fetches keep failing, must not keep a
// scan going.
class EndlessHostTest : public FrmCommonTest {
 protected:
  void FailFromIndex(std::int32_t first_failing) {
    qvi_public.FailWhen(kGetParameter,
                        [=](int, const auto& args) { return args[1].value.ToInt32() >= first_failing; });
  }
  std::size_t Fetches() const { return qvi_public.CallsOf(kGetParameter).size(); }
};

TEST_F(EndlessHostTest, ScansEndAfterTheLast16BitIndexWithAReport) {
  qvi_public.On(kGetParameter, [](std::vector<host::Argument>& args) {
    return host::Variant(args[1].value.ToInt32() == 0 ? "debug:2" : "x");
  });
  EXPECT_FALSE(frm.AutoNext());
  // 32768 fetches by the scan, then one by the report's level read.
  ASSERT_EQ(Fetches(), 32769u);
  EXPECT_EQ(qvi_public.CallsOf(kGetParameter)[32767].args[1].value.ToInt32(), 32767);
  std::string key = "missing:";
  EXPECT_EQ(frm.GetGlobalParam(key), "");
  EXPECT_EQ(Fetches(), 2 * 32769u);
  EXPECT_EQ(Log(), Reports("AutoNext") + Reports("GetGlobalParam"));
}

TEST_F(EndlessHostTest, FetchesThatKeepFailingEndTheScanToo) {
  Global({"debug:1", "y"});
  FailFromIndex(2);
  EXPECT_FALSE(frm.NoErr());
  // 32766 failing fetches and the overflow, each reported once.
  EXPECT_EQ(Log(), Reports("No Err", 32767));
}

TEST_F(EndlessHostTest, ALevelThatCannotBeReadEndsEachReport) {
  // The level would be at index 1. Each report's level read reports its first
  // failure; the read nested in that report fails too and gives both reads
  // up, instead of scanning on or reporting in turn.
  Global({"x", "debug:1"});
  FailFromIndex(1);
  EXPECT_FALSE(frm.AutoNext());
  // 32768 fetches by the scan; 32767 failures and the overflow reported, each
  // report making two fetches and its nested read two more.
  EXPECT_EQ(Fetches(), 32768u + 4u * 32768u);
  FailFromIndex(0);
  EXPECT_FALSE(frm.AutoNext());
  EXPECT_EQ(frm.CLParamDebug(), "");
  EXPECT_EQ(Fetches(), 32768u + 4u * 32768u + 6u);
  EXPECT_FALSE(LogExists());
}

}  // namespace
}  // namespace qvi::testing
