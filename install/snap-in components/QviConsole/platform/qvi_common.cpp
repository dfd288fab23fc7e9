#include "platform/qvi_common.h"

#include <limits>

#include "runtime/errors.h"
#include "runtime/text.h"

namespace qvi::platform {

namespace {

constexpr std::uint32_t kComputerNameChars = 261;

// Positions and lengths in the path routines are 16-bit counts.
void CheckLength(const std::string& s) {
  if (s.size() > static_cast<std::size_t>(std::numeric_limits<std::int16_t>::max())) throw errors::Overflow();
}

// The computer name as the operating system writes it into a buffer of
// spaces: trimmed, then the terminating NUL dropped. A failed call leaves
// only spaces, and the length -1 raises InvalidArgument.
std::string ReadComputerName(Platform& os) {
  std::string buffer(kComputerNameChars, ' ');
  std::uint32_t size = kComputerNameChars;
  os.GetComputerNameA(buffer.data(), &size);
  const std::string trimmed = text::Trim(buffer);
  return text::Left(trimmed, static_cast<std::int64_t>(trimmed.size()) - 1);
}

}  // namespace

std::string QueryComputerName(Platform& os) {
  const OnError statement = OnError::PassToCaller();
  std::string name;
  statement([&] { name = ReadComputerName(os); });
  return name;
}

std::string ServerNameFromPath(Platform& os, const std::string& path) {
  const OnError statement = OnError::ResumeNext();
  std::string server;
  statement([&] {
    if (text::Left(path, 2) == "\\\\") {
      const std::int64_t end = text::InStr(3, path, "\\");
      server = text::Mid(path, 3, end - 3);
    } else {
      server = ReadComputerName(os);
    }
  });
  return server;
}

std::string ReplaceText(const std::string& text, std::string_view sought, std::string_view replacement,
                        std::int16_t& case_sensitive) {
  const OnError statement = OnError::ResumeNext();
  std::string result;
  statement([&] {
    CheckLength(text);
    const bool ignore_case = case_sensitive == 0;
    std::string work = text;
    // An empty sought text would be found again at every position forever.
    if (!sought.empty()) {
      std::int64_t at = text::InStr(1, work, sought, ignore_case);
      while (at > 0) {
        work = text::Left(work, at - 1) + std::string(replacement) +
               text::Mid(work, at + static_cast<std::int64_t>(sought.size()));
        CheckLength(work);
        at = text::InStr(at + static_cast<std::int64_t>(replacement.size()), work, sought, ignore_case);
      }
    }
    result = work;
  });
  return result;
}

std::string MakeLocalUNC(Platform& os, const std::string& path) {
  const OnError statement = OnError::ResumeNext();
  std::string result;
  statement([&] {
    if (text::InStr(1, path, ":\\", true) == 2) {
      std::int16_t ignore_case = 0;
      result = "\\\\" + ReadComputerName(os) + "\\" + ReplaceText(path, ":", "$", ignore_case);
    } else {
      result = path;
    }
  });
  return result;
}

std::string ParentDir(const std::string& path) {
  const OnError statement = OnError::PassToCaller();
  std::string parent;
  statement([&] {
    CheckLength(path);
    const std::int64_t last = text::InStrRev(path, "\\");
    parent = last >= 2 ? text::Left(path, last - 1) : std::string();
  });
  return parent;
}

}  // namespace qvi::platform
