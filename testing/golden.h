// Approved (golden) texts: a test's whole output compared with the approved
// file byte for byte. After reading a changed output against what the code
// must do, approve it with QVI_APPROVE_GOLDEN=1 (scripts/approve-golden.sh).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "scenario/report.h"
#include "testing/file_bytes.h"

namespace qvi::testing {

// `text` with every `from` written as `to`: a temporary folder's path made a
// placeholder, so that an approved text names nothing of one run.
inline std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); !from.empty() && at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// Expects `text` to be the bytes of the approved file; with
// QVI_APPROVE_GOLDEN set, writes it there first.
inline void ExpectApproved(const std::filesystem::path& approved, const std::string& text) {
  if (std::getenv("QVI_APPROVE_GOLDEN") != nullptr) WriteFileBytes(approved, text);
  ASSERT_TRUE(std::filesystem::exists(approved)) << approved << " has not been approved yet";
  const std::string expected = ReadFileBytes(approved);
  EXPECT_TRUE(text == expected) << approved.string() << " differs from the approved text:\n"
                                << scenario::UnifiedDiff(expected, text);
}

}  // namespace qvi::testing
