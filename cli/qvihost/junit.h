// `qvihost test` results as JUnit XML, the form CI servers read.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "scenario/check.h"

namespace qvi::cli {

// One group of a scenario's "expect" section ("registry", "log", ...).
using JunitCase = scenario::GroupResults;

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

// Throws std::logic_error where the build has no XML library.
JunitDocument JunitXml(const std::vector<JunitSuite>& suites);

// Whether this build writes JUnit XML.
bool JunitAvailable();

}  // namespace qvi::cli
