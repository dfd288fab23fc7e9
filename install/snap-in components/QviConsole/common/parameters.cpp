#include <string>

#include "common/frm_common.h"
#include "common/internal.h"
#include "runtime/code_page.h"
#include "runtime/text.h"

namespace qvi {

namespace {
constexpr const char* kGlobalSection = "Global";
}  // namespace

bool FrmCommon::HasGlobalFlag(std::string_view flag, const std::string& label) {
  const OnError statement = ReportAs(label);
  bool found = false;
  std::int16_t index = 0;
  std::string entry;
  do {
    statement([&] { entry = QviPublic1.GetParameter(kGlobalSection, std::int32_t{index}); });
    statement([&] {
      if (code_page::Lower(entry) == flag) found = true;
    });
    // Past the last 16-bit index there is nothing left to read: the overflow
    // is reported and ends the scan, even for a host that never answers "".
    if (!statement([&] { index = internal::NextIndex(index); })) break;
  } while (!(entry.empty() || found));
  return found;
}

std::string FrmCommon::FindKeyedEntry(const std::function<std::string(std::int32_t)>& fetch, std::string& Key,
                                      const std::string& label) {
  const OnError statement = ReportAs(label);
  bool found = false;
  std::int16_t index = 0;
  std::string entry;
  std::string head;
  std::string result;
  do {
    statement([&] { entry = fetch(index); });
    statement([&] { head = code_page::Lower(text::Left(entry, static_cast<std::int64_t>(Key.size()))); });
    statement([&] { Key = code_page::Lower(Key); });
    statement([&] {
      if (head == Key) found = true;
    });
    if (!statement([&] { index = internal::NextIndex(index); })) break;
  } while (!(entry.empty() || found));
  statement([&] {
    if (found) result = text::Mid(entry, static_cast<std::int64_t>(Key.size()) + 1);
  });
  return result;
}

bool FrmCommon::AutoNext() { return HasGlobalFlag("autonext", "AutoNext"); }
bool FrmCommon::NoErr() { return HasGlobalFlag("noerr", "No Err"); }
bool FrmCommon::ParamUninstall() { return HasGlobalFlag("uninstall", "ParamUninstall"); }
bool FrmCommon::ParamUpgrade() { return HasGlobalFlag("upgrade", "ParamUpgrade"); }
bool FrmCommon::ParamDebug() { return HasGlobalFlag("debug", "ParamDebug"); }

std::string FrmCommon::GetGlobalParam(std::string& Key) {
  return FindKeyedEntry(
      [&](std::int32_t index) { return QviPublic1.GetParameter(kGlobalSection, index); }, Key, "GetGlobalParam");
}

std::string FrmCommon::GetSnapinParam(std::string& CodeName, std::string& Key) {
  // A fresh reference on every fetch: the host may change the section name.
  return FindKeyedEntry(
      [&](std::int32_t index) { return QviPublic1.GetParameter(host::Arg::Ref(CodeName), index); }, Key,
      "GetSnapinParam");
}

std::string FrmCommon::CLParamDebug() {
  const OnError statement = OnError::ResumeNext();
  std::string key = "debug:";
  std::string level;
  statement([&] { level = GetGlobalParam(key); });
  return level;
}

std::string FrmCommon::ParamLanguage() {
  const OnError statement = OnError::PassToCaller();
  std::string key = "Lng:";
  std::string language;
  statement([&] { language = GetGlobalParam(key); });
  return language;
}

}  // namespace qvi
