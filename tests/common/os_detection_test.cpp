#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/frm_common_fixture.h"

namespace qvi::testing {
namespace {

using host::dispid::kGetPlatform;
using host::dispid::kGetServerVersion;

constexpr std::int32_t Version(std::int32_t major, std::int32_t minor) { return major * 65536 + minor; }
const std::string kFailed = std::string("(frmcommon) : Error in GetOSType: ") + kHostFailure;

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
  // The log's lines, without the "(GetOSType) : " and "(Get OS Msg) : " titles.
  std::vector<std::string> Traces() const {
    std::vector<std::string> lines;
    const std::string log = Log();
    for (std::size_t start = 0, end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2) {
      std::string line = log.substr(start, end - start);
      for (const std::string title : {"(GetOSType) : ", "(Get OS Msg) : "}) {
        if (line.rfind(title, 0) == 0) line.erase(0, title.size());
      }
      lines.push_back(line);
    }
    return lines;
  }
};

TEST_F(GetOSTypeTest, TracesALocalNT4Server) {
  Local(1, Version(4, 0));
  EXPECT_EQ(frm.GetOSType("\\\\SRV1\\C$\\WINNT"), OS_WinNT4);
  EXPECT_EQ(Log(),
            "(GetOSType) : ServerName = 'SRV1'\r\n(GetOSType) : LocalComputer = 'SRV1'\r\n(GetOSType) : LocalOS = ' 1'\r\n"
            "(GetOSType) : OS_Win95 = ' 2'\r\n(Get OS Msg) : NT Major OS: 4\r\n(Get OS Msg) : NT Minor OS: 0\r\n");
  EXPECT_TRUE(qvi_ntnwsvc.calls().empty());
  EXPECT_EQ(qvi_public.Shown(kGetPlatform), std::vector<std::string>{"0&"});
}

TEST_F(GetOSTypeTest, ChoosesTheBranchFromThePathAndTheVersions) {
  struct Case {
    const char* path;
    std::int32_t local_type;
    std::int32_t local_version;
    std::int32_t remote_version;
    std::int32_t expected;
    std::vector<std::string> asked_servers;
  } const cases[] = {
      {"\\\\SRV1\\SHARE\\x", 1, Version(4, 0), Version(4, 0), OS_Other, {}},
      {"C:\\Apps", 1, Version(4, 0), Version(4, 0), OS_Other, {}},
      {"\\\\SRV1\\C$", 1, Version(4, 0), Version(4, 0), OS_Other, {}},
      {"\\\\SRV1\\C$\\", 2, Version(4, 0), 0, OS_Win95, {}},
      {"\\\\SRV1\\C$\\", 2, Version(3, 51), 0, OS_Win95, {}},
      {"\\\\SRV1\\C$\\", 1, Version(3, 51), Version(3, 51), OS_Undetermined, {}},
      {"\\\\SRV1\\C$\\", 1, Version(5, 0), 0, OS_Undetermined, {}},
      {"\\\\SRV1\\C$\\", 7, Version(4, 0), 0, OS_Undetermined, {}},
      {"\\\\srv1\\C$\\", 1, Version(4, 0), Version(3, 51), OS_WinNT351, {"\\\\srv1"}},
      {"\\\\OTHER\\D$\\x", 2, 0, Version(4, 0), OS_WinNT4, {"\\\\OTHER"}},
      {"\\\\OTHER\\D$\\x", 2, 0, Version(3, 51), OS_WinNT351, {"\\\\OTHER"}},
      {"\\\\OTHER\\D$\\x", 2, 0, Version(4, 1), OS_Undetermined, {"\\\\OTHER"}},
      {"\\\\OTHER\\D$\\x", 2, 0, Version(3, 50), OS_Undetermined, {"\\\\OTHER"}},
  };
  for (const Case& c : cases) {
    qvi_ntnwsvc = ScriptedHost();
    Local(c.local_type, c.local_version);
    Remote(c.remote_version);
    EXPECT_EQ(frm.GetOSType(c.path), c.expected) << c.path << " " << c.local_type;
    EXPECT_EQ(qvi_ntnwsvc.Shown(kGetServerVersion), c.asked_servers) << c.path;
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
    EXPECT_EQ(Traces(), (std::vector<std::string>{"ServerName = 'OTHER'", "LocalComputer = 'SRV1'",
                                                  std::string("NT Major OS: ") + c.major,
                                                  std::string("NT Minor OS: ") + c.minor}));
  }
}

TEST_F(GetOSTypeTest, FailuresAreTracedAndLeaveZero) {
  qvi_public.FailAlways(kGetPlatform);
  EXPECT_EQ(frm.GetOSType("\\\\SRV1\\C$\\"), OS_Undetermined);
  EXPECT_EQ(Traces(), (std::vector<std::string>{"ServerName = 'SRV1'", "LocalComputer = 'SRV1'", kFailed,
                                                "LocalOS = ' 0'", "OS_Win95 = ' 2'"}));
  ClearLog();
  qvi_ntnwsvc.FailAlways(kGetServerVersion);
  EXPECT_EQ(frm.GetOSType("\\\\OTHER\\C$\\"), OS_Undetermined);
  EXPECT_EQ(Traces(), (std::vector<std::string>{"ServerName = 'OTHER'", "LocalComputer = 'SRV1'", kFailed,
                                                "NT Major OS: 0", "NT Minor OS: 0"}));
}

TEST_F(FrmCommonTest, HelpReferencesUseAThreeLetterLanguageOrEnu) {
  const std::pair<const char*, const char*> cases[] = {
      {"enu", "enu"}, {"DEU", "DEU"}, {"Fra", "Fra"}, {"", "enu"}, {"de", "enu"}, {"deus", "enu"},
  };
  for (const auto& [language, prefix] : cases) {
    qvi_public.On(host::dispid::kGetLanguage, [=](std::vector<host::Argument>&) { return host::Variant(language); });
    EXPECT_EQ(frm.InstallHelpFile(), std::string(prefix) + "setup.hlp>REF");
    EXPECT_EQ(frm.UnInstallHelpFile(), std::string(prefix) + "unins.hlp>REF");
  }
  qvi_public.FailAlways(host::dispid::kGetLanguage);
  EXPECT_THROW(frm.InstallHelpFile(), Error);
  EXPECT_THROW(frm.UnInstallHelpFile(), Error);
}

}  // namespace
}  // namespace qvi::testing
