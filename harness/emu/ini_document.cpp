#include "emu/ini_document.h"

#include <cstdint>
#include <utility>

namespace qvi::emu {

bool IsIniBlank(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u == 0x20 || (u >= 0x09 && u <= 0x0D) || u == 0x1A;
}

std::string_view TrimIniBlanks(std::string_view s) {
  std::size_t from = 0;
  std::size_t to = s.size();
  while (from < to && IsIniBlank(s[from])) ++from;
  while (to > from && IsIniBlank(s[to - 1])) --to;
  return s.substr(from, to - from);
}

namespace {

constexpr std::string_view kCrLf = "\r\n";

char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

std::string Fold(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = FoldAscii(c);
  return out;
}

// Names end at their first NUL, as the profile functions read them.
std::string_view UpToNul(std::string_view name) { return name.substr(0, name.find('\0')); }

std::string_view StripQuotes(std::string_view v) {
  if (v.size() > 1 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    return v.substr(1, v.size() - 2);
  }
  return v;
}

// Where the value of a "key=value" line starts once trimmed, counted from
// the '='. A value of blanks only reads as empty right after the '=', as the
// blanks end the line.
std::size_t TrimmedValueOffset(std::string_view value) {
  const std::string_view trimmed = TrimIniBlanks(value);
  return 1 + (trimmed.empty() ? 0 : static_cast<std::size_t>(trimmed.data() - value.data()));
}

// True when "key=value" reads back as exactly that key and value, so the
// index can be updated without re-reading the file. A key that would read
// as a section, a comment or another key is rare and takes the slow way.
// A name read back ends at its first NUL: one that holds a NUL is indexed by
// reading its line anew.
constexpr std::string_view kKeyBreakers("=\r\n\0", 4);
constexpr std::string_view kSectionBreakers("]\r\n\0", 4);

bool PlainKey(std::string_view key, std::string_view value) {
  return !key.empty() && key.front() != '[' && key.front() != ';' &&
         key.find_first_of(kKeyBreakers) == std::string_view::npos &&
         value.find_first_of("\r\n") == std::string_view::npos;
}

}  // namespace

bool IniNamesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

std::size_t IniNameHash::operator()(std::string_view s) const {
  std::uint64_t hash = 14695981039346656037ull;
  for (const char c : s) hash = (hash ^ static_cast<unsigned char>(FoldAscii(c))) * 1099511628211ull;
  return static_cast<std::size_t>(hash ^ (hash >> 32));
}

IniDocument::IniDocument(std::string bytes) : bytes_(std::move(bytes)) { Reindex(); }

void IniDocument::Reindex() {
  lines_.clear();
  sections_.clear();
  first_section_.clear();
  const std::size_t n = bytes_.size();
  std::size_t pos = 0;
  while (pos < n) {
    std::size_t end = pos;
    while (end < n && bytes_[end] != '\r' && bytes_[end] != '\n') ++end;
    std::size_t next = end;
    if (next < n) {
      if (bytes_[next] == '\r' && next + 1 < n && bytes_[next + 1] == '\n') {
        next += 2;
      } else {
        next += 1;
      }
    }
    lines_.push_back({pos, end, next});
    pos = next;
  }

  Section* current = nullptr;
  const std::string_view all(bytes_);
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    const Line& line = lines_[i];
    const std::string_view raw = all.substr(line.begin, line.end - line.begin);
    const std::string_view t = TrimIniBlanks(raw);
    if (t.empty()) {
      if (current) current->last_line = i;
      continue;
    }
    // A line that opens a bracket it never closes is no section header.
    if (const std::size_t close = t.rfind(']'); t.front() == '[' && close != std::string_view::npos) {
      sections_.push_back({std::string(UpToNul(TrimIniBlanks(t.substr(1, close - 1)))), i, i, {}, {}});
      current = &sections_.back();
      first_section_.emplace(Fold(current->name), sections_.size() - 1);
      continue;
    }
    if (!current) continue;
    current->last_line = i;
    // Comments and lines without '=' are no keys, yet a lookup meets them:
    // the first line of a name answers, without a value when it has no '='.
    const std::size_t eq = t.find('=');
    const std::string_view spelt = TrimIniBlanks(t.substr(0, eq));
    // A key without a name right after another one that reads as nameless
    // is not listed: only Wine can be watched here, and it leaves such a
    // line out when it reads the file. A lookup finds the first one anyway.
    const bool unlisted = spelt.empty() && !current->entries.empty() && current->entries.back().key.empty();
    const std::string_view key = UpToNul(spelt);
    if (eq == std::string_view::npos) {
      const auto at = static_cast<std::size_t>(t.data() + t.size() - all.data());
      current->entries.push_back({std::string(key), i, at, at, false});
    } else {
      const std::string_view value = TrimIniBlanks(t.substr(eq + 1));
      const auto from = static_cast<std::size_t>(value.data() - all.data());
      current->entries.push_back({std::string(key), i, from, from + value.size(), true, unlisted});
    }
    current->first_entry.emplace(Fold(key), current->entries.size() - 1);
  }
}

const IniDocument::Section* IniDocument::FindSection(std::string_view section) const {
  const auto it = first_section_.find(TrimIniBlanks(section));
  return it == first_section_.end() ? nullptr : &sections_[it->second];
}

const IniDocument::Entry* IniDocument::FindEntry(const Section& section, std::string_view key) const {
  const auto it = section.first_entry.find(TrimIniBlanks(key));
  return it == section.first_entry.end() ? nullptr : &section.entries[it->second];
}

std::optional<std::string_view> IniDocument::RawValue(std::string_view section, std::string_view key) const {
  const Section* s = FindSection(section);
  if (!s) return std::nullopt;
  const Entry* e = FindEntry(*s, key);
  if (!e || !e->has_value) return std::nullopt;
  return std::string_view(bytes_).substr(e->value_from, e->value_to - e->value_from);
}

std::optional<std::string_view> IniDocument::Value(std::string_view section, std::string_view key) const {
  const auto raw = RawValue(section, key);
  if (!raw) return raw;
  return StripQuotes(*raw);
}

std::vector<std::string> IniDocument::SectionNames() const {
  std::vector<std::string> names;
  for (std::size_t i = 0; i < sections_.size(); ++i) {
    const auto it = first_section_.find(std::string_view(sections_[i].name));
    if (it != first_section_.end() && it->second == i) names.push_back(sections_[i].name);
  }
  return names;
}

std::vector<std::string> IniDocument::KeyNames(std::string_view section) const {
  std::vector<std::string> names;
  const Section* s = FindSection(section);
  if (!s) return names;
  for (std::size_t i = 0; i < s->entries.size(); ++i) {
    if (!s->entries[i].IsKey()) continue;
    const auto it = s->first_entry.find(std::string_view(s->entries[i].key));
    if (it != s->first_entry.end() && it->second == i) names.push_back(s->entries[i].key);
  }
  return names;
}

std::vector<std::string> IniDocument::ListedSectionNames() const {
  std::vector<std::string> names;
  for (const Section& section : sections_) names.push_back(section.name);
  return names;
}

std::vector<std::string> IniDocument::ListedKeyNames(std::string_view section) const {
  std::vector<std::string> names;
  if (const Section* s = FindSection(section)) {
    for (const Entry& entry : s->entries) {
      if (entry.IsKey()) names.push_back(entry.key);
    }
  }
  return names;
}

std::size_t IniDocument::LineOf(std::string_view section, std::string_view key) const {
  const Section* s = FindSection(section);
  if (!s) return 0;
  const Entry* e = FindEntry(*s, key);
  return e ? e->line + 1 : 0;
}

void IniDocument::Replace(std::size_t from, std::size_t to, std::string_view with) {
  bytes_.replace(from, to - from, with);
  Reindex();
}

bool IniDocument::Set(std::string_view section, std::string_view key, std::string_view value) {
  section = TrimIniBlanks(section);
  key = TrimIniBlanks(key);
  const Section* s = FindSection(section);
  if (!s) {
    std::string added;
    const bool open_end = !lines_.empty() && lines_.back().next == lines_.back().end;
    if (open_end) added += kCrLf;
    added.append("[").append(section).append("]").append(kCrLf);
    added.append(key).append("=").append(value).append(kCrLf);
    if (open_end || !PlainKey(key, value) || section.find_first_of(kSectionBreakers) != std::string_view::npos) {
      Replace(bytes_.size(), bytes_.size(), added);
      return true;
    }
    // A new section goes at the end: index it without re-reading the file.
    const std::size_t at = bytes_.size();
    bytes_.append(added);
    const std::size_t header_end = at + 1 + section.size() + 1;
    lines_.push_back({at, header_end, header_end + kCrLf.size()});
    const std::size_t key_at = header_end + kCrLf.size();
    lines_.push_back({key_at, bytes_.size() - kCrLf.size(), bytes_.size()});
    sections_.push_back({std::string(section), lines_.size() - 2, lines_.size() - 1, {}, {}});
    first_section_.emplace(Fold(section), sections_.size() - 1);
    const std::string_view trimmed = TrimIniBlanks(value);
    const std::size_t value_from = key_at + key.size() + TrimmedValueOffset(value);
    Section& added_section = sections_.back();
    added_section.entries.push_back({std::string(key), lines_.size() - 1, value_from, value_from + trimmed.size(), true});
    added_section.first_entry.emplace(Fold(key), 0);
    return true;
  }
  const Entry* e = FindEntry(*s, key);
  if (!e) {
    // A new key goes after the last line of its section that is not blank.
    const std::size_t after = s->entries.empty() ? s->header_line : s->entries.back().line;
    const Line& line = lines_[after];
    // A key that would read back as something else (a section, a comment,
    // another key) and a file whose last line has no line end are rare
    // enough to re-read the file for.
    if (line.next == line.end || !PlainKey(key, value)) {
      std::string added = line.next == line.end ? std::string(kCrLf) : std::string();
      Replace(line.next, line.next, added.append(key).append("=").append(value).append(kCrLf));
      return true;
    }
    InsertEntry(static_cast<std::size_t>(s - sections_.data()), after, key, value);
    return true;
  }
  // A comment or a line without '=' that the name finds first takes the
  // value: it becomes that key's line. So does a key whose new line reads
  // as something else ("[x" given "y]" makes a header): re-read the file.
  if (!e->IsKey() || !PlainKey(e->key, value)) {
    const Line& line = lines_[e->line];
    Replace(line.begin, line.next, e->key + "=" + std::string(value) + std::string(kCrLf));
    return true;
  }
  const std::string_view old_value(bytes_.data() + e->value_from, e->value_to - e->value_from);
  if (old_value == TrimIniBlanks(value)) return false;

  // Changing a value is the frequent edit: patch the line and shift the
  // offsets behind it rather than re-reading the whole file.
  const std::size_t index = e->line;
  Line& line = lines_[index];
  std::string content;
  content.reserve(e->key.size() + 1 + value.size() + 2);
  content.append(e->key).append("=").append(value);
  const std::size_t content_size = content.size();
  content.append(kCrLf);
  const std::string_view trimmed = TrimIniBlanks(value);
  const std::size_t value_offset = e->key.size() + TrimmedValueOffset(value);
  const std::size_t old_span = line.next - line.begin;
  bytes_.replace(line.begin, old_span, content);
  const auto delta = static_cast<std::ptrdiff_t>(content.size()) - static_cast<std::ptrdiff_t>(old_span);
  line.end = line.begin + content_size;
  line.next = line.begin + content.size();
  for (std::size_t i = index + 1; i < lines_.size(); ++i) {
    lines_[i].begin += delta;
    lines_[i].end += delta;
    lines_[i].next += delta;
  }
  // Sections before this one hold no line after it.
  for (std::size_t k = static_cast<std::size_t>(s - sections_.data()); k < sections_.size(); ++k) {
    for (Entry& entry : sections_[k].entries) {
      if (entry.line > index) {
        entry.value_from += delta;
        entry.value_to += delta;
      } else if (entry.line == index) {
        entry.value_from = line.begin + value_offset;
        entry.value_to = entry.value_from + trimmed.size();
      }
    }
  }
  return true;
}

void IniDocument::InsertEntry(std::size_t section, std::size_t after, std::string_view key, std::string_view value) {
  // Adding a key is frequent in large files too: shift what follows instead
  // of re-reading the whole file.
  const std::size_t at = lines_[after].next;
  std::string content;
  content.reserve(key.size() + 1 + value.size() + 2);
  content.append(key).append("=").append(value);
  const std::size_t content_size = content.size();
  content.append(kCrLf);
  bytes_.insert(at, content);
  const std::size_t delta = content.size();
  for (std::size_t i = after + 1; i < lines_.size(); ++i) {
    lines_[i].begin += delta;
    lines_[i].end += delta;
    lines_[i].next += delta;
  }
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(after + 1), Line{at, at + content_size, at + delta});
  // Sections before this one hold no line after the new one; the lines of
  // the later ones all move.
  for (std::size_t k = section + 1; k < sections_.size(); ++k) {
    Section& sec = sections_[k];
    ++sec.header_line;
    ++sec.last_line;
    for (Entry& entry : sec.entries) {
      ++entry.line;
      entry.value_from += delta;
      entry.value_to += delta;
    }
  }
  Section& target = sections_[section];
  ++target.last_line;  // the new line is the section's, at or before its end
  const std::string_view trimmed = TrimIniBlanks(value);
  const std::size_t value_from = at + key.size() + TrimmedValueOffset(value);
  target.entries.push_back({std::string(key), after + 1, value_from, value_from + trimmed.size(), true});
  target.first_entry.emplace(Fold(key), target.entries.size() - 1);
}

bool IniDocument::JoinsLineEnds(std::size_t from, std::size_t to) const {
  return from > 0 && bytes_[from - 1] == '\r' && to < bytes_.size() && bytes_[to] == '\n';
}

void IniDocument::RemoveLines(std::size_t first, std::size_t last, std::size_t section) {
  const std::size_t from = lines_[first].begin;
  const std::size_t span = lines_[last - 1].next - from;
  const std::size_t count = last - first;
  bytes_.erase(from, span);
  lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(first), lines_.begin() + static_cast<std::ptrdiff_t>(last));
  for (std::size_t i = first; i < lines_.size(); ++i) {
    lines_[i].begin -= span;
    lines_[i].end -= span;
    lines_[i].next -= span;
  }
  // Sections before `section` hold no line after the removed ones.
  for (std::size_t k = section; k < sections_.size(); ++k) {
    Section& sec = sections_[k];
    if (sec.header_line >= last) sec.header_line -= count;
    sec.last_line -= count;  // the removed lines were at or before its end
    // Entries are in line order: only the tail moves.
    for (auto entry = sec.entries.rbegin(); entry != sec.entries.rend() && entry->line >= last; ++entry) {
      entry->line -= count;
      entry->value_from -= span;
      entry->value_to -= span;
    }
  }
}

bool IniDocument::DeleteKey(std::string_view section, std::string_view key) {
  // The key is looked for in every section of the name, first to last.
  const Section* found = nullptr;
  const Entry* e = nullptr;
  for (const Section& candidate : sections_) {
    if (!IniNamesEqual(candidate.name, TrimIniBlanks(section))) continue;
    if ((e = FindEntry(candidate, key))) {
      found = &candidate;
      break;
    }
  }
  if (!e) return false;
  const Line line = lines_[e->line];
  // A nameless key after the one that goes may become listed or unlisted:
  // rare enough to re-read the file for.
  const bool nameless_next = e + 1 < found->entries.data() + found->entries.size() && e[1].key.empty();
  if (nameless_next || JoinsLineEnds(line.begin, line.next)) {
    Replace(line.begin, line.next, {});
    return true;
  }
  // Deleting is as frequent as adding in large files: update the index in
  // place rather than re-reading the whole file.
  const auto index = static_cast<std::size_t>(found - sections_.data());
  Section& s = sections_[index];
  const auto gone = static_cast<std::size_t>(e - s.entries.data());
  RemoveLines(e->line, e->line + 1, index);
  // A later key of the same name, hidden so far, is now the first.
  const auto first = s.first_entry.find(TrimIniBlanks(key));
  std::size_t next = gone + 1;
  while (next < s.entries.size() && !IniNamesEqual(s.entries[next].key, s.entries[gone].key)) ++next;
  if (next < s.entries.size()) {
    first->second = next;
  } else {
    s.first_entry.erase(first);
  }
  s.entries.erase(s.entries.begin() + static_cast<std::ptrdiff_t>(gone));
  if (gone < s.entries.size()) {
    for (auto& [name, at] : s.first_entry) {
      if (at > gone) --at;
    }
  }
  return true;
}

bool IniDocument::DeleteSection(std::string_view section) {
  const Section* found = FindSection(section);
  if (!found) return false;
  const std::size_t from = lines_[found->header_line].begin;
  const std::size_t to = lines_[found->last_line].next;
  if (JoinsLineEnds(from, to)) {
    Replace(from, to, {});
    return true;
  }
  const auto gone = static_cast<std::size_t>(found - sections_.data());
  RemoveLines(found->header_line, found->last_line + 1, gone + 1);
  // A later section of the same name, hidden so far, is now the first.
  const auto first = first_section_.find(TrimIniBlanks(section));
  std::size_t next = gone + 1;
  while (next < sections_.size() && !IniNamesEqual(sections_[next].name, sections_[gone].name)) ++next;
  if (next < sections_.size()) {
    first->second = next;
  } else {
    first_section_.erase(first);
  }
  sections_.erase(sections_.begin() + static_cast<std::ptrdiff_t>(gone));
  if (gone < sections_.size()) {
    for (auto& [name, at] : first_section_) {
      if (at > gone) --at;
    }
  }
  return true;
}

bool IniDocument::IndexMatchesBytes() const {
  const IniDocument fresh(bytes_);
  return lines_ == fresh.lines_ && sections_ == fresh.sections_ && first_section_ == fresh.first_section_;
}

}  // namespace qvi::emu
