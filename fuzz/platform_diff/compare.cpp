// Comparing a real run with an emulated one. Every field must be equal, but
// where a documented departure of Wine from Windows can apply: there the
// real run must equal what the departure makes of the emulated one, and
// nothing wider is forgiven.
#include <algorithm>

#include "emu/profile.h"
#include "fuzz/platform_diff/platform_diff.h"
#include "runtime/code_page.h"

namespace qvi::fuzz {

namespace {

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16Mark = "\xFF\xFE";

const char* CallName(Call call) {
  switch (call) {
    case Call::kPlant: return "plant";
    case Call::kCreateKey: return "RegCreateKeyA";
    case Call::kSetValue: return "RegSetValueExA";
    case Call::kCloseKey: return "RegCloseKey";
    case Call::kOpenKey: return "RegOpenKeyExA";
    case Call::kEnumKey: return "RegEnumKeyA";
    case Call::kDeleteKey: return "RegDeleteKeyA";
    case Call::kConnect: return "RegConnectRegistryA";
    case Call::kGetString: return "GetPrivateProfileStringA";
    case Call::kWriteString: return "WritePrivateProfileStringA";
    case Call::kComputerName: return "GetComputerNameA";
  }
  return "?";
}

bool HasNameOf256(const Text& path) {
  if (!path) return false;
  std::size_t from = 0;
  while (from <= path->size()) {
    const std::size_t slash = std::min(path->find('\\', from), path->size());
    if (slash - from == 256) return true;
    from = slash + 1;
  }
  return false;
}

const char* RootName(int key) {
  switch (key) {
    case kHkcu: return "HKEY_CURRENT_USER";
    case kHklm: return "HKEY_LOCAL_MACHINE";
    default: return "HKEY_CLASSES_ROOT";
  }
}

// The file a name stands for: letter case, and trailing dots and blanks of
// the last name, do not count on Windows.
std::string Canonical(std::string name) {
  while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
  return code_page::Lower(name);
}

bool IsWineBlank(char c) { return (c >= 0x09 && c <= 0x0D) || c == 0x1A || c == 0x20; }

// WritesKeepEveryByteTheyDoNotChange: Wine reads an INI file into sections
// of keys and writes it back whole from them (kernel32 profile.c,
// PROFILE_Load and PROFILE_Save). This is that round trip, on the emulated
// machine's bytes: what Wine would have written had it kept the same keys.
std::string WineRewrite(const std::string& bytes) {
  enum class Encoding { kAnsi, kUtf8, kUtf16 } encoding = Encoding::kAnsi;
  std::string text;  // UTF-8: the parse looks at ASCII only, which UTF-8 keeps as it is
  if (bytes.starts_with(kUtf8Mark)) {
    encoding = Encoding::kUtf8;
    text = bytes.substr(kUtf8Mark.size());
  } else if (bytes.starts_with(kUtf16Mark)) {
    encoding = Encoding::kUtf16;
    text = emu::Utf16ToUtf8(std::string_view(bytes).substr(kUtf16Mark.size()));
  } else {
    text = code_page::ToUtf8(bytes);
  }
  struct Key {
    std::string name;
    std::optional<std::string> value;
  };
  struct Section {
    std::string name;
    std::vector<Key> keys;
  };
  std::vector<Section> sections(1);
  const Key* previous = nullptr;
  for (std::size_t next = 0; next < text.size();) {
    std::size_t start = next;
    while (next < text.size() && text[next] != '\n' && text[next] != '\r') ++next;
    while (next < text.size() && (text[next] == '\n' || text[next] == '\r')) ++next;
    std::size_t end = next;
    while (start < end && IsWineBlank(text[start])) ++start;
    while (end > start && IsWineBlank(text[end - 1])) --end;
    if (start >= end) continue;
    const std::string_view line(text.data() + start, end - start);
    if (line.front() == '[') {
      const std::size_t close = line.rfind(']');
      if (close != std::string_view::npos && close > 0) {
        std::string_view name = line.substr(1, close - 1);
        while (!name.empty() && IsWineBlank(name.front())) name.remove_prefix(1);
        while (!name.empty() && IsWineBlank(name.back())) name.remove_suffix(1);
        sections.push_back({std::string(name), {}});
        previous = nullptr;
        continue;
      }
    }
    Key key;
    const std::size_t eq = line.find('=');
    std::string_view name = line.substr(0, eq);
    while (!name.empty() && IsWineBlank(name.back())) name.remove_suffix(1);
    key.name = std::string(name);
    if (eq != std::string_view::npos) {
      std::string_view value = line.substr(eq + 1);
      while (!value.empty() && IsWineBlank(value.front())) value.remove_prefix(1);
      key.value = std::string(value);
    }
    // An empty name right after another that reads as empty (nothing
    // before its first NUL) is dropped.
    if (!key.name.empty() || !previous || (!previous->name.empty() && previous->name.front() != '\0')) {
      sections.back().keys.push_back(std::move(key));
      previous = &sections.back().keys.back();
    }
  }
  // Names and values end at their first NUL when written.
  const auto cut = [](const std::string& s) { return s.substr(0, s.find('\0')); };
  std::string out;
  for (const Section& section : sections) {
    if (!cut(section.name).empty()) out += "[" + cut(section.name) + "]\r\n";
    for (const Key& key : section.keys) {
      out += cut(key.name);
      if (key.value) out += "=" + cut(*key.value);
      out += "\r\n";
    }
  }
  switch (encoding) {
    case Encoding::kUtf8: return std::string(kUtf8Mark) + out;
    case Encoding::kUtf16: return std::string(kUtf16Mark) + emu::Utf8ToUtf16(out);
    case Encoding::kAnsi: break;
  }
  std::string ansi;
  code_page::FromUtf8(out, ansi, '?');
  return ansi;
}

// A written file as far as Wine keeps it: rewritten twice (a name cut at a
// NUL can end in blanks that only a second reading trims), and each value
// without the blanks after an '=' (Wine stores a value without its leading
// blanks, which shows where the key itself holds an '=': a=b and "  v" as
// a=b=v).
std::string AsWineKeepsIt(const std::string& bytes) {
  std::string text = WineRewrite(WineRewrite(bytes));
  if (text.starts_with(kUtf16Mark)) text = "UTF-16 " + emu::Utf16ToUtf8(std::string_view(text).substr(kUtf16Mark.size()));
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    out += text[i];
    if (text[i] != '=') continue;
    while (i + 1 < text.size() && text[i + 1] != '\r' && IsWineBlank(text[i + 1])) ++i;
  }
  return out;
}

// The files planted with a UTF-8 byte-order mark, by Canonical() name.
std::vector<std::string> MarkedFiles(const Sequence& sequence) {
  std::vector<std::string> marked;
  for (const Op& op : sequence) {
    if (op.call == Call::kPlant && op.data.starts_with(kUtf8Mark)) marked.push_back(Canonical(Files()[op.file]));
  }
  return marked;
}

// Whether the first write that reached a file not planted beforehand
// deleted something: Windows leaves an empty file there, Wine none.
bool FirstWriteDeletesFromNothing(const Sequence& sequence, const Outcome& real, const std::string& file) {
  for (std::size_t i = 0; i < sequence.size(); ++i) {
    const Op& op = sequence[i];
    if (op.file < 0 || Files()[op.file].empty() || Canonical(Files()[op.file]) != file) continue;
    if (op.call == Call::kPlant) return false;
    if (op.call == Call::kWriteString && real.calls[i].Get("result") == "TRUE") return !op.name || !op.value;
  }
  return false;
}

bool Contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// The documented departure of Wine that explains why a field of a call
// reads `value` under Wine where the emulated machine gave `expected`, or
// null.
const char* Departure(const Op& op, const std::string& field, const std::string& value, const std::string& expected,
                      const Observed& got, const Observed& want) {
  // AListCutToItsBufferEndsInTwoNuls: Wine leaves the last byte of a list
  // cut to its buffer as it was, where Windows writes the second NUL.
  if (field == "buffer" && op.call == Call::kGetString && (!op.sub || !op.name) && op.size >= 2 &&
      got.Get("returned") == std::to_string(op.size - 2) && want.Get("returned") == got.Get("returned")) {
    std::string cut = Unshown(expected);
    cut[op.size - 1] = '\xCC';
    if (cut == Unshown(value)) return "AListCutToItsBufferEndsInTwoNuls";
  }
  // AKeyNameHasAt255Characters: Windows allows 255 characters for a key
  // name; Wine takes 256, so it looks such a name up where Windows refuses
  // it.
  if (field == "status" && (op.call == Call::kOpenKey || op.call == Call::kDeleteKey) && HasNameOf256(op.sub) &&
      value == "2" && expected == "87") {
    return "AKeyNameHasAt255Characters";
  }
  // CreateKeyWithoutASubkeyHandsBackTheRoot: RegCreateKeyA documents that a
  // predefined root with a null subkey comes back as itself; Wine opens a
  // new handle on it.
  if (field == "handle" && op.call == Call::kCreateKey && op.key < 0 && op.key != kNullKey && !op.sub && !op.rooted &&
      value == "new" && expected == RootName(op.key)) {
    return "CreateKeyWithoutASubkeyHandsBackTheRoot";
  }
  return nullptr;
}

}  // namespace

std::string Difference::Signature(const Sequence& sequence) const {
  if (op >= sequence.size()) return "end:" + field.substr(0, field.find(' '));
  return std::string(CallName(sequence[op].call)) + ":" + field;
}

bool StripUtf8Marks(Sequence& sequence) {
  bool any = false;
  for (Op& op : sequence) {
    if (op.call == Call::kPlant && op.data.starts_with(kUtf8Mark)) {
      op.data.erase(0, kUtf8Mark.size());
      any = true;
    }
  }
  return any;
}

std::optional<Difference> Compare(const Sequence& sequence, const Outcome& real, const Outcome& emulated,
                                  const Outcome* shadow, bool wine, DepartureCounts& departures) {
  const std::vector<std::string> marked = wine && shadow ? MarkedFiles(sequence) : std::vector<std::string>{};
  const auto touches_marked = [&](const Op& op) {
    return (op.call == Call::kGetString || op.call == Call::kWriteString) && !Files()[op.file].empty() &&
           Contains(marked, Canonical(Files()[op.file]));
  };
  std::vector<std::size_t> masked;   // calls a departure explained
  std::vector<std::string> written;  // files a successful write reached
  for (std::size_t i = 0; i < sequence.size(); ++i) {
    const Op& op = sequence[i];
    const Observed& got = real.calls[i];
    const Observed& want = emulated.calls[i];
    if (op.call == Call::kWriteString && got.Get("result") == "TRUE") written.push_back(Canonical(Files()[op.file]));
    // FlushReturnsTrue: Windows answers the all-null flush with TRUE, Wine
    // with FALSE (Wine's own profile tests mark it todo_wine).
    if (wine && op.call == Call::kWriteString && !op.sub && !op.name && !op.value && got.Get("result") == "FALSE" &&
        want.Get("result") == "TRUE") {
      ++departures["FlushReturnsTrue"];
      masked.push_back(i);
      continue;
    }
    if (got.fields.size() != want.fields.size()) {
      return Difference{i, "fields", std::to_string(got.fields.size()), std::to_string(want.fields.size()), masked};
    }
    // The first field that `reference` does not explain; `count` the
    // departures that explain the others.
    const auto mismatch = [&](const Observed& reference, bool count) -> std::optional<std::size_t> {
      if (reference.fields.size() != got.fields.size()) return 0;
      for (std::size_t f = 0; f < got.fields.size(); ++f) {
        const auto& [field, value] = got.fields[f];
        const std::string& expected = reference.fields[f].second;
        if (value == expected) continue;
        const char* departure = Departure(op, field, value, expected, got, reference);
        if (!wine || !departure) return f;
        if (count) {
          ++departures[departure];
          masked.push_back(i);
        }
      }
      return std::nullopt;
    };
    // AUtf8ByteOrderMarkHidesTheFirstSection: Wine reads such a file as
    // UTF-8 text without its mark; the shadow run did so.
    if (touches_marked(op) && mismatch(want, false) && !mismatch(shadow->calls[i], false)) {
      ++departures["AUtf8ByteOrderMarkHidesTheFirstSection"];
      masked.push_back(i);
      mismatch(shadow->calls[i], true);
      continue;
    }
    if (const auto f = mismatch(want, true)) {
      return Difference{i, got.fields[*f].first, got.fields[*f].second, want.fields[*f].second, masked};
    }
  }

  const std::size_t end = sequence.size();
  // The registry: keys in enumeration order, values too, but under Wine
  // (ValuesEnumerateInCreationOrder: it sorts them) as a set.
  for (std::size_t k = 0; k < std::max(real.registry.size(), emulated.registry.size()); ++k) {
    if (k >= real.registry.size() || k >= emulated.registry.size() ||
        real.registry[k].path != emulated.registry[k].path) {
      const auto path = [k](const Outcome& o) { return k < o.registry.size() ? o.registry[k].path : "(none)"; };
      return Difference{end, "registry key", Hex(path(real)), Hex(path(emulated)), masked};
    }
    std::vector<std::string> got = real.registry[k].values;
    std::vector<std::string> want = emulated.registry[k].values;
    if (got == want) continue;
    if (wine) {
      std::sort(got.begin(), got.end());
      std::sort(want.begin(), want.end());
      if (got == want) {
        ++departures["ValuesEnumerateInCreationOrder"];
        continue;
      }
    }
    const auto join = [](const std::vector<std::string>& values) {
      std::string all;
      for (const std::string& v : values) all += v + "; ";
      return all;
    };
    return Difference{end, "registry values of " + real.registry[k].path, join(real.registry[k].values),
                      join(emulated.registry[k].values), masked};
  }

  if (real.folders != emulated.folders) {
    const auto join = [](const std::vector<std::string>& names) {
      std::string all;
      for (const std::string& n : names) all += n + "; ";
      return all;
    };
    return Difference{end, "folders", join(real.folders), join(emulated.folders), masked};
  }
  // Files by the file they are on Windows; the spelling of each name is
  // compared too.
  using Spelled = std::map<std::string, std::pair<std::string, const std::string*>>;
  const auto by_file = [](const Outcome& o) {
    Spelled files;
    for (const auto& [name, bytes] : o.files) files[Canonical(name)] = {name, &bytes};
    return files;
  };
  const Spelled got_files = by_file(real);
  const Spelled want_files = by_file(emulated);
  const Spelled ref_files = shadow ? by_file(*shadow) : Spelled{};
  std::vector<std::string> names;
  for (const Spelled* files : {&got_files, &want_files}) {
    for (const auto& [name, file] : *files) {
      if (!Contains(names, name)) names.push_back(name);
    }
  }
  for (const std::string& name : names) {
    const auto got = got_files.find(name);
    const auto want = want_files.find(name);
    const bool marked_file = Contains(marked, name);
    const Spelled& reference = marked_file ? ref_files : want_files;
    const auto ref = reference.find(name);
    const auto text = [](const Spelled& files, Spelled::const_iterator it) {
      return it == files.end() ? std::string("(none)") : it->second.first + ": " + Hex(*it->second.second);
    };
    if (text(got_files, got) == text(want_files, want)) continue;
    if (wine && Contains(written, name)) {
      // WritesKeepEveryByteTheyDoNotChange: a delete from a missing file
      // leaves Windows an empty file and Wine none, so a later write makes
      // the file in the spelling it names.
      if (ref != reference.end() && (got == got_files.end() || got->second.first != ref->second.first) &&
          FirstWriteDeletesFromNothing(sequence, real, name)) {
        if (got == got_files.end() && ref->second.second->empty()) {
          ++departures["WritesKeepEveryByteTheyDoNotChange"];
          continue;
        }
      } else if (got != got_files.end() && ref != reference.end() && got->second.first != ref->second.first) {
        return Difference{end, "file name " + name, got->second.first, ref->second.first, masked};
      }
      if (got != got_files.end() && ref != reference.end()) {
        // Compared as Wine reads them, since Wine writes the file from what
        // it parsed.
        const std::string& bytes = *ref->second.second;
        const std::string as_read = marked_file ? std::string(kUtf8Mark) + code_page::ToUtf8(bytes) : bytes;
        if (AsWineKeepsIt(as_read) == AsWineKeepsIt(*got->second.second)) {
          ++departures[marked_file ? "AUtf8ByteOrderMarkHidesTheFirstSection" : "WritesKeepEveryByteTheyDoNotChange"];
          continue;
        }
      }
    }
    return Difference{end, "file " + name, text(got_files, got), text(want_files, want), masked};
  }
  return std::nullopt;
}

}  // namespace qvi::fuzz
