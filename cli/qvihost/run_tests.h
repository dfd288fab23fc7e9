// `qvihost test`: scenario files run and checked; what a failed one observed
// written beside it as its received file, reviewed or accepted into it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "qvihost/cli.h"
#include "scenario/shard.h"

namespace qvi::cli {

struct TestRequest {
  std::vector<std::string> paths;
  std::string junit;
  std::string html;
  std::optional<std::string> shard;
  std::string received;  // the folder for received files; "" for beside each scenario
  bool accept = false;
  bool review = false;
  bool pass_with_no_tests = false;
  std::string annotations;  // "github", or "" for none
};

// Runs the tests of `shard` and returns the exit status: 0 when every test
// now passes (after --accept or --review, the accepted ones checked again).
// Throws ScenarioError for bad input, --review without a terminal included.
int Test(const TestRequest& request, const scenario::Shard& shard, Console& console);

// Each warning on standard error, behind the program's name and `source`.
void PrintWarnings(const std::vector<std::string>& warnings, const std::string& source, Console& console);

}  // namespace qvi::cli
