#if defined(_WIN32)
#include <io.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "qvihost/cli.h"

#if defined(__linux__) && defined(MADV_POPULATE_READ)
extern "C" char __executable_start[], etext[], __data_start[], _end[];

namespace {

// Maps the program's code and writable data in two calls, before anything
// else runs. A run touches code all over the statically linked program, and
// every first touch of a page is a fault; on a virtual machine each fault is
// a trip to the hypervisor, which one call for all the pages avoids
// (docs/performance.md). A kernel without these calls refuses them, and the
// pages fault in one by one as before.
__attribute__((constructor(101))) void MapProgramAtOnce() {
  const auto span = [](const char* first, const char* last) {
    const auto start = reinterpret_cast<std::uintptr_t>(first) & ~std::uintptr_t{4095};
    return std::pair<void*, std::size_t>(reinterpret_cast<void*>(start), reinterpret_cast<std::uintptr_t>(last) - start);
  };
  const auto [code, code_size] = span(__executable_start, etext);
  ::madvise(code, code_size, MADV_POPULATE_READ);
  const auto [data, data_size] = span(__data_start, _end);
  ::madvise(data, data_size, MADV_POPULATE_WRITE);
}

// The memory a run works in, mapped in one call each for the heap and the
// stack, for the same reason. Done once static initialisation is over, so
// that the heap mapped is the part a run allocates from rather than the
// C++ runtime's reserve for exceptions, which is set aside then and never
// touched. The sizes cover what a run of install-nt allocates and how far
// down the stack it reaches (docs/performance.md). The block freed here stays
// with the process: the allocator gives memory back only above its trim
// threshold (128 KB by default).
void MapWorkingMemoryAtOnce() {
  constexpr std::size_t kHeapBytes = 96 << 10;
  constexpr std::size_t kStackBytes = 32 << 10;
  constexpr std::uintptr_t kPage = 4096;
  if (void* block = std::malloc(kHeapBytes)) {
    const auto first = (reinterpret_cast<std::uintptr_t>(block) + kPage - 1) & ~(kPage - 1);
    const auto last = (reinterpret_cast<std::uintptr_t>(block) + kHeapBytes) & ~(kPage - 1);
    ::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
    std::free(block);
  }
  // The stack's mapping reaches 128 KB below where it starts from the first;
  // its pages below here are the ones a run goes on to touch.
  const char here = 0;
  const auto top = reinterpret_cast<std::uintptr_t>(&here) & ~(kPage - 1);
  ::madvise(reinterpret_cast<void*>(top - kStackBytes), kStackBytes, MADV_POPULATE_WRITE);
}

}  // namespace
#endif

namespace {

// A leak checker would report the registry a run leaves standing at its end
// (Console::process_ends_after), so a build checked for leaks takes it apart.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kLeakChecked = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(leak_sanitizer)
constexpr bool kLeakChecked = true;
#else
constexpr bool kLeakChecked = false;
#endif
#else
constexpr bool kLeakChecked = false;
#endif

}  // namespace

int main(int argc, char** argv) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  MapWorkingMemoryAtOnce();
#endif
  std::vector<std::string> args(argv + 1, argv + argc);
#if defined(_WIN32)
  const bool terminal = ::_isatty(::_fileno(stdin)) != 0;
#else
  const bool terminal = ::isatty(STDIN_FILENO) == 1;
#endif
  return qvi::cli::RunCli(args, {std::cout, std::cerr, std::cin, terminal, std::getenv("TEST_TOTAL_SHARDS"),
                                 std::getenv("TEST_SHARD_INDEX"), !kLeakChecked});
}
