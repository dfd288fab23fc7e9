// The machine's ANSI code page, 1252: letter case and the mapping to Unicode.
// Every comparison of names "without regard to letter case" and every
// conversion between the machine's bytes and Unicode text goes through here,
// so the snap-in, the emulated machine and the reports agree on both.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qvi::code_page {

// The code page's own pairs: ASCII letters, the accented capitals 0xC0-0xDE
// (but the multiplication sign) and four pairs in 0x80-0x9F.
char ToLower(char c);
char ToUpper(char c);
std::string Lower(std::string_view s);
std::string Upper(std::string_view s);
// Three-way comparison of the lower-case forms, byte by byte.
int CompareNoCase(std::string_view a, std::string_view b);
bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view s, std::string_view prefix);
// A hash of the lower-case form: names equal without regard to letter case
// hash alike.
std::size_t HashNoCase(std::string_view s);
// For hash tables looked up by any spelling without a folded copy.
struct NoCaseHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return HashNoCase(s); }
};
struct NoCaseEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return EqualsNoCase(a, b); }
};

// Machine bytes as UTF-8 text. Every byte has a character, the five bytes the
// code page leaves undefined included (they stand for U+0081, U+008D, ...,
// as Windows converts them).
std::string ToUtf8(std::string_view ansi);
// UTF-8 text to machine bytes. False when the text is not UTF-8 or a
// character has no byte in the code page; `out` then holds the bytes
// converted before it. With a `replacement`, a character without a byte
// becomes that byte instead, as Windows' ANSI functions give '?'.
bool FromUtf8(std::string_view utf8, std::string& out, char replacement = '\0');
// UTF-16LE code units (no byte-order mark) to machine bytes. False when the
// length is odd or a character has no byte in the code page; `out` then holds
// the bytes converted before it.
bool FromUtf16Le(std::string_view utf16, std::string& out);

}  // namespace qvi::code_page
