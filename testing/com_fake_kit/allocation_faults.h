// Out-of-memory paths, tested: a run is repeated with its first, second, ...
// allocation failing, until a run makes fewer allocations than that, and
// after each run what it took must be back.
//
// The allocations are the test program's C++ operator new (replaced in
// allocation_faults.cpp) and the COM task allocator, seen through a malloc
// spy (CoRegisterMallocSpy), whose PreAlloc makes one fail. oleaut32 takes
// its BSTRs from the task allocator (Wine's as Windows'), but keeps freed
// ones in a cache and hands them out again unseen unless the environment
// variable OANOCACHE is set when it loads: the test's environment sets it.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qvi::testing {

// What a run may not keep: live C++ allocations, live task allocations
// (BSTRs among them), busy blocks of the process heap (LocalAlloc's and the
// task allocator's) and live COM objects of this program.
struct Holdings {
  long cpp = 0;
  long task = 0;
  long heap = 0;
  long objects = 0;
  bool operator==(const Holdings&) const = default;
};
Holdings Measure();

// Runs `run` as it is, then once with each of its allocations failing in
// turn; an exception that leaves `run` ends it. Returns a line for each
// failing allocation after which the holdings were not as before the run
// (empty when there is none), or why the runs cannot be judged.
std::vector<std::string> LeaksUnderAllocationFailures(const std::function<void()>& run);

}  // namespace qvi::testing
