#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "frm_common_fixture.h"

namespace qvi::testing {
namespace {

using host::dispid::kGetPlatform;
using host::dispid::kGetServerVersion;

constexpr std::int32_t Version(std::int32_t major, std::int32_t minor) { return major * 65536 + minor; }

class GetOSTypeTest : public FrmCommonTest {
 protected:
  GetOSTypeTest() { Global({"debug:0"}); }
  void Local(std::int32_t type_code, std::int32_t version) {
    qvi_public.On(kGetPlatform, [=](std::vector<host::Argument>& args) {
      args[0].value = host::Variant(version);
      return host::Variant(type_code);
    });
  }
  void Remote(std::int32_t version) {
    qvi_ntnwsvc.On(kGetServerVersion, [=](std::vector<host::Argument>&) { return host::Variant(version); });
  }
  std::vector<std::string> LogLines() const {
    std::vector<std::string> lines;
    const std::string log = Log();
    for (std::size_t start = 0; start < log.size();) {
      const std::size_t end = log.find("\r\n", start);
      lines.push_back(log.substr(start, end - start));
      start = end + 2;
    }
    return lines;
  }
};

TEST_F(GetOSTypeTest, TracesALocalNT4Server) {
  Local(1, Version(4, 0));
  EXPECT_EQ(frm.GetOSType("\\\\SRV1\\C$\\WINNT"), OS_WinNT4);
  EXPECT_EQ(LogLines(), (std::vector<std::string>{
                            "(GetOSType) : ServerName = 'SRV1'",
                            "(GetOSType) : LocalComputer = 'SRV1'",
                            "(GetOSType) : LocalOS = ' 1'",
                            "(GetOSType) : OS_Win95 = ' 2'",
                            "(Get OS Msg) : NT Major OS: 4",
                            "(Get OS Msg) : NT Minor OS: 0",
                        }));
  EXPECT_TRUE(qvi_ntnwsvc.calls().empty());
  const auto platform_call = qvi_public.CallsOf(kGetPlatform).at(0);
  EXPECT_TRUE(platform_call.args.at(0).by_ref);
  EXPECT_EQ(platform_call.args.at(0).value, host::Variant(std::int32_t{0}));
}

TEST_F(GetOSTypeTest, ChoosesTheBranchFromThePathAndTheVersions) {
  struct Case {
    const char* path;
    std::int32_t local_type;
    std::int32_t local_version;
    std::int32_t remote_version;
    std::int32_t expected;
    const char* asked_server;  // nullptr: the service control is not asked
  } const cases[] = {
      {"\\\\SRV1\\SHARE\\x", 1, Version(4, 0), Version(4, 0), OS_Other, nullptr},
      {"C:\\Apps", 1, Version(4, 0), Version(4, 0), OS_Other, nullptr},
      {"\\\\SRV1\\C$", 1, Version(4, 0), Version(4, 0), OS_Other, nullptr},
      {"\\\\SRV1\\C$\\", 2, Version(4, 0), 0, OS_Win95, nullptr},
      {"\\\\SRV1\\C$\\", 2, Version(3, 51), 0, OS_Win95, nullptr},
      {"\\\\SRV1\\C$\\", 1, Version(3, 51), Version(3, 51), OS_Undetermined, nullptr},
      {"\\\\SRV1\\C$\\", 1, Version(5, 0), 0, OS_Undetermined, nullptr},
      {"\\\\SRV1\\C$\\", 7, Version(4, 0), 0, OS_Undetermined, nullptr},
      {"\\\\srv1\\C$\\", 1, Version(4, 0), Version(3, 51), OS_WinNT351, "\\\\srv1"},
      {"\\\\OTHER\\D$\\x", 2, 0, Version(4, 0), OS_WinNT4, "\\\\OTHER"},
      {"\\\\OTHER\\D$\\x", 2, 0, Version(3, 51), OS_WinNT351, "\\\\OTHER"},
      {"\\\\OTHER\\D$\\x", 2, 0, Version(4, 1), OS_Undetermined, "\\\\OTHER"},
      {"\\\\OTHER\\D$\\x", 2, 0, Version(3, 50), OS_Undetermined, "\\\\OTHER"},
  };
  for (const Case& c : cases) {
    qvi_ntnwsvc = ScriptedHost();
    Local(c.local_type, c.local_version);
    Remote(c.remote_version);
    EXPECT_EQ(frm.GetOSType(c.path), c.expected) << c.path << " " << c.local_type;
    const auto asked = qvi_ntnwsvc.CallsOf(kGetServerVersion);
    if (c.asked_server) {
      ASSERT_EQ(asked.size(), 1u) << c.path;
      EXPECT_EQ(asked[0].args.at(0).value, host::Variant(c.asked_server));
    } else {
      EXPECT_TRUE(asked.empty()) << c.path;
    }
  }
}

TEST_F(GetOSTypeTest, SplitsTheVersionIntoItsTwoWords) {
  struct Case {
    std::int32_t version;
    const char* major;
    const char* minor;
    std::int32_t expected;
  } const cases[] = {
      {Version(4, 65535), "4", "65535", OS_Undetermined},
      {Version(3, 32768), "3", "32768", OS_Undetermined},
      {Version(3, 51), "3", "51", OS_WinNT351},
      {static_cast<std::int32_t>(0xFFFF0000u), "65535", "0", OS_Undetermined},
  };
  for (const Case& c : cases) {
    ClearLog();
    Remote(c.version);
    EXPECT_EQ(frm.GetOSType("\\\\OTHER\\C$\\"), c.expected);
    const auto lines = LogLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], std::string("(Get OS Msg) : NT Major OS: ") + c.major);
    EXPECT_EQ(lines[3], std::string("(Get OS Msg) : NT Minor OS: ") + c.minor);
  }
}

TEST_F(GetOSTypeTest, FailuresAreTracedAndLeaveZero) {
  qvi_public.FailAlways(kGetPlatform);
  EXPECT_EQ(frm.GetOSType("\\\\SRV1\\C$\\"), OS_Undetermined);
  EXPECT_EQ(LogLines(), (std::vector<std::string>{
                            "(GetOSType) : ServerName = 'SRV1'",
                            "(GetOSType) : LocalComputer = 'SRV1'",
                            std::string("(frmcommon) : Error in GetOSType: ") + kHostFailure,
                            "(GetOSType) : LocalOS = ' 0'",
                            "(GetOSType) : OS_Win95 = ' 2'",
                        }));

  ClearLog();
  qvi_ntnwsvc.FailAlways(kGetServerVersion);
  EXPECT_EQ(frm.GetOSType("\\\\OTHER\\C$\\"), OS_Undetermined);
  EXPECT_EQ(LogLines(), (std::vector<std::string>{
                            "(GetOSType) : ServerName = 'OTHER'",
                            "(GetOSType) : LocalComputer = 'SRV1'",
                            std::string("(frmcommon) : Error in GetOSType: ") + kHostFailure,
                            "(Get OS Msg) : NT Major OS: 0",
                            "(Get OS Msg) : NT Minor OS: 0",
                        }));
}

TEST_F(GetOSTypeTest, WithoutADebugLevelNothingIsWrittenAndTheResultIsTheSame) {
  for (const char* level : {"debug:1", "debug:3", "nodebug"}) {
    Global({level});
    Local(1, Version(4, 0));
    EXPECT_EQ(frm.GetOSType("\\\\SRV1\\C$\\"), OS_WinNT4);
  }
  EXPECT_FALSE(LogExists());
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(FrmCommonTest, HelpReferencesUseAThreeLetterLanguageOrEnu) {
  struct Case {
    const char* language;
    const char* prefix;
  } const cases[] = {
      {"enu", "enu"}, {"DEU", "DEU"}, {"Fra", "Fra"}, {"", "enu"}, {"de", "enu"}, {"deus", "enu"},
  };
  for (const Case& c : cases) {
    const std::string language = c.language;
    qvi_public.On(host::dispid::kGetLanguage, [language](std::vector<host::Argument>&) {
      return host::Variant(language);
    });
    EXPECT_EQ(frm.InstallHelpFile(), std::string(c.prefix) + "setup.hlp>REF");
    EXPECT_EQ(frm.UnInstallHelpFile(), std::string(c.prefix) + "unins.hlp>REF");
  }
  qvi_public.FailAlways(host::dispid::kGetLanguage);
  EXPECT_THROW(frm.InstallHelpFile(), Error);
  EXPECT_THROW(frm.UnInstallHelpFile(), Error);
}

}  // namespace
}  // namespace qvi::testing
