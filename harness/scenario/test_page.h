// The results of `qvihost test` as one self-contained HTML page.
#pragma once

#include <string>
#include <vector>

#include "scenario/check.h"

namespace qvi::scenario {

struct TestedScenario {
  std::string name;
  std::string file;
  ExpectationResults results;
};

// Each scenario PASS or FAIL, a failure marked, with the lines of its unmet
// expectations (what was expected marked as removed, what was seen as
// added), then the files skipped for want of expectations.
std::string HtmlTests(const std::vector<TestedScenario>& tests, const std::vector<std::string>& skipped);

}  // namespace qvi::scenario
