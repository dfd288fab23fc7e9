// An INI file held as its exact bytes plus an index of its sections and keys,
// so that lookups are cheap and edits touch only the lines they change.
//
// Reading follows the profile functions: CRLF, LF and CR-only line ends;
// blanks (0x09-0x0D, 0x20, 0x1A) trimmed around lines, names and values;
// names end at their first NUL;
// section and key names compared without regard to the case of ASCII letters
// only (Windows documents no folding of other letters here, and Wine's
// profile functions fold none); the
// first of duplicate sections or keys wins; lines before the first section
// belong to no section; a line is a section header only when it closes
// its bracket; lines starting with ';' and lines without '=' are not keys,
// but the first line a name finds answers a lookup, a line without '='
// with no value (as Wine's profile functions read; Windows documents none
// of it).
//
// Editing keeps every byte of every untouched line: a changed key's line is
// replaced by "key=value" + CRLF (the file's spelling of the key kept), a new
// key goes after the last line of its section that is not blank, a new
// section goes at the end.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qvi::emu {

// Names as the profile functions match them: ASCII letters in either case.
bool IniNamesEqual(std::string_view a, std::string_view b);
struct IniNameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const;
};
struct IniNameEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return IniNamesEqual(a, b); }
};

class IniDocument {
 public:
  IniDocument() = default;
  explicit IniDocument(std::string bytes);

  const std::string& bytes() const { return bytes_; }

  // The value of `key` in `section` as stored (blanks trimmed, quotes kept),
  // or nothing when the section or key is absent.
  std::optional<std::string_view> RawValue(std::string_view section, std::string_view key) const;
  // As RawValue, with one pair of matching surrounding quotes removed.
  std::optional<std::string_view> Value(std::string_view section, std::string_view key) const;
  // Section names in file order, each once (as first spelt).
  std::vector<std::string> SectionNames() const;
  // Key names of the first section so named, in file order (duplicates kept
  // once, as first spelt). Empty when the section is absent.
  std::vector<std::string> KeyNames(std::string_view section) const;
  // What the profile functions list: every section header in file order, and
  // every key of the first section so named, repeats included.
  std::vector<std::string> ListedSectionNames() const;
  std::vector<std::string> ListedKeyNames(std::string_view section) const;
  // The 1-based line on which `key` of `section` stands, 0 when absent.
  std::size_t LineOf(std::string_view section, std::string_view key) const;

  // Each returns true when the bytes changed. DeleteKey takes the key from
  // the first section of the name that holds it.
  bool Set(std::string_view section, std::string_view key, std::string_view value);
  bool DeleteKey(std::string_view section, std::string_view key);
  bool DeleteSection(std::string_view section);

  // True when the index is exactly what reading the bytes afresh gives, as
  // every edit must leave it; for tests.
  bool IndexMatchesBytes() const;

 private:
  struct Line {
    std::size_t begin;  // first byte of the line
    std::size_t end;    // one past the last byte before the line end
    std::size_t next;   // first byte of the following line
    bool operator==(const Line&) const = default;
  };
  // A line of a section that a key lookup can meet: a key, a comment or a
  // line without '='.
  struct Entry {
    std::string key;         // trimmed, as spelt (a comment's starts with ';')
    std::size_t line;        // index into lines_
    std::size_t value_from;  // trimmed value, as byte offsets
    std::size_t value_to;
    bool has_value;          // the line has an '='
    bool unlisted = false;   // nameless right after another nameless one
    bool IsKey() const { return has_value && !unlisted && key.rfind(';', 0) != 0; }
    bool operator==(const Entry&) const = default;
  };
  struct Section {
    std::string name;
    std::size_t header_line;
    std::size_t last_line;  // last line belonging to the section
    std::vector<Entry> entries;
    // Folded key -> entries index, found by any spelling.
    std::unordered_map<std::string, std::size_t, IniNameHash, IniNameEqual> first_entry;
    bool operator==(const Section&) const = default;
  };

  void Reindex();
  const Section* FindSection(std::string_view section) const;
  const Entry* FindEntry(const Section& section, std::string_view key) const;
  void Replace(std::size_t from, std::size_t to, std::string_view with);
  // Adds "key=value" as a new line after line `after` of sections_[section].
  void InsertEntry(std::size_t section, std::size_t after, std::string_view key, std::string_view value);
  // Takes lines [first, last) out of the bytes, the lines of sections_[section]
  // or of no section, and moves everything after them up.
  void RemoveLines(std::size_t first, std::size_t last, std::size_t section);
  // True when taking out bytes [from, to) would leave a lone CR before them
  // and an LF after, which read together as one line end.
  bool JoinsLineEnds(std::size_t from, std::size_t to) const;

  std::string bytes_;
  std::vector<Line> lines_;
  std::vector<Section> sections_;
  // Folded name -> sections_ index, found by any spelling.
  std::unordered_map<std::string, std::size_t, IniNameHash, IniNameEqual> first_section_;
};

// Blanks as the profile functions see them.
bool IsIniBlank(char c);
std::string_view TrimIniBlanks(std::string_view s);

}  // namespace qvi::emu
