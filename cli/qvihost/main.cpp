#if defined(_WIN32)
#include <io.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "cli.h"

#if defined(__linux__) && defined(MADV_POPULATE_READ)
extern "C" char __executable_start[], etext[], __data_start[], _end[];

namespace {

// Maps the program's code and writable data in two calls, before anything
// else runs. A run touches code all over the statically linked program, and
// every first touch of a page is a fault; on a virtual machine each fault is
// a trip to the hypervisor, which one call for all the pages avoids
// (measured: 84 faults become 63, about 0.05 ms of a 2.3 ms run). A kernel without these calls
// refuses them, and the pages fault in one by one as before.
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

}  // namespace
#endif

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
#if defined(_WIN32)
  const bool terminal = ::_isatty(::_fileno(stdin)) != 0;
#else
  const bool terminal = ::isatty(STDIN_FILENO) == 1;
#endif
  return qvi::cli::RunCli(args, {std::cout, std::cerr, std::cin, terminal});
}
