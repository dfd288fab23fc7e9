#include <limits>
#include <string>

#include "common/frm_common.h"
#include "common/internal.h"
#include "runtime/text.h"

namespace qvi {

namespace {
// Entries InitComponentDir may clear: the same bound as the parameter scans.
constexpr std::int32_t kMaxDirectoryEntries = std::int32_t{internal::kLastScanIndex} + 1;
}  // namespace

std::string FrmCommon::TakeMachineName(const std::function<std::string()>& fetch, const std::string& label) {
  const OnError statement = ReportAs(label);
  std::string name;
  std::int16_t backslash = 0;
  statement([&] { name = fetch(); });
  statement([&] { backslash = internal::ToInteger(text::InStr(3, name, "\\")); });
  statement([&] { name = text::Mid(name, 3, std::int64_t{backslash} - 3); });
  return name;
}

std::string FrmCommon::GetComputerName() {
  return TakeMachineName([&] { return QviNTNWSvc1.GetUncComputerName(); }, "GetComputerName");
}

std::string FrmCommon::GetLocalComputerName() {
  return TakeMachineName([&] { return QviPublic1.GetDirectory("windows", std::int32_t{0}); },
                         "GetLocalComputerName");
}

void FrmCommon::InitComponentDir(std::string& ComponentKey) {
  const OnError statement = ReportAs("InitComponentDir");
  std::int32_t n = 0;
  // Counted apart from n, which the host may change through its reference.
  std::int32_t cleared = 0;
  std::string directory;
  statement([&] { directory = QviPublic1.GetDirectory(host::Arg::Ref(ComponentKey), host::Arg::Ref(n)); });
  while (!directory.empty()) {
    statement([&] { QviPublic1.SetDirectory(host::Arg::Ref(ComponentKey), "", host::Arg::Ref(n)); });
    // A host that never answers "" would keep the walk going: it stops, as an
    // overflow, once the bound is reached.
    const bool advanced = statement([&] {
      if (cleared + 1 >= kMaxDirectoryEntries || n == std::numeric_limits<std::int32_t>::max()) {
        throw errors::Overflow();
      }
      n += 1;
      cleared += 1;
    });
    if (!advanced) break;
    statement([&] { directory = QviPublic1.GetDirectory(host::Arg::Ref(ComponentKey), host::Arg::Ref(n)); });
  }
}

std::string FrmCommon::LocalToUNCPath(std::string LocalPath) {
  const OnError statement = ReportAs("LocalToUNCPath");
  std::string result;
  bool drive_path = false;
  statement([&] { drive_path = text::InStr(1, LocalPath, ":\\") == 2; });
  if (drive_path) {
    statement([&] {
      const char letter = LocalPath.front();
      const auto code = static_cast<std::int16_t>(static_cast<unsigned char>(letter));
      result = QviNTNWSvc1.GetDrivePrefix(code) + "\\" + letter + "$" +
               text::Right(LocalPath, static_cast<std::int64_t>(LocalPath.size()) - 2);
    });
  } else {
    statement([&] { result = LocalPath; });
  }
  return result;
}

}  // namespace qvi
