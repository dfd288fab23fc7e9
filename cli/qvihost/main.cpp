#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "cli.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return qvi::cli::RunCli(args, {std::cout, std::cerr, std::cin, ::isatty(STDIN_FILENO) == 1});
}
