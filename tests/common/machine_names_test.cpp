#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frm_common_fixture.h"

namespace qvi::testing {
namespace {

using host::dispid::kGetDirectory;
using host::dispid::kGetDrivePrefix;
using host::dispid::kGetUncComputerName;
using host::dispid::kSetDirectory;

class MachineNameTest : public FrmCommonTest {
 protected:
  MachineNameTest() { Global({"debug:1"}); }
  void UncName(std::string answer) {
    qvi_ntnwsvc.On(kGetUncComputerName, [answer](std::vector<host::Argument>&) { return host::Variant(answer); });
  }
  std::string Reports(const std::string& label, int count) {
    std::string lines;
    for (int i = 0; i < count; ++i) lines += "(frmCommon) : Error in " + label + "\r\n";
    return lines;
  }
};

TEST_F(MachineNameTest, ComputerNameIsTheTextBetweenTheLeadingPairAndTheNextBackslash) {
  struct Case {
    const char* answer;
    const char* name;
    int reports;
  } const cases[] = {
      {"\\\\SRV1\\SYS", "SRV1", 0},
      {"\\\\SRV1\\", "SRV1", 0},
      {"\\\\srv-2\\a\\b", "srv-2", 0},
      {"\\\\\\x", "", 0},
      // No backslash after the name: the length works out negative.
      {"\\\\SRV1", "\\\\SRV1", 1},
      {"", "", 1},
  };
  for (const Case& c : cases) {
    os.files.clear();
    UncName(c.answer);
    EXPECT_EQ(frm.GetComputerName(), c.name) << c.answer;
    EXPECT_EQ(Log(), Reports("GetComputerName", c.reports)) << c.answer;
  }
  const auto call = qvi_ntnwsvc.CallsOf(kGetUncComputerName).back();
  EXPECT_EQ(call.args[0].value, host::Variant(std::int32_t{0}));
  EXPECT_EQ(call.args[1].value, host::Variant(""));
}

TEST_F(MachineNameTest, AFailingFetchIsReportedTwice) {
  qvi_ntnwsvc.FailAlways(kGetUncComputerName);
  EXPECT_EQ(frm.GetComputerName(), "");
  EXPECT_EQ(Log(), Reports("GetComputerName", 2));
}

TEST_F(MachineNameTest, LocalComputerNameComesFromTheWindowsDirectory) {
  Directories({{"windows", {"\\\\SRV1\\C$\\WINNT"}}});
  EXPECT_EQ(frm.GetLocalComputerName(), "SRV1");
  Directories({{"windows", {"C:\\WINDOWS"}}});
  EXPECT_EQ(frm.GetLocalComputerName(), "");
  EXPECT_EQ(Log(), "");
  qvi_public.FailWhen(kGetDirectory, [](int, const std::vector<host::Argument>& args) {
    return args[0].value == host::Variant("windows");
  });
  EXPECT_EQ(frm.GetLocalComputerName(), "");
  EXPECT_EQ(Log(), Reports("GetLocalComputerName", 2));
}

TEST_F(MachineNameTest, LocalToUNCPathUsesTheDrivesAdministrativeShare) {
  qvi_ntnwsvc.On(kGetDrivePrefix, [](std::vector<host::Argument>& args) {
    return host::Variant(args[0].value.type() == host::Variant::Type::kInt16 ? "\\\\SRV1" : "wrong kind");
  });
  struct Case {
    const char* local;
    const char* unc;
    bool asks_host;
  } const cases[] = {
      {"C:\\", "\\\\SRV1\\C$\\", true},
      {"C:\\Apps\\x", "\\\\SRV1\\C$\\Apps\\x", true},
      {"d:\\data", "\\\\SRV1\\d$\\data", true},
      {"\\\\OTHER\\C$\\x", "\\\\OTHER\\C$\\x", false},
      {"C:", "C:", false},
      {"Apps\\x", "Apps\\x", false},
      {"AB:\\x", "AB:\\x", false},
      {"", "", false},
  };
  for (const Case& c : cases) {
    const std::size_t before = qvi_ntnwsvc.CallsOf(kGetDrivePrefix).size();
    EXPECT_EQ(frm.LocalToUNCPath(c.local), c.unc) << c.local;
    EXPECT_EQ(qvi_ntnwsvc.CallsOf(kGetDrivePrefix).size() - before, c.asks_host ? 1u : 0u) << c.local;
  }
  const auto calls = qvi_ntnwsvc.CallsOf(kGetDrivePrefix);
  EXPECT_EQ(calls.front().args[0].value, host::Variant(std::int16_t{67}));
  EXPECT_EQ(calls.back().args[0].value, host::Variant(std::int16_t{100}));
}

TEST_F(MachineNameTest, LocalToUNCPathGivesNothingWhenTheHostFails) {
  qvi_ntnwsvc.FailAlways(kGetDrivePrefix);
  EXPECT_EQ(frm.LocalToUNCPath("C:\\Apps"), "");
  EXPECT_EQ(Log(), Reports("LocalToUNCPath", 1));
}

class InitComponentDirTest : public MachineNameTest {
 protected:
  InitComponentDirTest() {
    qvi_public.On(kSetDirectory, [](std::vector<host::Argument>&) { return host::Variant(std::int32_t{1}); });
  }
  std::vector<std::int32_t> ClearedIndices() const {
    std::vector<std::int32_t> indices;
    for (const RecordedCall& call : qvi_public.CallsOf(kSetDirectory)) indices.push_back(call.args[2].value.ToInt32());
    return indices;
  }
  std::size_t ComponentFetches() const {
    std::size_t n = 0;
    for (const RecordedCall& call : qvi_public.CallsOf(kGetDirectory)) {
      if (call.args[0].value == host::Variant("QVIConsole")) ++n;
    }
    return n;
  }
  std::string key = "QVIConsole";
};

TEST_F(InitComponentDirTest, ClearsEveryEntryUpToTheFirstEmptyOne) {
  Directories({{"QVIConsole", {"C:\\a", "C:\\b", "C:\\c", "", "C:\\e"}}});
  frm.InitComponentDir(key);
  EXPECT_EQ(ComponentFetches(), 4u);
  EXPECT_EQ(ClearedIndices(), (std::vector<std::int32_t>{0, 1, 2}));
  for (const RecordedCall& call : qvi_public.CallsOf(kSetDirectory)) {
    EXPECT_TRUE(call.args[0].by_ref);
    EXPECT_EQ(call.args[0].value, host::Variant("QVIConsole"));
    EXPECT_FALSE(call.args[1].by_ref);
    EXPECT_EQ(call.args[1].value, host::Variant(""));
    EXPECT_TRUE(call.args[2].by_ref);
  }
  EXPECT_TRUE(qvi_public.CallsOf(kGetDirectory).front().args[1].by_ref);
  EXPECT_EQ(Log(), "");
}

TEST_F(InitComponentDirTest, AComponentWithoutDirectoriesIsOnlyAskedOnce) {
  frm.InitComponentDir(key);
  EXPECT_EQ(ComponentFetches(), 1u);
  EXPECT_TRUE(ClearedIndices().empty());
}

TEST_F(InitComponentDirTest, AFailingClearIsReportedAndTheWalkGoesOn) {
  Directories({{"QVIConsole", {"C:\\a", "C:\\b", "C:\\c"}}});
  qvi_public.FailWhen(kSetDirectory, [](int nth, const auto&) { return nth == 2; });
  frm.InitComponentDir(key);
  EXPECT_EQ(ClearedIndices(), (std::vector<std::int32_t>{0, 1, 2}));
  EXPECT_EQ(Log(), Reports("InitComponentDir", 1));
}

TEST_F(InitComponentDirTest, AFailingFirstFetchEndsTheWalk) {
  qvi_public.FailWhen(kGetDirectory, [](int, const std::vector<host::Argument>& args) {
    return args[0].value == host::Variant("QVIConsole");
  });
  frm.InitComponentDir(key);
  EXPECT_EQ(ComponentFetches(), 1u);
  EXPECT_TRUE(ClearedIndices().empty());
  EXPECT_EQ(Log(), Reports("InitComponentDir", 1));
}

TEST_F(InitComponentDirTest, AHostThatNeverAnswersEmptyIsWalkedTo32768Entries) {
  qvi_public.On(kGetDirectory, [](std::vector<host::Argument>& args) {
    return host::Variant(args[0].value == host::Variant("System") ? "C:\\WINNT\\system32" : "C:\\x");
  });
  frm.InitComponentDir(key);
  const auto cleared = ClearedIndices();
  ASSERT_EQ(cleared.size(), 32768u);
  EXPECT_EQ(cleared.back(), 32767);
  EXPECT_EQ(Log(), Reports("InitComponentDir", 1));
}

TEST_F(InitComponentDirTest, AHostThatResetsTheIndexCannotKeepTheWalkGoing) {
  qvi_public.On(kGetDirectory, [](std::vector<host::Argument>& args) {
    if (args[0].value == host::Variant("System")) return host::Variant("C:\\WINNT\\system32");
    args[1].value = host::Variant(std::int32_t{0});
    return host::Variant("C:\\x");
  });
  frm.InitComponentDir(key);
  EXPECT_EQ(ClearedIndices().size(), 32768u);
  EXPECT_EQ(Log(), Reports("InitComponentDir", 1));
}

}  // namespace
}  // namespace qvi::testing
