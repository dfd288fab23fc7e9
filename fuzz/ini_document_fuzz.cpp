// Any bytes as an INI file, then any sequence of writes. After each write:
// lines the write did not touch are kept byte for byte, the index and what a
// read returns equal those of the written bytes read anew, and a plain key
// reads back as written.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "emu/ini_document.h"

namespace {

using qvi::emu::IniDocument;

// The lines of a file without their ends (CRLF, LF, CR), as the document
// splits them.
std::vector<std::string> Lines(const std::string& bytes) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  while (from < bytes.size()) {
    const std::size_t end = bytes.find_first_of("\r\n", from);
    if (end == std::string::npos) {
      lines.push_back(bytes.substr(from));
      break;
    }
    lines.push_back(bytes.substr(from, end - from));
    from = end + ((bytes[end] == '\r' && end + 1 < bytes.size() && bytes[end + 1] == '\n') ? 2 : 1);
  }
  return lines;
}

// How many lines of `before` with any bytes on them are missing from `after`,
// counting repeats. Line ends may change where a line next to an edit ended
// in a lone CR: an empty line after it may join its end as CR LF.
std::size_t LinesLost(const std::string& before, const std::string& after) {
  std::map<std::string, int> kept;
  for (const std::string& line : Lines(after)) ++kept[line];
  std::size_t lost = 0;
  for (const std::string& line : Lines(before)) {
    if (!line.empty() && kept[line]-- <= 0) ++lost;
  }
  return lost;
}

// Shows what broke, with every byte visible, and stops.
[[noreturn]] void Fail(const char* what, const std::string& before, const std::string& after) {
  const auto show = [](const std::string& bytes) {
    std::string out;
    for (const char c : bytes) {
      const auto u = static_cast<unsigned char>(c);
      if (u >= 0x20 && u < 0x7F && c != '\\') {
        out += c;
      } else {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", u);
        out += hex;
      }
    }
    return out;
  };
  std::fprintf(stderr, "%s\nbefore: %s\nafter:  %s\n", what, show(before).c_str(), show(after).c_str());
  std::abort();
}

bool HoldsLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

// A name the document holds as given: no blanks around it, nothing that makes
// its line something other than a key or a header.
bool IsPlain(const std::string& s, bool key) {
  if (s.empty() || qvi::emu::TrimIniBlanks(s).size() != s.size()) return false;
  for (const char c : s) {
    if (static_cast<unsigned char>(c) < 0x20 || c == '=' || c == ']' || c == '[' || c == ';' || c == '"') {
      return false;
    }
  }
  return !key || s.front() != ';';
}

void SameReads(const IniDocument& doc) {
  if (!doc.IndexMatchesBytes()) Fail("the index differs from the bytes read anew", doc.bytes(), doc.bytes());
  const IniDocument reread(doc.bytes());
  const auto sections = doc.SectionNames();
  if (reread.SectionNames() != sections) Fail("sections differ when read anew", doc.bytes(), doc.bytes());
  for (const std::string& section : sections) {
    const auto keys = doc.KeyNames(section);
    if (reread.KeyNames(section) != keys) Fail("keys differ when read anew", doc.bytes(), doc.bytes());
    for (const std::string& key : keys) {
      if (doc.RawValue(section, key) != reread.RawValue(section, key)) {
        Fail("a value differs when read anew", doc.bytes(), doc.bytes());
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  IniDocument doc(in.ConsumeRandomLengthString(4096));
  SameReads(doc);
  for (int step = 0; step < 16 && in.remaining_bytes() > 0; ++step) {
    const int op = in.ConsumeIntegralInRange(0, 2);
    const std::string section = in.ConsumeRandomLengthString(24);
    const std::string key = in.ConsumeRandomLengthString(24);
    const std::string value = in.ConsumeRandomLengthString(48);
    // A line break cannot round-trip through a line-based file; the profile
    // functions refuse it before it reaches the document.
    if (HoldsLineBreak(section) || HoldsLineBreak(key) || HoldsLineBreak(value)) continue;
    const std::string before = doc.bytes();
    if (op == 0) {
      doc.Set(section, key, value);
      if (LinesLost(before, doc.bytes()) > 1) Fail("a write changed more than its own line", before, doc.bytes());
      const bool plain_value = value.empty() || (qvi::emu::TrimIniBlanks(value).size() == value.size() &&
                                                 value.front() != '"' && value.front() != '\'');
      if (IsPlain(section, false) && IsPlain(key, true) && plain_value) {
        const auto read = doc.Value(section, key);
        if (!read || *read != value) Fail(("a plain key does not read back: " + key).c_str(), before, doc.bytes());
      }
    } else if (op == 1) {
      const bool held = doc.Value(section, key).has_value();
      doc.DeleteKey(section, key);
      if (LinesLost(before, doc.bytes()) > 1) Fail("a deletion removed more than its own line", before, doc.bytes());
      // A later key of the same name may read now; SameReads checks that it
      // is the one a fresh read finds.
      if (held && doc.bytes() == before) Fail(("a deleted key is still there: " + key).c_str(), before, doc.bytes());
    } else {
      // Section names match as the profile functions match them: ASCII
      // letters in either case, no other letter folded.
      const auto names = doc.SectionNames();
      const bool held = IsPlain(section, false) && std::any_of(names.begin(), names.end(), [&](const std::string& n) {
                          return qvi::emu::IniNamesEqual(n, section);
                        });
      doc.DeleteSection(section);
      // A later section of the same name may read now; SameReads checks that
      // it is the one a fresh read finds.
      if (held && doc.bytes() == before) Fail(("a deleted section is still there: " + section).c_str(), before, doc.bytes());
    }
    SameReads(doc);
  }
  return 0;
}
