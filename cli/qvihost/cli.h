// The qvihost command line, callable in-process so tests can check its output
// and exit status.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "scenario/exit_codes.h"

namespace qvi::cli {

using scenario::kExitBadInput;
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
// status: 0 when the scenario ran (a failed event included), 2 for bad input,
// 1 for an internal error.
int RunCli(const std::vector<std::string>& args, Console console);

}  // namespace qvi::cli
