#include "scenario/expect.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include "emu/ini_document.h"
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

const emu::RegistryKey* FindKey(const RunResult& run, const std::string& path) {
  for (const emu::RegistryKey& key : run.registry_after) {
    if (code_page::EqualsNoCase(key.path, path)) return &key;
  }
  return nullptr;
}

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

std::string Listed(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out += "\n      " + item;
  return out.empty() ? " (none)" : out;
}

std::optional<std::string> IniValue(const RunResult& run, const std::string& file, const std::string& section,
                                    const std::string& key) {
  for (const auto& [path, bytes] : run.files_after) {
    if (!code_page::EqualsNoCase(path, file)) continue;
    const emu::IniDocument doc(bytes);
    if (const auto value = doc.Value(section, key)) return std::string(*value);
    return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

void ValidateExpectations(const json& expect, const std::string& source) {
  const Validator v(source);
  v.Fields(expect, "expect", {"events", "registry", "ini", "log", "host_calls", "message_boxes"}, {});
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
    for (const json& r : expect["registry"]) keys.push_back(Machine(r["key"]));
  }
  return keys;
}

ExpectationResults CheckExpectations(const json& expect, const RunResult& run) {
  ExpectationResults results;
  const auto check = [&](bool met, std::string where, std::string expected, std::string seen) {
    ++results.checked;
    if (!met) results.unmet.push_back({std::move(where), std::move(expected), std::move(seen)});
  };

  if (expect.contains("events")) {
    std::vector<std::string> expected;
    std::vector<std::string> seen;
    for (const json& e : expect["events"]) expected.push_back(DescribeEvent(e));
    for (const rhost::EventOutcome& e : run.events) seen.push_back(DescribeEvent(e));
    check(expected == seen, "expect.events", Listed(expected), Listed(seen));
  }
  if (expect.contains("registry")) {
    for (std::size_t i = 0; i < expect["registry"].size(); ++i) {
      const json& r = expect["registry"][i];
      const std::string key_path = Machine(r["key"]);
      const bool present = r.value("present", true);
      const emu::RegistryKey* key = FindKey(run, key_path);
      const std::string where = Path("expect.registry", i);
      if (!r.contains("value")) {
        check((key != nullptr) == present, where, r["key"].get<std::string>() + (present ? " present" : " absent"),
              key ? "present" : "absent");
        continue;
      }
      const std::string name = Machine(r["value"]);
      const emu::RegistryValue* value = nullptr;
      if (key) {
        for (const emu::RegistryValue& v : key->values) {
          if (code_page::EqualsNoCase(v.name, name)) value = &v;
        }
      }
      const std::string what = r["key"].get<std::string>() + " " + Shown(name) + " ";
      const std::string seen = value ? DescribeValue(*value) : key ? "no such value" : "no such key";
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
  }
  if (expect.contains("ini")) {
    for (std::size_t i = 0; i < expect["ini"].size(); ++i) {
      const json& e = expect["ini"][i];
      const auto value = IniValue(run, Machine(e["file"]), Machine(e["section"]), Machine(e["key"]));
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
    std::vector<std::string> expected = expect[name][log ? "lines" : "calls"].get<std::vector<std::string>>();
    std::vector<std::string> seen;
    if (log) {
      seen = Utf8(run.log);
    } else {
      for (const rhost::HostCall& call : run.host_calls) seen.push_back(code_page::ToUtf8(DescribeCall(call)));
    }
    const std::string match = expect[name]["match"];
    bool met = false;
    if (match == "exactly") {
      met = expected == seen;
    } else if (match == "subsequence") {
      auto at = seen.begin();
      met = std::all_of(expected.begin(), expected.end(), [&](const std::string& line) {
        at = std::find(at, seen.end(), line);
        return at++ != seen.end();
      });
    } else {
      met = std::all_of(expected.begin(), expected.end(), [&](const std::string& line) {
        return std::find(seen.begin(), seen.end(), line) != seen.end();
      });
    }
    check(met, std::string("expect.") + name, match + ":" + Listed(expected), Listed(seen));
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
    check(expected == seen, "expect.message_boxes", Listed(expected), Listed(seen));
  }
  return results;
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
  expect["registry"] = ojson::array();
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
  expect["ini"] = ojson::array();
  for (const FileChange& file : run.files) {
    if (!code_page::EqualsNoCase(file.path.substr(file.path.size() >= 4 ? file.path.size() - 4 : 0), ".ini")) continue;
    const emu::IniDocument before(file.before.value_or(""));
    const emu::IniDocument after(file.after.value_or(""));
    const auto add = [&](const std::string& section, const std::string& key, const std::optional<std::string>& value) {
      ojson entry = {{"file", code_page::ToUtf8(file.path)}, {"section", code_page::ToUtf8(section)},
                     {"key", code_page::ToUtf8(key)}};
      if (value) {
        entry["value"] = code_page::ToUtf8(*value);
      } else {
        entry["present"] = false;
      }
      expect["ini"].push_back(std::move(entry));
    };
    for (const std::string& section : after.SectionNames()) {
      for (const std::string& key : after.KeyNames(section)) {
        const auto now = after.Value(section, key);
        const auto was = before.Value(section, key);
        if (!was || *was != *now) add(section, key, std::string(*now));
      }
    }
    for (const std::string& section : before.SectionNames()) {
      for (const std::string& key : before.KeyNames(section)) {
        if (!after.Value(section, key)) add(section, key, std::nullopt);
      }
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
