// The hidden form object frmCommon: the common services offered to the
// snap-in's code (setup parameters, debug messages and log, machine names and
// paths, operating-system detection, help files). Services that no event
// calls (the flags, GetOSType, the help files, ...) are kept on purpose: they
// are the form's public face, which other snap-in code of the product uses.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "host/qvi_public.h"
#include "platform/platform.h"
#include "runtime/errors.h"

namespace qvi {

// Results of GetOSType.
inline constexpr std::int32_t OS_Undetermined = 0;
inline constexpr std::int32_t OS_Win95 = 2;
inline constexpr std::int32_t OS_WinNT4 = 3;
inline constexpr std::int32_t OS_WinNT351 = 4;
inline constexpr std::int32_t OS_Other = 5;

class FrmCommon {
 public:
  // `qvi_public` and `qvi_ntnwsvc` are the host controls placed on the form.
  FrmCommon(host::HostControl& qvi_public, host::HostControl& qvi_ntnwsvc, platform::Platform& os);

  // Setup parameters. Scans read the host's list from index 0 up to the first
  // empty entry and end after index 32767 at the latest (reported as an
  // overflow). A failing step is reported through DMsgBox ("Error in " + the
  // routine's label, title "frmCommon") and the scan goes on; a report that
  // itself fails passes its error on. CLParamDebug answers "" on any failure;
  // ParamLanguage passes failures on.
  bool AutoNext();
  bool NoErr();
  bool ParamUninstall();
  bool ParamUpgrade();
  bool ParamDebug();
  // Both leave `Key` in lower case.
  std::string GetGlobalParam(std::string& Key);
  std::string GetSnapinParam(std::string& CodeName, std::string& Key);
  std::string CLParamDebug();
  std::string ParamLanguage();

  // Debug messages and log; failures pass to the caller. The debug level is
  // the "debug:" parameter, read on every call; a log line
  // "(" + Title + ") : " + Msg goes to "ods.txt" at the root of the host's
  // "System" directory (the share root when that directory is a UNC path).
  // A log append that fails raises qvi::Error.
  void DMsgBox(const std::string& Msg, const std::string& Title);
  void ODS(const std::string& Msg, const std::string& Title);

  // Machine names, component directory and UNC paths. InitComponentDir
  // clears at most 32768 entries, then reports an overflow and stops.
  std::string GetComputerName();
  std::string GetLocalComputerName();
  void InitComponentDir(std::string& ComponentKey);
  std::string LocalToUNCPath(std::string LocalPath);

  // Operating-system detection: one of the OS_ codes. Traces, and reports
  // failures ("Error in GetOSType: " + description, title "frmcommon"),
  // through ODS.
  std::int32_t GetOSType(const std::string& ServerUNCPath);

  // Help files; failures pass to the caller.
  std::string InstallHelpFile();
  std::string UnInstallHelpFile();

 private:
  // The upper and the lower 16-bit word of a version value.
  std::int32_t GetMajorVersion(std::int32_t version) const;
  std::int32_t GetMinorVersion(std::int32_t version) const;

  // Report-and-continue: DMsgBox "Error in " + label, title "frmCommon".
  OnError ReportAs(std::string label);
  bool HasGlobalFlag(std::string_view flag, const std::string& label);
  std::string FindKeyedEntry(const std::function<std::string(std::int32_t)>& fetch, std::string& Key,
                             const std::string& label);
  std::string TakeMachineName(const std::function<std::string()>& fetch, const std::string& label);
  std::string DebugLevel();
  void WriteLogLine(const std::string& Msg, const std::string& Title);

  // How deep DMsgBox and ODS are in reading the debug level, and whether the
  // read nested in a report of a failed level read failed too.
  int debug_level_reads_ = 0;
  bool level_unreadable_ = false;

  host::QviPublic QviPublic1;
  host::QviNTNWSvc QviNTNWSvc1;
  platform::Platform& os_;
};

}  // namespace qvi
