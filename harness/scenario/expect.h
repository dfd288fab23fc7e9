// Expectations a scenario file may hold in its "expect" section, checked
// against a run, and written from a run for approval.
//
//   "expect": {
//     "events":        [{"event": "qviSetup", "outcome": "completed"}, ...]  the run's events, all of them
//     "registry":      [{"key": K, "match": "exactly"},
//                       {"key": K, "present": true|false},
//                       {"key": K, "value": N, "type": "REG_SZ", "data": "38400", "size": 6},
//                       {"key": K, "value": N, "present": false}, ...]
//     "files":         [{"folder": D, "match": "exactly"},
//                       {"file": F, "present": true|false}, ...]
//     "ini":           [{"file": F, "section": S, "key": K, "value": V},
//                       {"file": F, "section": S, "key": K, "present": false}, ...]
//     "log":           {"match": "exactly" | "contains", "lines": [...]}
//     "host_calls":    {"match": "exactly" | "subsequence", "calls": ["QviPublic 14 SetSettingsFile(...) -> Empty", ...]}
//     "message_boxes": [{"caption": C, "text": T}, ...]                    all of them, in order
//   }
//
// An exact key holds the run to the registry entries: no key below it (itself
// included) was created or removed and no value set or removed there unless
// an entry names that key or value. An exact folder does the same for the
// files below it, which "files" must name, and for the entries of the INI
// files among them, which "ini" must name. Registry keys, value names, file
// paths, INI sections and keys match without regard to letter case;
// everything else exactly. Text is UTF-8 in the file and the
// machine's code page in the run, as elsewhere in scenario files.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "scenario/run.h"

namespace qvi::scenario {

// One expectation that a run did not meet: where the file states it (its
// JSON path), and what was expected and seen, as text. For a list, `diff`
// holds the lines around its first difference: context marked "  ",
// expected "- ", seen "+ ".
struct UnmetExpectation {
  std::string where;
  std::string expected;
  std::string seen;
  std::vector<std::string> diff;
};

struct ExpectationResults {
  std::size_t checked = 0;
  std::vector<UnmetExpectation> unmet;
};

// Throws ScenarioError, naming the field, for an "expect" section that is
// malformed; `source` names the file.
void ValidateExpectations(const nlohmann::json& expect, const std::string& source);

// The registry keys a validated "expect" section names (machine text), for
// RunOptions::registry_keys: the run keeps only those.
std::vector<std::string> ExpectedRegistryKeys(const nlohmann::json& expect);

// `run` must have kept the keys ExpectedRegistryKeys(expect) names.
ExpectationResults CheckExpectations(const nlohmann::json& expect, const RunResult& run);

// An unmet expectation as readable lines, each begun by `indent`.
std::string FormatUnmet(const UnmetExpectation& unmet, const std::string& indent);

// What the run did, as an "expect" section: every registry root and drive it
// changed held exactly, its events, every key created or removed and value
// set or removed, every file created, changed or removed and INI entry
// changed, its log, host calls and message boxes, each exactly.
nlohmann::ordered_json ObservedExpectations(const RunResult& run);

}  // namespace qvi::scenario
