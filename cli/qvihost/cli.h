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
  // TEST_TOTAL_SHARDS and TEST_SHARD_INDEX as the environment holds them
  // (null when unset): the part of a `test` or `matrix` a CI job runs when
  // --shard does not say. Passed in rather than read here, so that a test of
  // the command line is not split by the variables that split its own binary.
  const char* test_total_shards = nullptr;
  const char* test_shard_index = nullptr;
  // The process ends once RunCli returns, so what it holds need not be taken
  // apart first: set by the program's main only, never by a test of the
  // command line, nor in a build checked for leaks.
  bool process_ends_after = false;
};

// Runs qvihost with `args` (without the program name) and returns its exit
// status (scenario/exit_codes.h): 0 done, 1 checks failed, 2 bad input,
// 3 internal error.
int RunCli(const std::vector<std::string>& args, Console console);

}  // namespace qvi::cli
