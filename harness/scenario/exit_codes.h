// The exit statuses shared by the programs that run scenarios (qvihost and
// the Windows flow drivers), so a script can read any of them the same way.
#pragma once

namespace qvi::scenario {

inline constexpr int kExitOk = 0;
inline constexpr int kExitInternalError = 1;
inline constexpr int kExitExpectationsNotMet = 1;  // `qvihost test`
inline constexpr int kExitBadInput = 2;

}  // namespace qvi::scenario
