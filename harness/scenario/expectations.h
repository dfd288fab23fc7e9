// What a scenario file's "expect" section states, as types: read with the
// JSON library's from_json and written back with its to_json. Checking them
// against a run is check.h's business; this header knows nothing of runs.
//
//   "expect": {
//     "events":        [{"event": "qviSetup", "outcome": "completed"}, ...]  the run's events, all of them
//     "registry":      [{"key": K, "match": "exactly" | "any"},
//                       {"key": K, "present": true|false},
//                       {"key": K, "value": N, "type": "REG_SZ", "data": "38400", "size": 6},
//                       {"key": K, "value": N, "unchanged": true},
//                       {"key": K, "value": N, "present": false}, ...]
//     "files":         [{"folder": D, "match": "exactly" | "any"},
//                       {"file": F, "present": true|false},
//                       {"file": F, "present": true, "sha256": H}, ...]
//     "ini":           [{"file": F, "section": S, "key": K, "value": V},
//                       {"file": F, "section": S, "key": K, "present": false}, ...]
//     "log":           {"match": "exactly" | "contains", "lines": [...]}
//     "host_calls":    {"match": "exactly" | "subsequence", "calls": ["QviPublic 14 SetSettingsFile(...) -> Empty", ...]}
//     "message_boxes": [{"caption": C, "text": T}, ...]                    all of them, in order
//     "left_behind":   {"registry": [...], "files": [...], "ini": [...]}  a life cycle's only
//   }
//
// An exact key holds the run to the registry entries: no key below it (itself
// included) was created or removed and no value set, changed or removed there
// unless an entry names that key or value, or lies below a key matched as
// "any" (shared state the run may change as it likes). An unchanged value is
// one the run neither set, changed nor removed. An exact folder does the same
// for the files below it, which "files" must name (or an "any" folder hold),
// and for the entries of the INI files among them, which "ini" must name.
// Registry keys, value names, file paths, INI sections and keys match without
// regard to letter case; everything else exactly.
//
// Texts are kept as the file holds them (UTF-8); reading refuses text the
// machine's code page cannot hold.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace qvi::scenario {

// A field of an "expect" section that cannot be used: `path` is the field
// below "expect" ("registry[2].size"), for the caller to put behind the file.
class ExpectFieldError : public std::runtime_error {
 public:
  ExpectFieldError(std::string path, const std::string& message) : std::runtime_error(message), path_(std::move(path)) {}
  const std::string& path() const { return path_; }
  // The same error one level further out: "registry" + "[2].size".
  ExpectFieldError Under(const std::string& outer) const;

 private:
  std::string path_;
};

enum class Match { kExactly, kAny };

struct ExpectedEvent {
  std::string event;
  std::optional<std::string> argument;
  std::string outcome;  // "completed" or "failed"
  std::optional<std::string> reason;
};

struct ExpectedRegistry {
  std::string key;
  std::optional<Match> match;  // a held key; nothing else is set then
  std::optional<std::string> value;
  bool present = true;
  bool unchanged = false;
  std::string type;  // with `value` present and not `unchanged`
  std::string data;
  std::optional<std::uint64_t> size;
};

struct ExpectedFile {
  std::string path;            // a file, or a folder when `match` is set
  std::optional<Match> match;
  bool present = true;
  std::optional<std::string> sha256;  // of a present file: its content, lowercase hex
};

struct ExpectedIni {
  std::string file;
  std::string section;
  std::string key;
  std::optional<std::string> value;  // absent: the entry must be absent
};

struct ExpectedLines {
  std::string match;  // "exactly", or "contains" (log) / "subsequence" (host calls)
  std::vector<std::string> lines;
};

struct ExpectedMessageBox {
  std::string caption;
  std::string text;
};

// What a machine must hold: the part of an "expect" section that a life
// cycle's "left_behind" holds too.
struct MachineExpectations {
  std::optional<std::vector<ExpectedRegistry>> registry;
  std::optional<std::vector<ExpectedFile>> files;
  std::optional<std::vector<ExpectedIni>> ini;
  bool empty() const { return !registry && !files && !ini; }
};

struct Expectations : MachineExpectations {
  std::optional<std::vector<ExpectedEvent>> events;
  std::optional<ExpectedLines> log;
  std::optional<ExpectedLines> host_calls;
  std::optional<std::vector<ExpectedMessageBox>> message_boxes;
  std::optional<MachineExpectations> left_behind;
  bool empty() const {
    return MachineExpectations::empty() && !events && !log && !host_calls && !message_boxes && !left_behind;
  }
};

// Throw ExpectFieldError naming the field.
void from_json(const nlohmann::json& j, ExpectedEvent& e);
void from_json(const nlohmann::json& j, ExpectedRegistry& r);
void from_json(const nlohmann::json& j, ExpectedFile& f);
void from_json(const nlohmann::json& j, ExpectedIni& e);
void from_json(const nlohmann::json& j, ExpectedMessageBox& b);
void from_json(const nlohmann::json& j, MachineExpectations& m);
void from_json(const nlohmann::json& j, Expectations& e);

void to_json(nlohmann::ordered_json& j, const ExpectedEvent& e);
void to_json(nlohmann::ordered_json& j, const ExpectedRegistry& r);
void to_json(nlohmann::ordered_json& j, const ExpectedFile& f);
void to_json(nlohmann::ordered_json& j, const ExpectedIni& e);
void to_json(nlohmann::ordered_json& j, const ExpectedMessageBox& b);
void to_json(nlohmann::ordered_json& j, const MachineExpectations& m);
void to_json(nlohmann::ordered_json& j, const Expectations& e);

// The registry keys the expectations name one by one (machine text), for a
// run to keep their state at its end.
std::vector<std::string> ExpectedRegistryKeys(const MachineExpectations& expect);

}  // namespace qvi::scenario
