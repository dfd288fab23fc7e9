#include "runtime/text.h"

#include <algorithm>

#include "runtime/code_page.h"
#include "runtime/errors.h"

namespace qvi::text {

std::int64_t InStr(std::int64_t start, std::string_view s, std::string_view find, bool ignore_case) {
  if (start < 1) throw errors::InvalidArgument();
  const auto from = static_cast<std::size_t>(start - 1);
  if (from > s.size()) return 0;
  if (find.empty()) return start;
  if (find.size() > s.size()) return 0;
  for (std::size_t i = from; i + find.size() <= s.size(); ++i) {
    const std::string_view candidate = s.substr(i, find.size());
    if (ignore_case ? code_page::EqualsNoCase(candidate, find) : candidate == find) return static_cast<std::int64_t>(i) + 1;
  }
  return 0;
}

std::int64_t InStrRev(std::string_view s, std::string_view find) {
  const std::size_t at = s.rfind(find);
  return at == std::string_view::npos ? 0 : static_cast<std::int64_t>(at) + 1;
}

std::string Mid(std::string_view s, std::int64_t start, std::int64_t length) {
  if (start < 1 || length < 0) throw errors::InvalidArgument();
  const auto from = static_cast<std::size_t>(start - 1);
  if (from >= s.size()) return {};
  return std::string(s.substr(from, static_cast<std::size_t>(length)));
}

std::string Mid(std::string_view s, std::int64_t start) {
  if (start < 1) throw errors::InvalidArgument();
  const auto from = static_cast<std::size_t>(start - 1);
  if (from >= s.size()) return {};
  return std::string(s.substr(from));
}

std::string Left(std::string_view s, std::int64_t length) {
  if (length < 0) throw errors::InvalidArgument();
  return std::string(s.substr(0, static_cast<std::size_t>(length)));
}

std::string Right(std::string_view s, std::int64_t length) {
  if (length < 0) throw errors::InvalidArgument();
  const auto n = std::min(s.size(), static_cast<std::size_t>(length));
  return std::string(s.substr(s.size() - n));
}

std::string Trim(std::string_view s) {
  const std::size_t first = s.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const std::size_t last = s.find_last_not_of(' ');
  return std::string(s.substr(first, last - first + 1));
}

std::string Str(std::int64_t value) { return (value >= 0 ? " " : "") + std::to_string(value); }

std::string_view UpToNul(std::string_view s) {
  const std::size_t nul = s.find('\0');
  return nul == std::string_view::npos ? s : s.substr(0, nul);
}

}  // namespace qvi::text
