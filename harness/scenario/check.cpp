#include "scenario/check.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "emu/ini_document.h"
#include "emu/reg_text.h"
#include "runtime/code_page.h"
#include "scenario/report.h"
#include "scenario/sha256.h"

namespace qvi::scenario {

namespace {

std::string Path(const std::string& base, std::size_t i) { return base + "[" + std::to_string(i) + "]"; }

// The machine's bytes of a UTF-8 text of the file; validation has made sure
// the code page holds it.
std::string Machine(const std::string& text) {
  std::string bytes;
  code_page::FromUtf8(text, bytes);
  return bytes;
}

std::string Shown(const std::string& machine_text) { return "\"" + code_page::ToUtf8(machine_text) + "\""; }

std::string DescribeValue(const emu::RegistryValue& value) {
  return RegistryTypeName(value.type) + " " + Shown(RegistryDataText(value)) + " (" +
         std::to_string(value.data.size()) + " bytes)";
}

std::string DescribeEvent(const rhost::EventOutcome& e) {
  std::string text = std::string(EventName(e.event));
  if (!e.argument.empty()) text += "(" + code_page::ToUtf8(e.argument) + ")";
  return text + " " + (e.failed ? "failed " + e.reason : "completed");
}

std::string DescribeEvent(const ExpectedEvent& e) {
  std::string text = e.event;
  if (e.argument) text += "(" + *e.argument + ")";
  text += " " + e.outcome;
  if (e.reason) text += " " + *e.reason;
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
  // The file's snapshot entry (SnapshotHoldsBytes), or null.
  const std::string* Bytes(const std::string& path) const {
    const auto found = files_.find(path);
    return found == files_.end() ? nullptr : found->second;
  }
  std::optional<std::string> IniValue(const std::string& file, const std::string& section,
                                      const std::string& key) const {
    const auto found = files_.find(file);
    if (found == files_.end()) return std::nullopt;
    auto doc = docs_.find(file);
    if (doc == docs_.end()) doc = docs_.emplace(file, emu::IniDocument(*found->second)).first;
    if (const auto value = doc->second.Value(section, key)) return std::string(*value);
    return std::nullopt;
  }

 private:
  NoCaseMap<const std::string*> files_;
  mutable NoCaseMap<emu::IniDocument> docs_;
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
    case RegistryChange::Op::kSetValue:
    case RegistryChange::Op::kChangeValue:
      return "[" + key + "] " + code_page::ToUtf8(emu::RegValueText(change.value, " "));
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

// What a machine check looks at: the changes and the state they ended in.
struct MachineView {
  const std::vector<RegistryChange>& changes;
  const std::vector<emu::RegistryKey>& keys_after;
  const std::vector<FileChange>& files;
  const std::map<std::string, std::string>& files_after;
};

// Checks of one group, counted and collected under the field path `base`
// ("expect", "steps[1].expect", "expect.left_behind").
class Checker {
 public:
  explicit Checker(std::string base) : base_(std::move(base)) {}

  std::string Where(const std::string& field) const { return base_ + "." + field; }
  std::string Where(const std::string& field, std::size_t i) const { return Path(Where(field), i); }

  void Check(bool met, std::string where, std::string expected, std::string seen) {
    ++results_.checked;
    if (!met) results_.unmet.push_back({std::move(where), std::move(expected), std::move(seen), {}});
  }
  // A list expected whole: on a difference, where it starts and the lines around it.
  void CheckList(std::string where, const std::vector<std::string>& expected, const std::vector<std::string>& seen,
                 const char* noun) {
    ++results_.checked;
    if (expected == seen) return;
    auto [first, diff] = ListDiff(expected, seen);
    results_.unmet.push_back({std::move(where), Count(expected.size(), noun),
                              Count(seen.size(), noun) + ", the first difference at index " + std::to_string(first),
                              std::move(diff)});
  }
  void Unmet(UnmetExpectation unmet) {
    ++results_.checked;
    results_.unmet.push_back(std::move(unmet));
  }
  ExpectationResults Take() { return std::move(results_); }

 private:
  std::string base_;
  ExpectationResults results_;
};

// Every key and value the entries name, and the keys matched "any".
struct NamedRegistry {
  NoCaseSet named;         // keys and values (ValueId) the entries name
  NoCaseSet named_absent;  // keys expected absent, whose subkeys go with them
  std::vector<std::string> any;

  explicit NamedRegistry(const std::vector<ExpectedRegistry>& entries) {
    for (const ExpectedRegistry& r : entries) {
      const std::string key = Machine(r.key);
      if (r.match == Match::kAny) any.push_back(key);
      if (r.match) continue;
      named.insert(key);
      if (!r.value && !r.present) named_absent.insert(key);
      if (r.value) named.insert(ValueId(key, Machine(*r.value)));
    }
  }
  bool Listed(const RegistryChange& change) const {
    for (const std::string& shared : any) {
      if (Below(change.key, shared)) return true;
    }
    switch (change.op) {
      case RegistryChange::Op::kCreateKey: return named.contains(change.key);
      case RegistryChange::Op::kSetValue:
      case RegistryChange::Op::kChangeValue:
      case RegistryChange::Op::kDeleteValue: return named.contains(ValueId(change.key, change.value.name));
      case RegistryChange::Op::kDeleteKey:
        for (std::string key = change.key;; key.resize(key.rfind('\\'))) {
          if (key == change.key ? named.contains(key) : named_absent.contains(key)) return true;
          if (key.find('\\') == std::string::npos) return false;
        }
    }
    return false;
  }
};

// Whether any change touches the value: set, changed or removed, or its key
// (or one above it) removed.
bool Touched(const std::vector<RegistryChange>& changes, const std::string& key, const std::string& name) {
  return std::any_of(changes.begin(), changes.end(), [&](const RegistryChange& change) {
    if (change.op == RegistryChange::Op::kDeleteKey) return Below(key, change.key);
    return change.op != RegistryChange::Op::kCreateKey && code_page::EqualsNoCase(change.key, key) &&
           code_page::EqualsNoCase(change.value.name, name);
  });
}

void CheckRegistryEntry(Checker& c, const std::string& where, const ExpectedRegistry& r, const KeptRegistry& kept,
                        const MachineView& view) {
  const std::string key_path = Machine(r.key);
  if (!r.value) {
    const bool has = kept.HasKey(key_path);
    c.Check(has == r.present, where, r.key + (r.present ? " present" : " absent"), has ? "present" : "absent");
    return;
  }
  const std::string name = Machine(*r.value);
  const emu::RegistryValue* value = kept.Value(key_path, name);
  const std::string what = r.key + " " + Shown(name) + " ";
  const std::string seen = value ? DescribeValue(*value) : kept.HasKey(key_path) ? "no such value" : "no such key";
  if (r.unchanged) {
    const bool touched = Touched(view.changes, key_path, name);
    c.Check(!touched, where, what + "unchanged", touched ? (value ? "changed to " + seen : seen) : "unchanged");
  } else if (!r.present) {
    c.Check(value == nullptr, where, what + "absent", seen);
  } else {
    std::string expected = r.type + " \"" + r.data + "\"";
    bool met = value != nullptr && RegistryTypeName(value->type) == Machine(r.type) &&
               RegistryDataText(*value) == Machine(r.data);
    if (r.size) {
      expected += " (" + std::to_string(*r.size) + " bytes)";
      met = met && value->data.size() == *r.size;
    }
    c.Check(met, where, what + expected, seen);
  }
}

ExpectationResults CheckRegistry(const std::vector<ExpectedRegistry>& entries, const MachineView& view,
                                 const std::string& base) {
  Checker c(base);
  const KeptRegistry kept(view.keys_after);
  const NamedRegistry named(entries);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const ExpectedRegistry& r = entries[i];
    if (r.match == Match::kAny) continue;
    if (!r.match) {
      CheckRegistryEntry(c, c.Where("registry", i), r, kept, view);
      continue;
    }
    const std::string parent = Machine(r.key);
    std::vector<std::string> extra;
    for (const RegistryChange& change : view.changes) {
      if (Below(change.key, parent) && !named.Listed(change)) extra.push_back(Shown(change));
    }
    c.Check(extra.empty(), c.Where("registry", i), "exactly: nothing under " + r.key + " changed but what is listed",
            Count(extra.size(), "change") + " not listed:" + Indented(extra));
  }
  return c.Take();
}

// What changed in a file that no entry names: the file itself, and for an
// INI file each entry changed.
void UnlistedInFile(const FileChange& file, const NoCaseSet& named, const NoCaseSet& ini_named,
                    std::vector<std::string>& extra) {
  const std::string shown = code_page::ToUtf8(file.path);
  if (!named.contains(file.path)) {
    extra.push_back(shown + (!file.before ? " (created)" : !file.after ? " (removed)" : " (changed)"));
  }
  if (!IsIniFile(file.path)) return;
  for (const IniChange& change : IniChanges(file)) {
    if (ini_named.contains(ValueId(file.path, ValueId(change.section, change.key)))) continue;
    extra.push_back(shown + " [" + code_page::ToUtf8(change.section) + "] " + code_page::ToUtf8(change.key) +
                    (change.value ? "=" + code_page::ToUtf8(*change.value) : " removed"));
  }
}

// A file held to its content: a file beyond the snapshot cap was never held
// whole, so its content is not taken on trust.
void CheckContent(Checker& c, const std::string& where, const ExpectedFile& f, const std::string& entry) {
  const std::string expected = f.path + " sha256 " + *f.sha256;
  if (!SnapshotHoldsBytes(entry)) {
    c.Check(false, where, expected, "content not held: " + code_page::ToUtf8(entry));
    return;
  }
  const std::string seen = Sha256Hex(entry);
  c.Check(seen == *f.sha256, where, expected, "sha256 " + seen + " (" + Count(entry.size(), "byte") + ")");
}

ExpectationResults CheckFiles(const MachineExpectations& expect, const MachineView& view, const std::string& base) {
  Checker c(base);
  const std::vector<ExpectedFile>& entries = *expect.files;
  const LeftFiles left(view.files_after);
  NoCaseSet named;
  std::vector<std::string> any;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const ExpectedFile& f = entries[i];
    if (f.match) {
      if (f.match == Match::kAny) any.push_back(Machine(f.path));
      continue;
    }
    const std::string file = Machine(f.path);
    named.insert(file);
    c.Check(left.Has(file) == f.present, c.Where("files", i), f.path + (f.present ? " present" : " absent"),
            left.Has(file) ? "present" : "absent");
    if (f.sha256 && left.Has(file)) CheckContent(c, c.Where("files", i), f, *left.Bytes(file));
  }
  NoCaseSet ini_named;  // ValueId(file, ValueId(section, key))
  for (const ExpectedIni& e : expect.ini.value_or(std::vector<ExpectedIni>{})) {
    ini_named.insert(ValueId(Machine(e.file), ValueId(Machine(e.section), Machine(e.key))));
  }
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].match != Match::kExactly) continue;
    const std::string folder = Machine(entries[i].path);
    std::vector<std::string> extra;
    for (const FileChange& file : view.files) {
      const bool shared = std::any_of(any.begin(), any.end(), [&](const std::string& a) { return Below(file.path, a); });
      if (Below(file.path, folder) && !shared) UnlistedInFile(file, named, ini_named, extra);
    }
    c.Check(extra.empty(), c.Where("files", i),
            "exactly: nothing under " + entries[i].path + " changed but what is listed",
            Count(extra.size(), "change") + " not listed:" + Indented(extra));
  }
  return c.Take();
}

ExpectationResults CheckIni(const std::vector<ExpectedIni>& entries, const MachineView& view, const std::string& base) {
  Checker c(base);
  LeftFiles left(view.files_after);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const ExpectedIni& e = entries[i];
    const auto value = left.IniValue(Machine(e.file), Machine(e.section), Machine(e.key));
    const std::string what = e.file + " [" + e.section + "] " + e.key + " ";
    const std::string seen = value ? Shown(*value) : "absent";
    if (e.value) {
      c.Check(value == Machine(*e.value), c.Where("ini", i), what + "\"" + *e.value + "\"", seen);
    } else {
      c.Check(!value, c.Where("ini", i), what + "absent", seen);
    }
  }
  return c.Take();
}

// Log lines or host calls: exactly, or each expected one found (in order for
// a subsequence, anywhere otherwise); on a miss, the first line not found.
ExpectationResults CheckLines(const ExpectedLines& expect, const std::vector<std::string>& seen, const char* group,
                              const std::string& base) {
  Checker c(base);
  const bool log = std::string(group) == "log";
  const char* noun = log ? "line" : "call";
  if (expect.match == "exactly") {
    c.CheckList(c.Where(group), expect.lines, seen, noun);
    return c.Take();
  }
  const bool in_order = expect.match == "subsequence";
  auto at = seen.begin();
  std::size_t missing = 0;
  for (; missing < expect.lines.size(); ++missing) {
    at = std::find(in_order ? at : seen.begin(), seen.end(), expect.lines[missing]);
    if (at == seen.end()) break;
    ++at;
  }
  if (missing == expect.lines.size()) {
    c.Check(true, "", "", "");
    return c.Take();
  }
  c.Unmet({c.Where(group), expect.match + ": " + Count(expect.lines.size(), noun),
           Count(seen.size(), noun) + ", " + std::string(log ? "lines" : "calls") + "[" + std::to_string(missing) +
               "] not found" + (in_order ? " in order" : ""),
           {"- " + expect.lines[missing]}});
  return c.Take();
}

using GroupCheck = std::function<ExpectationResults()>;

// The groups a section holds, each as a check of its own, in the section's
// order; the machine groups check `view` under `base`.
std::vector<std::pair<std::string, GroupCheck>> MachineGroups(const MachineExpectations& expect,
                                                              const MachineView& view, const std::string& base) {
  std::vector<std::pair<std::string, GroupCheck>> groups;
  if (expect.registry) groups.emplace_back("registry", [&, base] { return CheckRegistry(*expect.registry, view, base); });
  if (expect.files) groups.emplace_back("files", [&, base] { return CheckFiles(expect, view, base); });
  if (expect.ini) groups.emplace_back("ini", [&, base] { return CheckIni(*expect.ini, view, base); });
  return groups;
}

std::vector<std::pair<std::string, GroupCheck>> RunGroups(const Expectations& expect, const RunResult& run,
                                                          const MachineView& view, const std::string& base) {
  std::vector<std::pair<std::string, GroupCheck>> groups;
  if (expect.events) {
    groups.emplace_back("events", [&, base] {
      Checker c(base);
      std::vector<std::string> expected;
      std::vector<std::string> seen;
      for (const ExpectedEvent& e : *expect.events) expected.push_back(DescribeEvent(e));
      for (const rhost::EventOutcome& e : run.events) seen.push_back(DescribeEvent(e));
      c.CheckList(c.Where("events"), expected, seen, "event");
      return c.Take();
    });
  }
  for (auto& group : MachineGroups(expect, view, base)) groups.push_back(std::move(group));
  if (expect.log) groups.emplace_back("log", [&, base] { return CheckLines(*expect.log, Utf8(run.log), "log", base); });
  if (expect.host_calls) {
    groups.emplace_back("host_calls", [&, base] {
      std::vector<std::string> seen;
      for (const rhost::HostCall& call : run.host_calls) seen.push_back(code_page::ToUtf8(DescribeCall(call)));
      return CheckLines(*expect.host_calls, seen, "host_calls", base);
    });
  }
  if (expect.message_boxes) {
    groups.emplace_back("message_boxes", [&, base] {
      Checker c(base);
      std::vector<std::string> expected;
      std::vector<std::string> seen;
      for (const ExpectedMessageBox& box : *expect.message_boxes) expected.push_back("[" + box.caption + "] " + box.text);
      for (const emu::MessageBoxRecord& box : run.message_boxes) {
        seen.push_back("[" + code_page::ToUtf8(box.caption) + "] " + code_page::ToUtf8(box.text));
      }
      c.CheckList(c.Where("message_boxes"), expected, seen, "message box");
      return c.Take();
    });
  }
  return groups;
}

MachineView ViewOf(const RunResult& run) { return {run.registry_changes, run.registry_after, run.files, run.files_after}; }

void TimeGroups(const std::vector<std::pair<std::string, GroupCheck>>& groups, const std::string& prefix,
                std::vector<GroupResults>& out) {
  for (const auto& [name, check] : groups) {
    const auto start = std::chrono::steady_clock::now();
    GroupResults group{prefix + name, 0, check()};
    group.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    out.push_back(std::move(group));
  }
}

MachineExpectations ObservedMachine(const std::vector<RegistryChange>& registry, const std::vector<FileChange>& files);

}  // namespace

void ExpectationResults::Add(ExpectationResults more) {
  checked += more.checked;
  for (UnmetExpectation& u : more.unmet) unmet.push_back(std::move(u));
}

ExpectationResults CheckExpectations(const Expectations& expect, const RunResult& run) {
  ExpectationResults results;
  for (GroupResults& group : CheckGroups(expect, run)) results.Add(std::move(group.results));
  return results;
}

std::vector<GroupResults> CheckGroups(const Expectations& expect, const RunResult& run) {
  const MachineView view = ViewOf(run);
  std::vector<GroupResults> out;
  TimeGroups(RunGroups(expect, run, view, "expect"), "", out);
  return out;
}

std::vector<GroupResults> CheckLifeCycle(const Expectations& expect, const std::vector<Expectations>& steps,
                                         const LifeCycleResult& run) {
  std::vector<GroupResults> out;
  for (std::size_t i = 0; i < steps.size() && i < run.steps.size(); ++i) {
    const std::string base = "steps[" + std::to_string(i) + "].expect";
    const MachineView view = ViewOf(run.steps[i]);
    TimeGroups(RunGroups(steps[i], run.steps[i], view, base), base + ".", out);
  }
  if (expect.left_behind && !run.steps.empty()) {
    const RunResult& last = run.steps.back();
    const MachineView view{run.left_registry, last.registry_after, run.left_files, last.files_after};
    TimeGroups(MachineGroups(*expect.left_behind, view, "expect.left_behind"), "left_behind.", out);
  }
  return out;
}

std::string FormatUnmet(const UnmetExpectation& unmet, const std::string& indent) {
  std::string out = indent + unmet.where + "\n" + indent + "  expected: " + unmet.expected + "\n" + indent +
                    "  seen:     " + unmet.seen + "\n";
  for (const std::string& line : unmet.diff) {
    // A log entry of several lines goes on beneath its text, not at the margin.
    std::string shown;
    for (const char c : line) shown += c == '\n' ? "\n" + indent + "      " : std::string(1, c);
    out += indent + "    " + shown + "\n";
  }
  return out;
}

namespace {

MachineExpectations ObservedMachine(const std::vector<RegistryChange>& registry, const std::vector<FileChange>& files) {
  MachineExpectations expect;
  // Held exactly from the top: each root key and drive the run changed.
  std::vector<std::string> roots;
  for (const RegistryChange& change : registry) AddOnce(roots, TopOf(change.key));
  std::vector<std::string> drives;
  for (const FileChange& file : files) AddOnce(drives, TopOf(file.path) + "\\");
  expect.registry.emplace();
  for (const std::string& root : roots) {
    ExpectedRegistry held;
    held.key = code_page::ToUtf8(root);
    held.match = Match::kExactly;
    expect.registry->push_back(std::move(held));
  }
  for (const RegistryChange& change : registry) {
    ExpectedRegistry entry;
    entry.key = code_page::ToUtf8(change.key);
    if (change.op == RegistryChange::Op::kCreateKey || change.op == RegistryChange::Op::kDeleteKey) {
      entry.present = change.op == RegistryChange::Op::kCreateKey;
    } else {
      entry.value = code_page::ToUtf8(change.value.name);
      entry.present = change.op != RegistryChange::Op::kDeleteValue;
      if (entry.present) {
        entry.type = RegistryTypeName(change.value.type);
        entry.data = code_page::ToUtf8(RegistryDataText(change.value));
        entry.size = change.value.data.size();
      }
    }
    expect.registry->push_back(std::move(entry));
  }
  expect.files.emplace();
  for (const std::string& drive : drives) expect.files->push_back({code_page::ToUtf8(drive), Match::kExactly, true, std::nullopt});
  for (const FileChange& file : files) {
    ExpectedFile entry{code_page::ToUtf8(file.path), std::nullopt, file.after.has_value(), std::nullopt};
    // INI files are held entry by entry below, and a log by its lines.
    if (file.after && !IsIniFile(file.path) && !IsLogFile(file.path) && SnapshotHoldsBytes(*file.after)) {
      entry.sha256 = Sha256Hex(*file.after);
    }
    expect.files->push_back(std::move(entry));
  }
  expect.ini.emplace();
  for (const FileChange& file : files) {
    if (!IsIniFile(file.path)) continue;
    for (const IniChange& change : IniChanges(file)) {
      std::optional<std::string> value;
      if (change.value) value = code_page::ToUtf8(*change.value);
      expect.ini->push_back({code_page::ToUtf8(file.path), code_page::ToUtf8(change.section),
                             code_page::ToUtf8(change.key), value});
    }
  }
  return expect;
}

}  // namespace

Expectations ObservedExpectations(const RunResult& run) {
  Expectations expect;
  expect.events.emplace();
  for (const rhost::EventOutcome& e : run.events) {
    ExpectedEvent event{std::string(EventName(e.event)), std::nullopt, e.failed ? "failed" : "completed", std::nullopt};
    if (!e.argument.empty()) event.argument = code_page::ToUtf8(e.argument);
    if (e.failed) event.reason = code_page::ToUtf8(e.reason);
    expect.events->push_back(std::move(event));
  }
  static_cast<MachineExpectations&>(expect) = ObservedMachine(run.registry_changes, run.files);
  expect.log = ExpectedLines{"exactly", Utf8(run.log)};
  std::vector<std::string> calls;
  for (const rhost::HostCall& call : run.host_calls) calls.push_back(code_page::ToUtf8(DescribeCall(call)));
  expect.host_calls = ExpectedLines{"exactly", std::move(calls)};
  expect.message_boxes.emplace();
  for (const emu::MessageBoxRecord& box : run.message_boxes) {
    expect.message_boxes->push_back({code_page::ToUtf8(box.caption), code_page::ToUtf8(box.text)});
  }
  return expect;
}

MachineExpectations ObservedLeftBehind(const LifeCycleResult& run) {
  return ObservedMachine(run.left_registry, run.left_files);
}

}  // namespace qvi::scenario
