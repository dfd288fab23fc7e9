#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
#if defined(_WIN32)
  const bool terminal = ::_isatty(::_fileno(stdin)) != 0;
#else
  const bool terminal = ::isatty(STDIN_FILENO) == 1;
#endif
  return qvi::cli::RunCli(args, {std::cout, std::cerr, std::cin, terminal});
}
