#include "runtime/code_page.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace qvi::code_page {

namespace {

// Unicode code points of the bytes 0x80-0x9F.
constexpr std::array<std::uint16_t, 32> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

unsigned char U(char c) { return static_cast<unsigned char>(c); }

std::uint16_t CodePoint(unsigned char byte) {
  return byte >= 0x80 && byte <= 0x9F ? kHigh[byte - 0x80] : byte;
}

void AppendUtf8(std::string& out, std::uint16_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

char ToLower(char c) {
  const unsigned char u = U(c);
  if (u >= 'A' && u <= 'Z') return static_cast<char>(u + 32);
  if (u >= 0xC0 && u <= 0xDE && u != 0xD7) return static_cast<char>(u + 32);
  switch (u) {
    case 0x8A: return static_cast<char>(0x9A);
    case 0x8C: return static_cast<char>(0x9C);
    case 0x8E: return static_cast<char>(0x9E);
    case 0x9F: return static_cast<char>(0xFF);
    default: return c;
  }
}

char ToUpper(char c) {
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

std::string Lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), ToLower);
  return out;
}

std::string Upper(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), ToUpper);
  return out;
}

int CompareNoCase(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char x = U(ToLower(a[i]));
    const unsigned char y = U(ToLower(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool EqualsNoCase(std::string_view a, std::string_view b) { return a.size() == b.size() && CompareNoCase(a, b) == 0; }

std::size_t HashNoCase(std::string_view s) {
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a over the lower-case bytes
  for (const char c : s) {
    hash ^= static_cast<unsigned char>(ToLower(c));
    hash *= 1099511628211ull;
  }
  return static_cast<std::size_t>(hash ^ (hash >> 32));
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

std::string ToUtf8(std::string_view ansi) {
  std::string out;
  out.reserve(ansi.size());
  for (const char c : ansi) AppendUtf8(out, CodePoint(U(c)));
  return out;
}

namespace {

// The byte of a code point, if the code page has one.
bool ByteOf(std::uint32_t cp, std::string& out) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
    out += static_cast<char>(cp);
    return true;
  }
  const auto it = std::find(kHigh.begin(), kHigh.end(), cp);
  if (it == kHigh.end()) return false;
  out += static_cast<char>(0x80 + (it - kHigh.begin()));
  return true;
}

}  // namespace

bool FromUtf8(std::string_view utf8, std::string& out, char replacement) {
  out.clear();
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const unsigned char lead = U(utf8[i]);
    std::size_t extra = 0;
    std::uint32_t cp = 0;
    if (lead < 0x80) {
      // A run of ASCII, most of any text, goes across whole.
      std::size_t end = i + 1;
      while (end < utf8.size() && U(utf8[end]) < 0x80) ++end;
      out.append(utf8.data() + i, end - i);
      i = end;
      continue;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
      cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
      cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
      cp = lead & 0x07;
    } else {
      return false;
    }
    if (i + extra >= utf8.size() && extra > 0) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const unsigned char next = U(utf8[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (next & 0x3F);
    }
    if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF))) return false;
    if (!ByteOf(cp, out)) {
      if (replacement == '\0') return false;
      out += replacement;
    }
    i += extra + 1;
  }
  return true;
}

bool FromUtf16Le(std::string_view utf16, std::string& out) {
  out.clear();
  out.reserve(utf16.size() / 2);
  if (utf16.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < utf16.size(); i += 2) {
    const auto unit = static_cast<std::uint16_t>(U(utf16[i]) | (U(utf16[i + 1]) << 8));
    if (!ByteOf(unit, out)) return false;
  }
  return true;
}

}  // namespace qvi::code_page
