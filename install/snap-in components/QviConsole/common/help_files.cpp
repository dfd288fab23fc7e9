#include <string>

#include "common/frm_common.h"
#include "runtime/text.h"

namespace qvi {

namespace {

constexpr const char* kDefaultLanguage = "enu";

std::string HelpReference(host::QviPublic& host, const char* base_and_window) {
  const OnError statement = OnError::PassToCaller();
  std::string language;
  statement([&] { language = host.GetLanguage(); });
  if (language.size() != 3) language = kDefaultLanguage;
  return text::Left(language, 3) + base_and_window;
}

}  // namespace

std::string FrmCommon::InstallHelpFile() { return HelpReference(QviPublic1, "setup.hlp>REF"); }

std::string FrmCommon::UnInstallHelpFile() { return HelpReference(QviPublic1, "unins.hlp>REF"); }

}  // namespace qvi
