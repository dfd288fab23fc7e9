// Expectations a scenario file may hold in its "expect" section, checked
// against a run, and written from a run for approval.
//
//   "expect": {
//     "events":        [{"event": "qviSetup", "outcome": "completed"}, ...]  the run's events, all of them
//     "registry":      [{"key": K, "present": true|false},
//                       {"key": K, "value": N, "type": "REG_SZ", "data": "38400", "size": 6},
//                       {"key": K, "value": N, "present": false}, ...]
//     "ini":           [{"file": F, "section": S, "key": K, "value": V},
//                       {"file": F, "section": S, "key": K, "present": false}, ...]
//     "log":           {"match": "exactly" | "contains", "lines": [...]}
//     "host_calls":    {"match": "exactly" | "subsequence", "calls": ["QviPublic 14 SetSettingsFile(...) -> Empty", ...]}
//     "message_boxes": [{"caption": C, "text": T}, ...]                    all of them, in order
//   }
//
// Registry keys, value names, INI sections and keys match without regard to
// letter case; everything else exactly. Text is UTF-8 in the file and the
// machine's code page in the run, as elsewhere in scenario files.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "scenario/run.h"

namespace qvi::scenario {

// One expectation that a run did not meet: where the file states it (its
// JSON path), and what was expected and seen, as text.
struct UnmetExpectation {
  std::string where;
  std::string expected;
  std::string seen;
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

// What the run did, as an "expect" section: its events, every registry value
// set and key or value removed, every INI entry changed, its log, host calls
// and message boxes, each exactly.
nlohmann::ordered_json ObservedExpectations(const RunResult& run);

}  // namespace qvi::scenario
