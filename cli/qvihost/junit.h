// `qvihost test` results as JUnit XML, the form CI servers read.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "scenario/expect.h"

namespace qvi::cli {

// One group of a scenario's "expect" section ("registry", "log", ...).
struct JunitCase {
  std::string group;
  double seconds = 0;
  scenario::ExpectationResults results;
};

// One scenario file: its run and the check of each group.
struct JunitSuite {
  std::string name;
  std::string file;
  double seconds = 0;
  std::vector<JunitCase> cases;
};

struct JunitDocument {
  std::string xml;
  // Characters XML 1.0 cannot hold (control characters, bytes that are not
  // UTF-8), each written as U+FFFD.
  std::size_t replaced = 0;
};

// Checks each group of `expect` against `run` on its own, timed.
std::vector<JunitCase> CheckGroups(const nlohmann::json& expect, const scenario::RunResult& run);

// Throws std::logic_error where the build has no XML library.
JunitDocument JunitXml(const std::vector<JunitSuite>& suites);

// Whether this build writes JUnit XML.
bool JunitAvailable();

}  // namespace qvi::cli
