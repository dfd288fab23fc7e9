#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "common/frm_common_fixture.h"

namespace qvi::testing {
namespace {

using host::dispid::kGetPlatform;
using host::dispid::kGetServerVersion;

constexpr std::int32_t Version(std::int32_t major, std::int32_t minor) { return major * 65536 + minor; }
const std::string kFailed = std::string("(frmcommon) : Error in GetOSType: ") + kHostFailure + "\r\n";

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
  // path, local type, local version, remote version, expected, servers asked
  const std::tuple<const char*, std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::vector<std::string>>
      cases[] = {
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
  for (const auto& [path, local_type, local_version, remote_version, expected, asked_servers] : cases) {
    qvi_ntnwsvc = ScriptedHost();
    Local(local_type, local_version);
    Remote(remote_version);
    EXPECT_EQ(frm.GetOSType(path), expected) << path << " " << local_type;
    EXPECT_EQ(qvi_ntnwsvc.Shown(kGetServerVersion), asked_servers) << path;
  }
}

TEST_F(GetOSTypeTest, SplitsTheVersionIntoItsTwoWords) {
  // version, major and minor as traced, expected
  const std::tuple<std::int32_t, const char*, const char*, std::int32_t> cases[] = {
      {Version(4, 65535), "4", "65535", OS_Undetermined},
      {Version(3, 32768), "3", "32768", OS_Undetermined},
      {Version(3, 51), "3", "51", OS_WinNT351},
      {static_cast<std::int32_t>(0xFFFF0000u), "65535", "0", OS_Undetermined},
  };
  for (const auto& [version, major, minor, expected] : cases) {
    ClearLog();
    Remote(version);
    EXPECT_EQ(frm.GetOSType("\\\\OTHER\\C$\\"), expected);
    EXPECT_EQ(Log(), std::string("(GetOSType) : ServerName = 'OTHER'\r\n(GetOSType) : LocalComputer = 'SRV1'\r\n") +
                         "(Get OS Msg) : NT Major OS: " + major + "\r\n(Get OS Msg) : NT Minor OS: " + minor + "\r\n");
  }
}

TEST_F(GetOSTypeTest, FailuresAreTracedAndLeaveZero) {
  qvi_public.FailAlways(kGetPlatform);
  EXPECT_EQ(frm.GetOSType("\\\\SRV1\\C$\\"), OS_Undetermined);
  EXPECT_EQ(Log(), "(GetOSType) : ServerName = 'SRV1'\r\n(GetOSType) : LocalComputer = 'SRV1'\r\n" + kFailed +
                       "(GetOSType) : LocalOS = ' 0'\r\n(GetOSType) : OS_Win95 = ' 2'\r\n");
  ClearLog();
  qvi_ntnwsvc.FailAlways(kGetServerVersion);
  EXPECT_EQ(frm.GetOSType("\\\\OTHER\\C$\\"), OS_Undetermined);
  EXPECT_EQ(Log(), "(GetOSType) : ServerName = 'OTHER'\r\n(GetOSType) : LocalComputer = 'SRV1'\r\n" + kFailed +
                       "(Get OS Msg) : NT Major OS: 0\r\n(Get OS Msg) : NT Minor OS: 0\r\n");
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
