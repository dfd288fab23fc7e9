// Scenario files run as tests: each run (or life cycle) checked against its
// expectations, on a copy of its machine so that no test changes what the
// next one starts from.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "scenario/check.h"
#include "scenario/scenario.h"

namespace qvi::scenario {

// The tests the paths name: each file, and each folder's *.json files in
// name order. A file in a folder without expectations is skipped (a folder
// may hold scenarios to run rather than check); one named by itself, a
// folder without scenario files, and a list of paths that holds no test at
// all are refused with ScenarioError: a wrong path must not pass.
struct TestPlan {
  std::vector<std::pair<std::string, Scenario>> tests;  // file, scenario
  std::vector<std::string> skipped;                     // files without expectations
};
TestPlan PlanTests(const std::vector<std::string>& paths, SeedCache& seeds);

struct ScenarioTest {
  std::string file;
  std::string name;
  std::vector<std::string> warnings;
  std::vector<GroupResults> groups;  // each group of each section checked
  ExpectationResults results;        // the groups together
  double seconds = 0;
};

// Runs every test of the plan in turn, calling `done` after each. Throws as
// RunScenario does for a machine or seed that cannot be used.
void RunTests(const TestPlan& plan, const std::function<void(ScenarioTest)>& done);

}  // namespace qvi::scenario
