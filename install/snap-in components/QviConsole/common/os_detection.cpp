#include <string>

#include "common/frm_common.h"
#include "platform/qvi_common.h"
#include "runtime/text.h"

namespace qvi {

namespace {
constexpr const char* kTraceTitle = "GetOSType";
constexpr const char* kVersionTitle = "Get OS Msg";
}  // namespace

// The words are taken apart exactly: a lower word of 32768 or more is a minor
// version like any other, not a borrow from the major one.
std::int32_t FrmCommon::GetMajorVersion(std::int32_t version) const {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(version) >> 16);
}

std::int32_t FrmCommon::GetMinorVersion(std::int32_t version) const {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(version) & 0xFFFFu);
}

std::int32_t FrmCommon::GetOSType(const std::string& ServerUNCPath) {
  const OnError statement =
      OnError::Report([this](const Error& error) { ODS("Error in GetOSType: " + error.description(), "frmcommon"); });
  std::int32_t result = OS_Undetermined;
  std::string server_name;
  std::string local_computer;

  const auto trace_version = [&](std::int32_t version) {
    statement([&] { ODS("NT Major OS: " + std::to_string(GetMajorVersion(version)), kVersionTitle); });
    statement([&] { ODS("NT Minor OS: " + std::to_string(GetMinorVersion(version)), kVersionTitle); });
  };

  statement([&] { server_name = platform::ServerNameFromPath(os_, ServerUNCPath); });
  statement([&] { ODS("ServerName = '" + server_name + "'", kTraceTitle); });
  statement([&] { local_computer = platform::QueryComputerName(os_); });
  statement([&] { ODS("LocalComputer = '" + local_computer + "'", kTraceTitle); });

  if (text::InStr(1, ServerUNCPath, "$\\") == 0) {
    result = OS_Other;
  } else if (server_name == local_computer) {
    std::int32_t version = 0;
    std::int32_t type_code = 0;
    statement([&] { type_code = QviPublic1.GetPlatform(host::Arg::Ref(version)).ToInt32(); });
    statement([&] { ODS("LocalOS = '" + text::Str(type_code) + "'", kTraceTitle); });
    statement([&] { ODS("OS_Win95 = '" + text::Str(OS_Win95) + "'", kTraceTitle); });
    if (type_code == 1) {
      trace_version(version);
      if (GetMajorVersion(version) == 4 && GetMinorVersion(version) == 0) result = OS_WinNT4;
    } else if (type_code == 2) {
      result = OS_Win95;
    }
  } else {
    std::int32_t version = 0;
    statement([&] { version = QviNTNWSvc1.GetServerVersion("\\\\" + server_name).ToInt32(); });
    trace_version(version);
    if (GetMajorVersion(version) == 4 && GetMinorVersion(version) == 0) result = OS_WinNT4;
    if (GetMajorVersion(version) == 3 && GetMinorVersion(version) == 51) result = OS_WinNT351;
  }
  return result;
}

}  // namespace qvi
