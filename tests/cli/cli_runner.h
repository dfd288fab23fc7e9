// qvihost's command line run in this process, what it prints kept for the
// test, and what the tests of it share.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "qvihost/cli.h"
#include "testing/file_bytes.h"
#include "testing/temp_folder.h"

namespace qvi::cli {

namespace fs = std::filesystem;
using qvi::testing::ReadFileBytes;
using qvi::testing::WriteFileBytes;

struct Outcome {
  int code;
  std::string out;
  std::string err;
};

// `input` is standard input, a terminal a person answers on when `terminal`.
inline Outcome Cli(const std::vector<std::string>& args, const std::string& input = "", bool terminal = false) {
  std::ostringstream out;
  std::ostringstream err;
  std::istringstream in(input);
  const int code = RunCli(args, {out, err, in, terminal});
  return {code, out.str(), err.str()};
}

// A test of the command line with a folder of its own for the files its
// commands read and write.
class CliFolderTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return (dir_.path() / name).string(); }

  testing::TempFolder dir_;
};

}  // namespace qvi::cli
