#include "scenario/expect.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "emu/ini_document.h"
#include "emu/reg_text.h"
#include "runtime/code_page.h"
#include "scenario/report.h"
#include "scenario/scenario.h"

namespace qvi::scenario {

namespace {

using json = nlohmann::json;

std::string Path(const std::string& base, std::size_t i) { return base + "[" + std::to_string(i) + "]"; }

// The machine's bytes of a UTF-8 text of the file; validation has made sure
// the code page holds it.
std::string Machine(const json& text) {
  std::string bytes;
  code_page::FromUtf8(text.get<std::string>(), bytes);
  return bytes;
}

std::string Shown(const std::string& machine_text) { return "\"" + code_page::ToUtf8(machine_text) + "\""; }

class Validator {
 public:
  explicit Validator(std::string source) : source_(std::move(source)) {}

  [[noreturn]] void Fail(const std::string& path, const std::string& message) const {
    throw ScenarioError(source_ + ": field " + path + ": " + message);
  }
  void Fields(const json& value, const std::string& path, const std::set<std::string>& allowed,
              const std::set<std::string>& required) const {
    if (!value.is_object()) Fail(path, "must be an object");
    for (const auto& [key, unused] : value.items()) {
      if (!allowed.contains(key)) Fail(path + "." + key, "unknown field");
    }
    for (const std::string& key : required) {
      if (!value.contains(key)) Fail(path + "." + key, "is missing");
    }
  }
  void Text(const json& value, const std::string& path) const {
    std::string bytes;
    if (!value.is_string()) Fail(path, "must be a string");
    if (!code_page::FromUtf8(value.get<std::string>(), bytes)) Fail(path, "holds a character that code page 1252 cannot hold");
  }
  void Texts(const json& value, const std::string& path) const {
    if (!value.is_array()) Fail(path, "must be an array of strings");
    for (std::size_t i = 0; i < value.size(); ++i) Text(value[i], Path(path, i));
  }
  void Bool(const json& value, const std::string& path) const {
    if (!value.is_boolean()) Fail(path, "must be true or false");
  }
  void Array(const json& value, const std::string& path) const {
    if (!value.is_array()) Fail(path, "must be an array");
  }

 private:
  std::string source_;
};

std::string DescribeValue(const emu::RegistryValue& value) {
  return RegistryTypeName(value.type) + " " + Shown(RegistryDataText(value)) + " (" +
         std::to_string(value.data.size()) + " bytes)";
}

std::string DescribeEvent(const rhost::EventOutcome& e) {
  std::string text = std::string(EventName(e.event));
  if (!e.argument.empty()) text += "(" + code_page::ToUtf8(e.argument) + ")";
  return text + " " + (e.failed ? "failed " + e.reason : "completed");
}

std::string DescribeEvent(const json& e) {
  std::string text = e["event"].get<std::string>();
  if (e.contains("argument")) text += "(" + e["argument"].get<std::string>() + ")";
  text += " " + e["outcome"].get<std::string>();
  if (e.contains("reason")) text += " " + e["reason"].get<std::string>();
  return text;
}

std::vector<std::string> Utf8(const std::vector<std::string>& machine_texts) {
  std::vector<std::string> out;
  for (const std::string& text : machine_texts) out.push_back(code_page::ToUtf8(text));
  return out;
}

// Folded text, for names Windows compares without regard to letter case.
using NoCaseSet = std::unordered_set<std::string, code_page::NoCaseHash, code_page::NoCaseEqual>;
template <typename T>
using NoCaseMap = std::unordered_map<std::string, T, code_page::NoCaseHash, code_page::NoCaseEqual>;

std::string ValueId(const std::string& key, const std::string& name) { return key + '\n' + name; }

// Whether `path` is `parent` or below it ("C:\" holds "C:\WINNT").
bool Below(const std::string& path, std::string parent) {
  while (!parent.empty() && parent.back() == '\\') parent.pop_back();
  return code_page::StartsWithNoCase(path, parent) && (path.size() == parent.size() || path[parent.size()] == '\\');
}

// The keys the run kept, and their values, indexed once: checking many
// expectations costs one lookup each.
class KeptRegistry {
 public:
  explicit KeptRegistry(const std::vector<emu::RegistryKey>& keys) {
    for (const emu::RegistryKey& key : keys) {
      Key& kept = keys_.try_emplace(key.path).first->second;
      kept.key = &key;
      for (const emu::RegistryValue& value : key.values) kept.values[value.name] = &value;
    }
  }
  bool HasKey(const std::string& path) const { return keys_.contains(path); }
  const emu::RegistryValue* Value(const std::string& path, const std::string& name) const {
    const auto key = keys_.find(path);
    if (key == keys_.end()) return nullptr;
    const auto value = key->second.values.find(name);
    return value == key->second.values.end() ? nullptr : value->second;
  }

 private:
  struct Key {
    const emu::RegistryKey* key = nullptr;
    NoCaseMap<const emu::RegistryValue*> values;
  };
  NoCaseMap<Key> keys_;
};

// The files as the run left them, each INI file parsed once, when first asked.
class LeftFiles {
 public:
  explicit LeftFiles(const std::map<std::string, std::string>& files) {
    for (const auto& [path, bytes] : files) files_.emplace(path, &bytes);
  }
  bool Has(const std::string& path) const { return files_.contains(path); }
  std::optional<std::string> IniValue(const std::string& file, const std::string& section, const std::string& key) {
    const auto found = files_.find(file);
    if (found == files_.end()) return std::nullopt;
    auto doc = docs_.find(file);
    if (doc == docs_.end()) doc = docs_.emplace(file, emu::IniDocument(*found->second)).first;
    if (const auto value = doc->second.Value(section, key)) return std::string(*value);
    return std::nullopt;
  }

 private:
  NoCaseMap<const std::string*> files_;
  NoCaseMap<emu::IniDocument> docs_;
};

bool IsIniFile(const std::string& path) {
  return path.size() >= 4 && code_page::EqualsNoCase(std::string_view(path).substr(path.size() - 4), ".ini");
}

struct IniChange {
  std::string section;
  std::string key;
  std::optional<std::string> value;  // absent when the entry was removed
};

// The entries a run set, changed or removed in an INI file, in file order.
std::vector<IniChange> IniChanges(const FileChange& file) {
  const emu::IniDocument before(file.before.value_or(""));
  const emu::IniDocument after(file.after.value_or(""));
  std::vector<IniChange> changes;
  for (const std::string& section : after.SectionNames()) {
    for (const std::string& key : after.KeyNames(section)) {
      const auto now = after.Value(section, key);
      const auto was = before.Value(section, key);
      if (!was || *was != *now) changes.push_back({section, key, std::string(*now)});
    }
  }
  for (const std::string& section : before.SectionNames()) {
    for (const std::string& key : before.KeyNames(section)) {
      if (!after.Value(section, key)) changes.push_back({section, key, std::nullopt});
    }
  }
  return changes;
}

// A registry change in the report's .reg notation.
std::string Shown(const RegistryChange& change) {
  const std::string key = code_page::ToUtf8(change.key);
  switch (change.op) {
    case RegistryChange::Op::kCreateKey: return "[" + key + "]";
    case RegistryChange::Op::kDeleteKey: return "[-" + key + "]";
    case RegistryChange::Op::kSetValue: return "[" + key + "] " + code_page::ToUtf8(emu::RegValueText(change.value, " "));
    case RegistryChange::Op::kDeleteValue:
      return "[" + key + "] " + code_page::ToUtf8(emu::RegValueDeletionText(change.value.name));
  }
  return key;
}

constexpr std::size_t kContextLines = 2;
constexpr std::size_t kMaxDiffLines = 10;

// Up to kMaxDiffLines of `items` from `from` to `to`, each marked.
void AddMarked(std::vector<std::string>& diff, const std::vector<std::string>& items, std::size_t from, std::size_t to,
               const char* mark) {
  for (std::size_t i = from; i < to && i < from + kMaxDiffLines; ++i) diff.push_back(mark + items[i]);
  if (to > from + kMaxDiffLines) diff.push_back(std::string(mark) + "... " + std::to_string(to - from - kMaxDiffLines) + " more");
}

// Two lists that should be equal: the index of their first difference, and
// the lines around it.
std::pair<std::size_t, std::vector<std::string>> ListDiff(const std::vector<std::string>& expected,
                                                          const std::vector<std::string>& seen) {
  std::size_t head = 0;
  while (head < expected.size() && head < seen.size() && expected[head] == seen[head]) ++head;
  std::size_t tail = 0;
  while (tail < expected.size() - head && tail < seen.size() - head &&
         expected[expected.size() - 1 - tail] == seen[seen.size() - 1 - tail]) {
    ++tail;
  }
  std::vector<std::string> diff;
  AddMarked(diff, expected, head - std::min(head, kContextLines), head, "  ");
  AddMarked(diff, expected, head, expected.size() - tail, "- ");
  AddMarked(diff, seen, head, seen.size() - tail, "+ ");
  AddMarked(diff, expected, expected.size() - tail, expected.size() - tail + std::min(tail, kContextLines), "  ");
  return {head, diff};
}

// Items, each on a line of its own below the text they follow.
std::string Indented(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out += "\n      " + item;
  return out;
}

// The first part of a path: its registry root or its drive.
std::string TopOf(const std::string& path) { return path.substr(0, path.find('\\')); }

void AddOnce(std::vector<std::string>& items, std::string item) {
  if (std::find(items.begin(), items.end(), item) == items.end()) items.push_back(std::move(item));
}

std::string Count(std::size_t n, const char* noun) { return std::to_string(n) + " " + noun + (n == 1 ? "" : "s"); }

}  // namespace

void ValidateExpectations(const json& expect, const std::string& source) {
  const Validator v(source);
  v.Fields(expect, "expect", {"events", "registry", "files", "ini", "log", "host_calls", "message_boxes"}, {});
  if (expect.contains("events")) {
    v.Array(expect["events"], "expect.events");
    for (std::size_t i = 0; i < expect["events"].size(); ++i) {
      const json& e = expect["events"][i];
      const std::string path = Path("expect.events", i);
      v.Fields(e, path, {"event", "argument", "outcome", "reason"}, {"event", "outcome"});
      for (const char* field : {"event", "argument", "outcome", "reason"}) {
        if (e.contains(field)) v.Text(e[field], path + "." + field);
      }
    }
  }
  if (expect.contains("registry")) {
    v.Array(expect["registry"], "expect.registry");
    for (std::size_t i = 0; i < expect["registry"].size(); ++i) {
      const json& r = expect["registry"][i];
      const std::string path = Path("expect.registry", i);
      if (r.is_object() && r.contains("match")) {
        v.Fields(r, path, {"key", "match"}, {"key"});
        v.Text(r["key"], path + ".key");
        if (r["match"] != "exactly") v.Fail(path + ".match", "must be \"exactly\"");
        continue;
      }
      v.Fields(r, path, {"key", "value", "type", "data", "size", "present"}, {"key"});
      for (const char* field : {"key", "value", "type", "data"}) {
        if (r.contains(field)) v.Text(r[field], path + "." + field);
      }
      if (r.contains("present")) v.Bool(r["present"], path + ".present");
      if (r.contains("size") && !r["size"].is_number_unsigned()) v.Fail(path + ".size", "must be a byte count");
      const bool absent = r.contains("present") && !r["present"].get<bool>();
      const bool value_fields = r.contains("type") || r.contains("data") || r.contains("size");
      if (value_fields && (absent || !r.contains("value"))) v.Fail(path, "type, data and size describe a value");
      if (!absent && r.contains("value") && !(r.contains("type") && r.contains("data"))) {
        v.Fail(path, "a value expected present needs its type and data");
      }
    }
  }
  if (expect.contains("files")) {
    v.Array(expect["files"], "expect.files");
    for (std::size_t i = 0; i < expect["files"].size(); ++i) {
      const json& f = expect["files"][i];
      const std::string path = Path("expect.files", i);
      if (f.is_object() && f.contains("folder")) {
        v.Fields(f, path, {"folder", "match"}, {"folder", "match"});
        v.Text(f["folder"], path + ".folder");
        if (f["match"] != "exactly") v.Fail(path + ".match", "must be \"exactly\"");
      } else {
        v.Fields(f, path, {"file", "present"}, {"file", "present"});
        v.Text(f["file"], path + ".file");
        v.Bool(f["present"], path + ".present");
      }
    }
  }
  if (expect.contains("ini")) {
    v.Array(expect["ini"], "expect.ini");
    for (std::size_t i = 0; i < expect["ini"].size(); ++i) {
      const json& e = expect["ini"][i];
      const std::string path = Path("expect.ini", i);
      v.Fields(e, path, {"file", "section", "key", "value", "present"}, {"file", "section", "key"});
      for (const char* field : {"file", "section", "key", "value"}) {
        if (e.contains(field)) v.Text(e[field], path + "." + field);
      }
      if (e.contains("present")) v.Bool(e["present"], path + ".present");
      if (e.contains("value") == (e.contains("present") && !e["present"].get<bool>())) {
        v.Fail(path, "give the value, or \"present\": false");
      }
    }
  }
  for (const auto& [name, list, modes] : {std::tuple<const char*, const char*, std::set<std::string>>{
                                               "log", "lines", {"exactly", "contains"}},
                                           {"host_calls", "calls", {"exactly", "subsequence"}}}) {
    if (!expect.contains(name)) continue;
    const std::string path = std::string("expect.") + name;
    v.Fields(expect[name], path, {"match", list}, {"match", list});
    if (!expect[name]["match"].is_string() || !modes.contains(expect[name]["match"].get<std::string>())) {
      v.Fail(path + ".match", "must be \"" + *modes.begin() + "\" or \"" + *modes.rbegin() + "\"");
    }
    v.Texts(expect[name][list], path + "." + list);
  }
  if (expect.contains("message_boxes")) {
    v.Array(expect["message_boxes"], "expect.message_boxes");
    for (std::size_t i = 0; i < expect["message_boxes"].size(); ++i) {
      const std::string path = Path("expect.message_boxes", i);
      v.Fields(expect["message_boxes"][i], path, {"caption", "text"}, {"caption", "text"});
      v.Text(expect["message_boxes"][i]["caption"], path + ".caption");
      v.Text(expect["message_boxes"][i]["text"], path + ".text");
    }
  }
}

std::vector<std::string> ExpectedRegistryKeys(const json& expect) {
  std::vector<std::string> keys;
  if (expect.is_object() && expect.contains("registry")) {
    for (const json& r : expect["registry"]) {
      if (!r.contains("match")) keys.push_back(Machine(r["key"]));
    }
  }
  return keys;
}

ExpectationResults CheckExpectations(const json& expect, const RunResult& run) {
  ExpectationResults results;
  const auto check = [&](bool met, std::string where, std::string expected, std::string seen) {
    ++results.checked;
    if (!met) results.unmet.push_back({std::move(where), std::move(expected), std::move(seen), {}});
  };
  // A list expected whole: on a difference, where it starts and the lines around it.
  const auto check_list = [&](std::string where, const std::vector<std::string>& expected,
                              const std::vector<std::string>& seen, const char* noun) {
    ++results.checked;
    if (expected == seen) return;
    auto [first, diff] = ListDiff(expected, seen);
    results.unmet.push_back({std::move(where), Count(expected.size(), noun),
                             Count(seen.size(), noun) + ", the first difference at index " + std::to_string(first),
                             std::move(diff)});
  };

  if (expect.contains("events")) {
    std::vector<std::string> expected;
    std::vector<std::string> seen;
    for (const json& e : expect["events"]) expected.push_back(DescribeEvent(e));
    for (const rhost::EventOutcome& e : run.events) seen.push_back(DescribeEvent(e));
    check_list("expect.events", expected, seen, "event");
  }
  if (expect.contains("registry")) {
    const KeptRegistry kept(run.registry_after);
    NoCaseSet named;  // keys and values (ValueId) the entries name
    NoCaseSet named_absent;  // keys expected absent, whose subkeys go with them
    std::vector<std::size_t> exact;
    for (std::size_t i = 0; i < expect["registry"].size(); ++i) {
      const json& r = expect["registry"][i];
      const std::string key_path = Machine(r["key"]);
      const std::string where = Path("expect.registry", i);
      if (r.contains("match")) {
        exact.push_back(i);
        continue;
      }
      const bool present = r.value("present", true);
      named.insert(key_path);
      if (!r.contains("value")) {
        if (!present) named_absent.insert(key_path);
        const bool has = kept.HasKey(key_path);
        check(has == present, where, r["key"].get<std::string>() + (present ? " present" : " absent"),
              has ? "present" : "absent");
        continue;
      }
      const std::string name = Machine(r["value"]);
      named.insert(ValueId(key_path, name));
      const emu::RegistryValue* value = kept.Value(key_path, name);
      const std::string what = r["key"].get<std::string>() + " " + Shown(name) + " ";
      const std::string seen = value ? DescribeValue(*value) : kept.HasKey(key_path) ? "no such value" : "no such key";
      if (!present) {
        check(value == nullptr, where, what + "absent", seen);
        continue;
      }
      std::string expected = r["type"].get<std::string>() + " \"" + r["data"].get<std::string>() + "\"";
      bool met = value != nullptr && RegistryTypeName(value->type) == Machine(r["type"]) &&
                 RegistryDataText(*value) == Machine(r["data"]);
      if (r.contains("size")) {
        expected += " (" + std::to_string(r["size"].get<std::size_t>()) + " bytes)";
        met = met && value->data.size() == r["size"].get<std::size_t>();
      }
      check(met, where, what + expected, seen);
    }
    const auto listed = [&](const RegistryChange& change) {
      switch (change.op) {
        case RegistryChange::Op::kCreateKey: return named.contains(change.key);
        case RegistryChange::Op::kSetValue:
        case RegistryChange::Op::kDeleteValue: return named.contains(ValueId(change.key, change.value.name));
        case RegistryChange::Op::kDeleteKey:
          for (std::string key = change.key;; key.resize(key.rfind('\\'))) {
            if (key == change.key ? named.contains(key) : named_absent.contains(key)) return true;
            if (key.find('\\') == std::string::npos) return false;
          }
      }
      return false;
    };
    for (const std::size_t i : exact) {
      const std::string parent = Machine(expect["registry"][i]["key"]);
      std::vector<std::string> extra;
      for (const RegistryChange& change : run.registry_changes) {
        if (Below(change.key, parent) && !listed(change)) extra.push_back(Shown(change));
      }
      check(extra.empty(), Path("expect.registry", i),
            "exactly: nothing under " + expect["registry"][i]["key"].get<std::string>() + " changed but what is listed",
            Count(extra.size(), "change") + " not listed:" + Indented(extra));
    }
  }
  LeftFiles left(run.files_after);
  if (expect.contains("files")) {
    NoCaseSet named;
    std::vector<std::size_t> exact;
    for (std::size_t i = 0; i < expect["files"].size(); ++i) {
      const json& f = expect["files"][i];
      if (f.contains("folder")) {
        exact.push_back(i);
        continue;
      }
      const std::string file = Machine(f["file"]);
      named.insert(file);
      const bool present = f["present"].get<bool>();
      check(left.Has(file) == present, Path("expect.files", i), f["file"].get<std::string>() + (present ? " present" : " absent"),
            left.Has(file) ? "present" : "absent");
    }
    NoCaseSet ini_named;  // ValueId(file, ValueId(section, key))
    if (expect.contains("ini")) {
      for (const json& e : expect["ini"]) {
        ini_named.insert(ValueId(Machine(e["file"]), ValueId(Machine(e["section"]), Machine(e["key"]))));
      }
    }
    for (const std::size_t i : exact) {
      const std::string folder = Machine(expect["files"][i]["folder"]);
      std::vector<std::string> extra;
      for (const FileChange& file : run.files) {
        if (!Below(file.path, folder)) continue;
        const std::string shown = code_page::ToUtf8(file.path);
        if (!named.contains(file.path)) {
          extra.push_back(shown + (!file.before ? " (created)" : !file.after ? " (removed)" : " (changed)"));
        }
        if (!IsIniFile(file.path)) continue;
        for (const IniChange& change : IniChanges(file)) {
          if (ini_named.contains(ValueId(file.path, ValueId(change.section, change.key)))) continue;
          extra.push_back(shown + " [" + code_page::ToUtf8(change.section) + "] " + code_page::ToUtf8(change.key) +
                          (change.value ? "=" + code_page::ToUtf8(*change.value) : " removed"));
        }
      }
      check(extra.empty(), Path("expect.files", i),
            "exactly: nothing under " + expect["files"][i]["folder"].get<std::string>() + " changed but what is listed",
            Count(extra.size(), "change") + " not listed:" + Indented(extra));
    }
  }
  if (expect.contains("ini")) {
    for (std::size_t i = 0; i < expect["ini"].size(); ++i) {
      const json& e = expect["ini"][i];
      const auto value = left.IniValue(Machine(e["file"]), Machine(e["section"]), Machine(e["key"]));
      const std::string what = e["file"].get<std::string>() + " [" + e["section"].get<std::string>() + "] " +
                               e["key"].get<std::string>() + " ";
      const std::string seen = value ? Shown(*value) : "absent";
      if (e.contains("value")) {
        check(value == Machine(e["value"]), Path("expect.ini", i), what + "\"" + e["value"].get<std::string>() + "\"",
              seen);
      } else {
        check(!value, Path("expect.ini", i), what + "absent", seen);
      }
    }
  }
  for (const char* name : {"log", "host_calls"}) {
    if (!expect.contains(name)) continue;
    const bool log = std::string(name) == "log";
    const char* noun = log ? "line" : "call";
    std::vector<std::string> expected = expect[name][log ? "lines" : "calls"].get<std::vector<std::string>>();
    std::vector<std::string> seen;
    if (log) {
      seen = Utf8(run.log);
    } else {
      for (const rhost::HostCall& call : run.host_calls) seen.push_back(code_page::ToUtf8(DescribeCall(call)));
    }
    const std::string match = expect[name]["match"];
    const std::string where = std::string("expect.") + name;
    if (match == "exactly") {
      check_list(where, expected, seen, noun);
      continue;
    }
    // In order for a subsequence, anywhere otherwise: the first line not found.
    auto at = seen.begin();
    std::size_t missing = 0;
    for (; missing < expected.size(); ++missing) {
      at = std::find(match == "subsequence" ? at : seen.begin(), seen.end(), expected[missing]);
      if (at == seen.end()) break;
      ++at;
    }
    ++results.checked;
    if (missing == expected.size()) continue;
    results.unmet.push_back({where, match + ": " + Count(expected.size(), noun),
                             Count(seen.size(), noun) + ", " + std::string(log ? "lines" : "calls") + "[" +
                                 std::to_string(missing) + "] not found" + (match == "subsequence" ? " in order" : ""),
                             {"- " + expected[missing]}});
  }
  if (expect.contains("message_boxes")) {
    std::vector<std::string> expected;
    std::vector<std::string> seen;
    for (const json& box : expect["message_boxes"]) {
      expected.push_back("[" + box["caption"].get<std::string>() + "] " + box["text"].get<std::string>());
    }
    for (const emu::MessageBoxRecord& box : run.message_boxes) {
      seen.push_back("[" + code_page::ToUtf8(box.caption) + "] " + code_page::ToUtf8(box.text));
    }
    check_list("expect.message_boxes", expected, seen, "message box");
  }
  return results;
}

std::string FormatUnmet(const UnmetExpectation& unmet, const std::string& indent) {
  std::string out = indent + unmet.where + "\n" + indent + "  expected: " + unmet.expected + "\n" + indent +
                    "  seen:     " + unmet.seen + "\n";
  for (const std::string& line : unmet.diff) out += indent + "    " + line + "\n";
  return out;
}

nlohmann::ordered_json ObservedExpectations(const RunResult& run) {
  using ojson = nlohmann::ordered_json;
  ojson expect;
  expect["events"] = ojson::array();
  for (const rhost::EventOutcome& e : run.events) {
    ojson event = {{"event", EventName(e.event)}};
    if (!e.argument.empty()) event["argument"] = code_page::ToUtf8(e.argument);
    event["outcome"] = e.failed ? "failed" : "completed";
    if (e.failed) event["reason"] = code_page::ToUtf8(e.reason);
    expect["events"].push_back(std::move(event));
  }
  // Held exactly from the top: each root key and drive the run changed.
  std::vector<std::string> roots;
  for (const RegistryChange& change : run.registry_changes) AddOnce(roots, TopOf(change.key));
  std::vector<std::string> drives;
  for (const FileChange& file : run.files) AddOnce(drives, TopOf(file.path) + "\\");
  expect["registry"] = ojson::array();
  for (const std::string& root : roots) {
    expect["registry"].push_back({{"key", code_page::ToUtf8(root)}, {"match", "exactly"}});
  }
  for (const RegistryChange& change : run.registry_changes) {
    ojson entry = {{"key", code_page::ToUtf8(change.key)}};
    switch (change.op) {
      case RegistryChange::Op::kCreateKey: entry["present"] = true; break;
      case RegistryChange::Op::kDeleteKey: entry["present"] = false; break;
      case RegistryChange::Op::kSetValue:
        entry["value"] = code_page::ToUtf8(change.value.name);
        entry["type"] = RegistryTypeName(change.value.type);
        entry["data"] = code_page::ToUtf8(RegistryDataText(change.value));
        entry["size"] = change.value.data.size();
        break;
      case RegistryChange::Op::kDeleteValue:
        entry["value"] = code_page::ToUtf8(change.value.name);
        entry["present"] = false;
        break;
    }
    expect["registry"].push_back(std::move(entry));
  }
  expect["files"] = ojson::array();
  for (const std::string& drive : drives) {
    expect["files"].push_back({{"folder", code_page::ToUtf8(drive)}, {"match", "exactly"}});
  }
  for (const FileChange& file : run.files) {
    expect["files"].push_back({{"file", code_page::ToUtf8(file.path)}, {"present", file.after.has_value()}});
  }
  expect["ini"] = ojson::array();
  for (const FileChange& file : run.files) {
    if (!IsIniFile(file.path)) continue;
    for (const IniChange& change : IniChanges(file)) {
      ojson entry = {{"file", code_page::ToUtf8(file.path)}, {"section", code_page::ToUtf8(change.section)},
                     {"key", code_page::ToUtf8(change.key)}};
      if (change.value) {
        entry["value"] = code_page::ToUtf8(*change.value);
      } else {
        entry["present"] = false;
      }
      expect["ini"].push_back(std::move(entry));
    }
  }
  expect["log"] = {{"match", "exactly"}, {"lines", Utf8(run.log)}};
  std::vector<std::string> calls;
  for (const rhost::HostCall& call : run.host_calls) calls.push_back(code_page::ToUtf8(DescribeCall(call)));
  expect["host_calls"] = {{"match", "exactly"}, {"calls", calls}};
  expect["message_boxes"] = ojson::array();
  for (const emu::MessageBoxRecord& box : run.message_boxes) {
    expect["message_boxes"].push_back({{"caption", code_page::ToUtf8(box.caption)}, {"text", code_page::ToUtf8(box.text)}});
  }
  return expect;
}

}  // namespace qvi::scenario
