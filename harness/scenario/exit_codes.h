// The exit statuses of the programs that run scenarios (qvihost and the
// Windows flow drivers), so a script or a CI job reads any of them the same
// way, and the one place that decides which an error stands for.
//
//   0  done: the scenario ran (a failed event is part of its report) and
//      every expectation checked was met
//   1  checks failed: some expectation of `qvihost test` was not met
//   2  bad input: a scenario, machine folder, seed or option that cannot be
//      used; the message names the file and field
//   3  internal error: anything else (a fault of the program, a report that
//      could not be written whole)
#pragma once

#include <exception>

namespace qvi::scenario {

inline constexpr int kExitOk = 0;
inline constexpr int kExitChecksFailed = 1;
inline constexpr int kExitBadInput = 2;
inline constexpr int kExitInternalError = 3;
// The older name of kExitChecksFailed.
inline constexpr int kExitExpectationsNotMet = kExitChecksFailed;

// Whether an error thrown while loading or running scenarios is the input's
// fault (scenario, machine, path, a folder the host refused to read) rather
// than the program's.
bool IsBadInput(const std::exception& error);

// kExitBadInput or kExitInternalError, by IsBadInput.
inline int ExitStatusOf(const std::exception& error) { return IsBadInput(error) ? kExitBadInput : kExitInternalError; }

}  // namespace qvi::scenario
