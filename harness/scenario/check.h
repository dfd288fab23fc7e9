// Expectations (expectations.h) checked against a run or a life cycle, and
// written from one for approval.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "scenario/expectations.h"
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
  void Add(ExpectationResults more);
};

// One group of an "expect" section ("events", "registry", ...) checked, and
// how long that took.
struct GroupResults {
  std::string group;
  double seconds = 0;
  ExpectationResults results;
};

// `run` must have kept the keys ExpectedRegistryKeys(expect) names.
ExpectationResults CheckExpectations(const Expectations& expect, const RunResult& run);
// The same, group by group in the section's order, each timed.
std::vector<GroupResults> CheckGroups(const Expectations& expect, const RunResult& run);

// A life cycle's "left_behind" against what the steps left (its last step
// must have kept the keys the section names); each step's own section
// against that step; `expect` is the life cycle's document-level section.
std::vector<GroupResults> CheckLifeCycle(const Expectations& expect, const std::vector<Expectations>& steps,
                                         const LifeCycleResult& run);

// An unmet expectation as readable lines, each begun by `indent`; a
// difference of several lines (a log entry) goes on beneath its first.
std::string FormatUnmet(const UnmetExpectation& unmet, const std::string& indent);

// What the run did, as expectations: every registry root and drive it
// changed held exactly, its events, every key created or removed and value
// set, changed or removed, every file created, changed or removed and INI
// entry changed, its log, host calls and message boxes, each exactly.
Expectations ObservedExpectations(const RunResult& run);
// What a life cycle left behind, held the same way.
MachineExpectations ObservedLeftBehind(const LifeCycleResult& run);

}  // namespace qvi::scenario
