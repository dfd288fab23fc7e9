#include "platform/text.h"

#include <algorithm>

#include "platform/errors.h"

namespace qvi::text {

namespace {
unsigned char U(char c) { return static_cast<unsigned char>(c); }
}  // namespace

char ToLowerAnsi(char c) {
  const unsigned char u = U(c);
  if (u >= 'A' && u <= 'Z') return static_cast<char>(u + 32);
  // Code page 1252: the accented capitals, and the four pairs outside that block.
  if (u >= 0xC0 && u <= 0xDE && u != 0xD7) return static_cast<char>(u + 32);
  switch (u) {
    case 0x8A: return static_cast<char>(0x9A);
    case 0x8C: return static_cast<char>(0x9C);
    case 0x8E: return static_cast<char>(0x9E);
    case 0x9F: return static_cast<char>(0xFF);
    default: return c;
  }
}

char ToUpperAnsi(char c) {
  const unsigned char u = U(c);
  if (u >= 'a' && u <= 'z') return static_cast<char>(u - 32);
  if (u >= 0xE0 && u <= 0xFE && u != 0xF7) return static_cast<char>(u - 32);
  switch (u) {
    case 0x9A: return static_cast<char>(0x8A);
    case 0x9C: return static_cast<char>(0x8C);
    case 0x9E: return static_cast<char>(0x8E);
    case 0xFF: return static_cast<char>(0x9F);
    default: return c;
  }
}

std::string LCase(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), ToLowerAnsi);
  return out;
}

std::string UCase(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), ToUpperAnsi);
  return out;
}

int CompareNoCase(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char x = U(ToLowerAnsi(a[i]));
    const unsigned char y = U(ToLowerAnsi(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool EqualsNoCase(std::string_view a, std::string_view b) { return a.size() == b.size() && CompareNoCase(a, b) == 0; }

std::int64_t InStr(std::int64_t start, std::string_view s, std::string_view find, bool ignore_case) {
  if (start < 1) throw errors::InvalidArgument();
  const auto from = static_cast<std::size_t>(start - 1);
  if (from > s.size()) return 0;
  if (find.empty()) return start;
  if (find.size() > s.size()) return 0;
  for (std::size_t i = from; i + find.size() <= s.size(); ++i) {
    const std::string_view candidate = s.substr(i, find.size());
    if (ignore_case ? EqualsNoCase(candidate, find) : candidate == find) return static_cast<std::int64_t>(i) + 1;
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

std::string RTrim(std::string_view s) {
  const std::size_t last = s.find_last_not_of(' ');
  return last == std::string_view::npos ? std::string() : std::string(s.substr(0, last + 1));
}

std::string Str(std::int64_t value) { return (value >= 0 ? " " : "") + std::to_string(value); }

std::string_view UpToNul(std::string_view s) {
  const std::size_t nul = s.find('\0');
  return nul == std::string_view::npos ? s : s.substr(0, nul);
}

}  // namespace qvi::text
