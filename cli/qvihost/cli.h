// The qvihost command line, callable in-process so tests can check its output
// and exit status.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "scenario/exit_codes.h"

namespace qvi::cli {

using scenario::kExitBadInput;
using scenario::kExitChecksFailed;
using scenario::kExitExpectationsNotMet;
using scenario::kExitInternalError;
using scenario::kExitOk;

struct Console {
  std::ostream& out;
  std::ostream& err;
  std::istream& in;
  // Whether `in` is a terminal a person can answer on.
  bool interactive_terminal = false;
};

// Runs qvihost with `args` (without the program name) and returns its exit
// status (scenario/exit_codes.h): 0 done, 1 checks failed, 2 bad input,
// 3 internal error.
int RunCli(const std::vector<std::string>& args, Console console);

}  // namespace qvi::cli
