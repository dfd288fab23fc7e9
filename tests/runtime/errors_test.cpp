#include "runtime/errors.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace qvi {
namespace {

// Runs three statements, the second of which fails, under `mode`.
std::vector<std::string> RunThree(const OnError& mode, std::string& target) {
  std::vector<std::string> ran;
  mode([&] { ran.push_back("first"); });
  mode([&] {
    const std::string value = "never";
    throw Error(440, "Automation error");
    target = value;  // NOLINT: shows the assignment is abandoned with the statement
  });
  mode([&] { ran.push_back("third"); });
  return ran;
}

TEST(OnErrorTest, ResumeNextDropsTheFailingStatementAndGoesOn) {
  std::string target = "before";
  EXPECT_EQ(RunThree(OnError::ResumeNext(), target), (std::vector<std::string>{"first", "third"}));
  EXPECT_EQ(target, "before");
}

TEST(OnErrorTest, ReportHearsOfEachFailureThenGoesOn) {
  std::vector<std::string> reports;
  std::string target = "before";
  const auto ran = RunThree(OnError::Report([&](const Error& e) { reports.push_back(e.description()); }), target);
  EXPECT_EQ(ran, (std::vector<std::string>{"first", "third"}));
  EXPECT_EQ(reports, std::vector<std::string>{"Automation error"});
  EXPECT_EQ(target, "before");
}

TEST(OnErrorTest, AReporterThatFailsPassesItsErrorOn) {
  const OnError mode = OnError::Report([](const Error&) { throw Error(75, "Path/File access error"); });
  try {
    mode([] { throw Error(5, "Invalid procedure call or argument"); });
    FAIL() << "expected the reporter's error";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), 75);
  }
}

TEST(OnErrorTest, PassToCallerLetsTheErrorLeave) {
  std::string target;
  EXPECT_THROW(RunThree(OnError::PassToCaller(), target), Error);
}

TEST(OnErrorTest, OnlyTheSystemsErrorsAreAbsorbed) {
  EXPECT_THROW(OnError::ResumeNext()([] { throw std::logic_error("a bug"); }), std::logic_error);
  EXPECT_TRUE(OnError::ResumeNext()([] {}));
  EXPECT_FALSE(OnError::ResumeNext()([] { throw errors::Overflow(); }));
}

}  // namespace
}  // namespace qvi
