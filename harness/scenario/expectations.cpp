#include "scenario/expectations.h"

#include <algorithm>
#include <set>

#include "runtime/code_page.h"
#include "scenario/suggest.h"

namespace qvi::scenario {

namespace {

using json = nlohmann::json;
using ojson = nlohmann::ordered_json;

[[noreturn]] void Fail(const std::string& path, const std::string& message) { throw ExpectFieldError(path, message); }

void Fields(const json& j, const std::set<std::string>& allowed, const std::set<std::string>& required) {
  if (!j.is_object()) Fail("", "must be an object");
  for (const auto& [key, unused] : j.items()) {
    if (!allowed.contains(key)) Fail("." + key, "unknown field" + DidYouMean(key, allowed));
  }
  for (const std::string& key : required) {
    if (!j.contains(key)) Fail("." + key, "is missing");
  }
}

std::string Text(const json& j, const char* field) {
  const json& value = j.at(field);
  std::string bytes;
  if (!value.is_string()) Fail(std::string(".") + field, "must be a string");
  if (!code_page::FromUtf8(value.get<std::string>(), bytes)) {
    Fail(std::string(".") + field, "holds a character that code page 1252 cannot hold");
  }
  return value.get<std::string>();
}

std::optional<std::string> OptionalText(const json& j, const char* field) {
  if (!j.contains(field)) return std::nullopt;
  return Text(j, field);
}

bool Bool(const json& j, const char* field, bool otherwise) {
  if (!j.contains(field)) return otherwise;
  if (!j[field].is_boolean()) Fail(std::string(".") + field, "must be true or false");
  return j[field].get<bool>();
}

std::optional<Match> MatchOf(const json& j) {
  if (!j.contains("match")) return std::nullopt;
  if (j["match"] == "exactly") return Match::kExactly;
  if (j["match"] == "any") return Match::kAny;
  Fail(".match", "must be \"exactly\" or \"any\"");
}

const char* MatchName(Match match) { return match == Match::kExactly ? "exactly" : "any"; }

// A list of T read element by element, each error naming its index.
template <typename T>
std::vector<T> List(const json& j, const std::string& name) {
  if (!j.is_array()) throw ExpectFieldError("", "must be an array").Under(name);
  std::vector<T> items;
  items.reserve(j.size());
  for (std::size_t i = 0; i < j.size(); ++i) {
    try {
      items.push_back(j[i].get<T>());
    } catch (const ExpectFieldError& error) {
      throw error.Under(name + "[" + std::to_string(i) + "]");
    }
  }
  return items;
}

template <typename T>
void ReadList(const json& j, const char* name, std::optional<std::vector<T>>& out) {
  if (j.contains(name)) out = List<T>(j[name], std::string(".") + name);
}

ExpectedLines Lines(const json& j, const char* name, const char* list, const char* first, const char* second) {
  try {
    Fields(j, {"match", list}, {"match", list});
    if (!j["match"].is_string() || (j["match"] != first && j["match"] != second)) {
      Fail(".match", std::string("must be \"") + first + "\" or \"" + second + "\"");
    }
    ExpectedLines lines{j["match"].get<std::string>(), {}};
    if (!j[list].is_array()) Fail(std::string(".") + list, "must be an array of strings");
    for (std::size_t i = 0; i < j[list].size(); ++i) {
      try {
        lines.lines.push_back(Text(json{{"line", j[list][i]}}, "line"));
      } catch (const ExpectFieldError& error) {
        Fail(std::string(".") + list + "[" + std::to_string(i) + "]", error.what());
      }
    }
    return lines;
  } catch (const ExpectFieldError& error) {
    throw error.Under(std::string(".") + name);
  }
}

}  // namespace

ExpectFieldError ExpectFieldError::Under(const std::string& outer) const { return {outer + path_, what()}; }

void from_json(const json& j, ExpectedEvent& e) {
  Fields(j, {"event", "argument", "outcome", "reason"}, {"event", "outcome"});
  e = {Text(j, "event"), OptionalText(j, "argument"), Text(j, "outcome"), OptionalText(j, "reason")};
}

void from_json(const json& j, ExpectedRegistry& r) {
  if (j.is_object() && j.contains("match")) {
    Fields(j, {"key", "match"}, {"key"});
    r = {};
    r.key = Text(j, "key");
    r.match = MatchOf(j);
    return;
  }
  Fields(j, {"key", "value", "type", "data", "size", "present", "unchanged"}, {"key"});
  r = {};
  r.key = Text(j, "key");
  r.value = OptionalText(j, "value");
  r.present = Bool(j, "present", true);
  r.unchanged = Bool(j, "unchanged", false);
  const bool value_fields = j.contains("type") || j.contains("data") || j.contains("size");
  if (r.unchanged && (!r.value || value_fields || j.contains("present"))) {
    Fail("", "\"unchanged\" names a value and nothing else about it");
  }
  if (j.contains("unchanged") && !r.unchanged) Fail(".unchanged", "can only be true");
  if (value_fields && (!r.present || !r.value)) Fail("", "type, data and size describe a value");
  if (r.present && r.value && !r.unchanged && !(j.contains("type") && j.contains("data"))) {
    Fail("", "a value expected present needs its type and data");
  }
  if (j.contains("type")) r.type = Text(j, "type");
  if (j.contains("data")) r.data = Text(j, "data");
  if (j.contains("size")) {
    if (!j["size"].is_number_unsigned()) Fail(".size", "must be a byte count");
    r.size = j["size"].get<std::uint64_t>();
  }
}

void from_json(const json& j, ExpectedFile& f) {
  f = {};
  if (j.is_object() && j.contains("folder")) {
    Fields(j, {"folder", "match"}, {"folder", "match"});
    f.path = Text(j, "folder");
    f.match = MatchOf(j);
    return;
  }
  Fields(j, {"file", "present", "sha256"}, {"file", "present"});
  f.path = Text(j, "file");
  f.present = Bool(j, "present", true);
  if (!j.contains("sha256")) return;
  std::string hash = Text(j, "sha256");
  std::transform(hash.begin(), hash.end(), hash.begin(), [](char c) { return code_page::ToLower(c); });
  if (hash.size() != 64 || hash.find_first_not_of("0123456789abcdef") != std::string::npos) {
    Fail(".sha256", "must be 64 hexadecimal digits, as sha256sum prints them");
  }
  if (!f.present) Fail(".sha256", "an absent file has no content");
  f.sha256 = std::move(hash);
}

void from_json(const json& j, ExpectedIni& e) {
  Fields(j, {"file", "section", "key", "value", "present"}, {"file", "section", "key"});
  e = {Text(j, "file"), Text(j, "section"), Text(j, "key"), OptionalText(j, "value")};
  if (e.value.has_value() == (j.contains("present") && !Bool(j, "present", true))) {
    Fail("", "give the value, or \"present\": false");
  }
}

void from_json(const json& j, ExpectedMessageBox& b) {
  Fields(j, {"caption", "text"}, {"caption", "text"});
  b = {Text(j, "caption"), Text(j, "text")};
}

void from_json(const json& j, MachineExpectations& m) {
  Fields(j, {"registry", "files", "ini"}, {});
  m = {};
  ReadList(j, "registry", m.registry);
  ReadList(j, "files", m.files);
  ReadList(j, "ini", m.ini);
}

void from_json(const json& j, Expectations& e) {
  Fields(j, {"events", "registry", "files", "ini", "log", "host_calls", "message_boxes", "left_behind"}, {});
  e = {};
  ReadList(j, "events", e.events);
  ReadList(j, "registry", e.registry);
  ReadList(j, "files", e.files);
  ReadList(j, "ini", e.ini);
  if (j.contains("log")) e.log = Lines(j["log"], "log", "lines", "exactly", "contains");
  if (j.contains("host_calls")) e.host_calls = Lines(j["host_calls"], "host_calls", "calls", "exactly", "subsequence");
  ReadList(j, "message_boxes", e.message_boxes);
  if (j.contains("left_behind")) {
    try {
      e.left_behind = j["left_behind"].get<MachineExpectations>();
    } catch (const ExpectFieldError& error) {
      throw error.Under(".left_behind");
    }
  }
}

void to_json(ojson& j, const ExpectedEvent& e) {
  j = {{"event", e.event}};
  if (e.argument) j["argument"] = *e.argument;
  j["outcome"] = e.outcome;
  if (e.reason) j["reason"] = *e.reason;
}

void to_json(ojson& j, const ExpectedRegistry& r) {
  j = {{"key", r.key}};
  if (r.match) {
    j["match"] = MatchName(*r.match);
    return;
  }
  if (!r.value) {
    j["present"] = r.present;
    return;
  }
  j["value"] = *r.value;
  if (r.unchanged) {
    j["unchanged"] = true;
  } else if (!r.present) {
    j["present"] = false;
  } else {
    j["type"] = r.type;
    j["data"] = r.data;
    if (r.size) j["size"] = *r.size;
  }
}

void to_json(ojson& j, const ExpectedFile& f) {
  if (f.match) {
    j = {{"folder", f.path}, {"match", MatchName(*f.match)}};
  } else {
    j = {{"file", f.path}, {"present", f.present}};
    if (f.sha256) j["sha256"] = *f.sha256;
  }
}

void to_json(ojson& j, const ExpectedIni& e) {
  j = {{"file", e.file}, {"section", e.section}, {"key", e.key}};
  if (e.value) {
    j["value"] = *e.value;
  } else {
    j["present"] = false;
  }
}

void to_json(ojson& j, const ExpectedMessageBox& b) { j = {{"caption", b.caption}, {"text", b.text}}; }

void to_json(ojson& j, const MachineExpectations& m) {
  j = ojson::object();
  if (m.registry) j["registry"] = *m.registry;
  if (m.files) j["files"] = *m.files;
  if (m.ini) j["ini"] = *m.ini;
}

void to_json(ojson& j, const Expectations& e) {
  j = ojson::object();
  if (e.events) j["events"] = *e.events;
  if (e.registry) j["registry"] = *e.registry;
  if (e.files) j["files"] = *e.files;
  if (e.ini) j["ini"] = *e.ini;
  if (e.log) j["log"] = {{"match", e.log->match}, {"lines", e.log->lines}};
  if (e.host_calls) j["host_calls"] = {{"match", e.host_calls->match}, {"calls", e.host_calls->lines}};
  if (e.message_boxes) j["message_boxes"] = *e.message_boxes;
  if (e.left_behind) j["left_behind"] = *e.left_behind;
}

std::vector<std::string> ExpectedRegistryKeys(const MachineExpectations& expect) {
  std::vector<std::string> keys;
  if (!expect.registry) return keys;
  for (const ExpectedRegistry& r : *expect.registry) {
    if (r.match) continue;
    std::string bytes;
    code_page::FromUtf8(r.key, bytes);
    keys.push_back(std::move(bytes));
  }
  return keys;
}

}  // namespace qvi::scenario
