// qvihost's command line run in this process, what it prints kept for the
// test, and what the tests of it share.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "qvihost/cli.h"
#include "testing/file_bytes.h"
#include "testing/golden.h"
#include "testing/temp_folder.h"

namespace qvi::cli {

namespace fs = std::filesystem;
using qvi::testing::ExpectApproved;
using qvi::testing::ReadFileBytes;
using qvi::testing::WriteFileBytes;

// Approved outputs of commands, beside the approved reports.
inline fs::path Golden(const std::string& name) { return fs::path(QVI_GOLDEN_DIR) / "outputs" / name; }

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

inline std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A test of the command line with a folder of its own for the files its
// commands read and write.
class CliFolderTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return (dir_.path() / name).string(); }

  // `text` as an approved output holds it: this test's folder written DIR,
  // and a JUnit file's times 0, as no two runs take the same.
  std::string Masked(const std::string& text) const {
    const std::string masked = testing::Replaced(text, dir_.path().string(), "DIR");
    return std::regex_replace(masked, std::regex(R"(time="[0-9.]+")"), R"(time="0")");
  }

  // A command's exit status and what it said, under `name`, for an approved
  // file of several.
  std::string Told(const std::string& name, int code, const std::string& said) const {
    return "== " + name + ": exit " + std::to_string(code) + "\n" + Masked(said);
  }

  testing::TempFolder dir_;
};

}  // namespace qvi::cli
