#include <string>

#include "common/frm_common.h"
#include "runtime/text.h"
#include "platform/win32_types.h"

namespace qvi {

namespace {

constexpr const char* kLogFileName = "ods.txt";

// The root the log goes to: the drive root of a drive path ("C:\"), the share
// root of a UNC path ("\\SRV1\C$\"), whose first three characters alone would
// name nothing.
std::string LogRoot(const std::string& system_dir) {
  if (system_dir.starts_with("\\\\")) {
    const std::size_t server_end = system_dir.find('\\', 2);
    if (server_end != std::string::npos && server_end > 2 && server_end + 1 < system_dir.size()) {
      const std::size_t share_end = system_dir.find('\\', server_end + 1);
      if (share_end == std::string::npos) return system_dir + "\\";
      if (share_end > server_end + 1) return system_dir.substr(0, share_end + 1);
    }
  }
  return text::Left(system_dir, 3);
}

// The run-time error a caller sees when the log cannot be written.
Error LogWriteError(platform::Status status) {
  switch (status) {
    case platform::win32::kFileNotFound:
    case platform::win32::kPathNotFound:
    case platform::win32::kBadNetPath:
    case platform::win32::kBadPathName:
      return Error(76, "Path not found");
    case platform::win32::kAccessDenied:
    case platform::win32::kSharingViolation:
      return Error(70, "Permission denied");
    default:
      return Error(75, "Path/File access error");
  }
}

}  // namespace

std::string FrmCommon::DebugLevel() {
  struct Depth {
    int& depth;
    explicit Depth(int& d) : depth(d) { ++depth; }
    ~Depth() { --depth; }
  } reading(debug_level_reads_);
  return CLParamDebug();
}

void FrmCommon::WriteLogLine(const std::string& Msg, const std::string& Title) {
  const OnError statement = OnError::PassToCaller();
  std::string system_dir;
  statement([&] { system_dir = QviPublic1.GetDirectory("System", std::int32_t{0}); });
  statement([&] {
    const platform::Status status = os_.AppendLine(LogRoot(system_dir) + kLogFileName, "(" + Title + ") : " + Msg);
    if (status != platform::win32::kSuccess) throw LogWriteError(status);
  });
}

void FrmCommon::DMsgBox(const std::string& Msg, const std::string& Title) {
  const OnError statement = OnError::PassToCaller();
  std::string level;
  statement([&] { level = DebugLevel(); });
  if (level == "1" || level == "2") {
    statement([&] { WriteLogLine(Msg, Title); });
  } else if (level == "3" || level == "4") {
    statement([&] { os_.MessageBoxOk(Msg, Title); });
  }
}

void FrmCommon::ODS(const std::string& Msg, const std::string& Title) {
  const OnError statement = OnError::PassToCaller();
  std::string level;
  statement([&] { level = DebugLevel(); });
  if (level == "0" || level == "2" || level == "4") {
    statement([&] { WriteLogLine(Msg, Title); });
  }
}

}  // namespace qvi
