// The hidden form object frmCommon: the common services offered to the
// snap-in's code (setup parameters, debug messages and log, machine names and
// paths, operating-system detection, help files).
#pragma once

#include <cstdint>
#include <string>

#include "host/qvi_public.h"
#include "platform/platform.h"

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

  // Setup parameters.
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

  // Debug messages and log; failures pass to the caller.
  void DMsgBox(const std::string& Msg, const std::string& Title);
  void ODS(const std::string& Msg, const std::string& Title);

  // Machine names, component directory and UNC paths.
  std::string GetComputerName();
  std::string GetLocalComputerName();
  void InitComponentDir(std::string& ComponentKey);
  std::string LocalToUNCPath(std::string LocalPath);

  // Operating-system detection: one of the OS_ codes.
  std::int32_t GetOSType(const std::string& ServerUNCPath);

  // Help files; failures pass to the caller.
  std::string InstallHelpFile();
  std::string UnInstallHelpFile();

 private:
  std::int32_t GetMajorVersion(std::int32_t version) const;
  std::int32_t GetMinorVersion(std::int32_t version) const;

  host::QviPublic QviPublic1;
  host::QviNTNWSvc QviNTNWSvc1;
  platform::Platform& os_;
};

}  // namespace qvi
