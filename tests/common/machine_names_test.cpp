#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "common/frm_common_fixture.h"

namespace qvi::testing {
namespace {

using host::dispid::kGetDirectory;
using host::dispid::kGetDrivePrefix;
using host::dispid::kGetUncComputerName;
using host::dispid::kSetDirectory;

class MachineNameTest : public FrmCommonTest {
 protected:
  MachineNameTest() {
    Global({"debug:1"});
    qvi_public.On(kSetDirectory, [](std::vector<host::Argument>&) { return host::Variant(std::int32_t{1}); });
  }
  std::vector<std::int32_t> ClearedIndices() const {
    std::vector<std::int32_t> indices;
    for (const RecordedCall& call : qvi_public.CallsOf(kSetDirectory)) indices.push_back(call.args[2].value.ToInt32());
    return indices;
  }
  std::string key = "QVIConsole";
};

TEST_F(MachineNameTest, ComputerNameIsTheTextBetweenTheLeadingPairAndTheNextBackslash) {
  // A backslash past the 16-bit positions overflows the name's end.
  const std::string beyond = "\\\\" + std::string(40000, 'x') + "\\";
  // answer (nullptr: the host call fails), name, reports
  const std::tuple<const char*, const char*, int> cases[] = {
      {"\\\\SRV1\\SYS", "SRV1", 0}, {"\\\\SRV1\\", "SRV1", 0}, {"\\\\srv-2\\a\\b", "srv-2", 0},
      {"\\\\\\x", "", 0},           {"\\\\SRV1", "\\\\SRV1", 1}, {nullptr, "", 2},
      {beyond.c_str(), beyond.c_str(), 2},
  };
  for (const auto& [given, name, reports] : cases) {
    ClearLog();
    const std::string answer = given ? given : "";
    qvi_ntnwsvc.On(kGetUncComputerName, [answer](std::vector<host::Argument>&) { return host::Variant(answer); });
    qvi_ntnwsvc.FailWhen(kGetUncComputerName, [fails = given == nullptr](int, const auto&) { return fails; });
    EXPECT_EQ(frm.GetComputerName(), name) << answer;
    EXPECT_EQ(Log(), Reports("GetComputerName", reports)) << answer;
  }
  EXPECT_EQ(qvi_ntnwsvc.Shown(kGetUncComputerName).back(), "0,");
}

TEST_F(MachineNameTest, LocalComputerNameComesFromTheWindowsDirectory) {
  Directories({{"windows", {"\\\\SRV1\\C$\\WINNT"}}});
  EXPECT_EQ(frm.GetLocalComputerName(), "SRV1");
  Directories({{"windows", {"C:\\WINDOWS"}}});
  EXPECT_EQ(frm.GetLocalComputerName(), "");
  EXPECT_EQ(Log(), "");
  qvi_public.FailWhen(kGetDirectory, [](int, const auto& args) { return args[0].value == host::Variant("windows"); });
  EXPECT_EQ(frm.GetLocalComputerName(), "");
  EXPECT_EQ(Log(), Reports("GetLocalComputerName", 2));
}

TEST_F(MachineNameTest, LocalToUNCPathUsesTheDrivesAdministrativeShare) {
  qvi_ntnwsvc.On(kGetDrivePrefix, [](std::vector<host::Argument>& args) {
    return host::Variant(args[0].value.type() == host::Variant::Type::kInt16 ? "\\\\SRV1" : "wrong kind");
  });
  // local path, UNC path (nullptr: left as it is, the host not asked)
  const std::pair<const char*, const char*> cases[] = {
      {"C:\\", "\\\\SRV1\\C$\\"},      {"C:\\Apps\\x", "\\\\SRV1\\C$\\Apps\\x"}, {"d:\\data", "\\\\SRV1\\d$\\data"},
      {"\\\\OTHER\\C$\\x", nullptr}, {"C:", nullptr},                           {"Apps\\x", nullptr},
      {"AB:\\x", nullptr},           {"", nullptr},
  };
  for (const auto& [local, unc] : cases) {
    const std::size_t before = qvi_ntnwsvc.calls().size();
    EXPECT_EQ(frm.LocalToUNCPath(local), unc ? unc : local);
    EXPECT_EQ(qvi_ntnwsvc.calls().size() - before, unc ? 1u : 0u) << local;
  }
  EXPECT_EQ(qvi_ntnwsvc.Shown(kGetDrivePrefix), (std::vector<std::string>{"67", "67", "100"}));

  qvi_ntnwsvc.FailAlways(kGetDrivePrefix);
  EXPECT_EQ(frm.LocalToUNCPath("C:\\Apps"), "");
  EXPECT_EQ(Log(), Reports("LocalToUNCPath"));
}

TEST_F(MachineNameTest, InitComponentDirClearsEveryEntryUpToTheFirstEmptyOneAndReportsFailures) {
  frm.InitComponentDir(key);
  EXPECT_EQ(qvi_public.Shown(kGetDirectory), std::vector<std::string>{"QVIConsole&,0&"});
  EXPECT_TRUE(ClearedIndices().empty());

  Directories({{"QVIConsole", {"C:\\a", "C:\\b", "C:\\c", "", "C:\\e"}}});
  frm.InitComponentDir(key);
  EXPECT_EQ(qvi_public.CallsOf(kGetDirectory).size(), 1u + 4u);
  EXPECT_EQ(qvi_public.Shown(kSetDirectory),
            (std::vector<std::string>{"QVIConsole&,,0&", "QVIConsole&,,1&", "QVIConsole&,,2&"}));
  EXPECT_EQ(Log(), "");

  // A failing clear (this walk's second) is reported and the walk goes on.
  qvi_public.FailWhen(kSetDirectory, [](int nth, const auto&) { return nth == 5; });
  frm.InitComponentDir(key);
  EXPECT_EQ(ClearedIndices(), (std::vector<std::int32_t>{0, 1, 2, 0, 1, 2}));
  EXPECT_EQ(Log(), Reports("InitComponentDir"));

  // A failing first fetch leaves nothing to walk.
  qvi_public.FailWhen(kGetDirectory, [](int, const auto& args) { return args[0].value == host::Variant("QVIConsole"); });
  frm.InitComponentDir(key);
  EXPECT_EQ(ClearedIndices().size(), 6u);
  EXPECT_EQ(Log(), Reports("InitComponentDir", 2));
}

TEST_F(MachineNameTest, InitComponentDirEndsAfter32768EntriesWhateverTheHostDoes) {
  for (const bool reset_index : {false, true}) {
    SCOPED_TRACE(reset_index ? "host resets the index" : "host never answers empty");
    qvi_public = ScriptedHost();
    Global({"debug:1"});
    qvi_public.On(kSetDirectory, [](std::vector<host::Argument>&) { return host::Variant(std::int32_t{1}); });
    qvi_public.On(kGetDirectory, [reset_index](std::vector<host::Argument>& args) {
      if (args[0].value == host::Variant("System")) return host::Variant("C:\\WINNT\\system32");
      if (reset_index) args[1].value = host::Variant(std::int32_t{0});
      return host::Variant("C:\\x");
    });
    ClearLog();
    frm.InitComponentDir(key);
    const auto cleared = ClearedIndices();
    ASSERT_EQ(cleared.size(), 32768u);
    EXPECT_EQ(cleared.back(), reset_index ? 0 : 32767);
    EXPECT_EQ(Log(), Reports("InitComponentDir"));
  }
}

}  // namespace
}  // namespace qvi::testing
