// Scenario files run as tests: each run (or life cycle) checked against its
// expectations, on a copy of its machine so that no test changes what the
// next one starts from.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "scenario/approval.h"
#include "scenario/check.h"
#include "scenario/scenario.h"

namespace qvi::scenario {

// The tests the paths name: each file, and each folder's *.json files in
// name order but its received files (*.received.json, what a failed test
// observed). A file in a folder without expectations is skipped (a folder
// may hold scenarios to run rather than check); one named by itself is
// refused with ScenarioError, and so are a folder without scenario files and
// a list of paths that holds no test at all, unless `no_tests_pass`: a wrong
// path must not pass unasked.
struct TestPlan {
  std::vector<std::pair<std::string, Scenario>> tests;  // file, scenario
  std::vector<std::string> skipped;                     // files without expectations
};
TestPlan PlanTests(const std::vector<std::string>& paths, SeedCache& seeds, bool no_tests_pass = false);

// Whether `file` is named as a received file is.
bool IsReceivedFile(const std::string& file);

struct ScenarioTest {
  std::size_t index = 0;  // its place in the plan
  std::string file;
  std::string name;
  std::vector<std::string> warnings;
  std::vector<GroupResults> groups;  // each group of each section checked
  ExpectationResults results;        // the groups together
  double seconds = 0;
  // What the run observed, for an approval: only when some expectation was
  // not met.
  std::optional<ObservedDocument> observed;
};

// Runs every test of the plan in turn, calling `done` after each. Throws as
// RunScenario does for a machine or seed that cannot be used.
void RunTests(const TestPlan& plan, const std::function<void(ScenarioTest)>& done);

}  // namespace qvi::scenario
