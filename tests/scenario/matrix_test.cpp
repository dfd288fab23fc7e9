#include "scenario/matrix.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace qvi::scenario {
namespace {

const MatrixRow* RowOf(const Matrix& m, const std::string& label) {
  for (const MatrixRow& row : m.rows) {
    for (const Fault& f : row.faults) {
      if (f.Label() == label) return &row;
    }
  }
  return nullptr;
}

bool Has(const std::vector<std::string>& lines, const std::string& start) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) { return line.rfind(start, 0) == 0; });
}

TEST(MatrixTest, EveryCallOfTheCleanRunFailsOnceAndEachEffectFollowsItsRoutine) {
  const Scenario scenario = LoadScenario("install-nt");
  const Matrix m = RunMatrix(scenario, 2);
  const RunResult clean = RunScenario(scenario, {});
  std::size_t os_calls = 0;
  for (const auto& [function, count] : clean.os_calls_after_event.back()) os_calls += static_cast<std::size_t>(count);
  EXPECT_EQ(m.runs, 1 + clean.host_calls.size() + os_calls);
  std::size_t grouped = 0;
  for (const MatrixRow& row : m.rows) grouped += row.faults.size();
  EXPECT_EQ(grouped, m.runs - 1);

  // The console preparation continues silently: a refused "BC Defaults" costs
  // the defaults and nothing else, and every event completes.
  const MatrixRow* bc_defaults = RowOf(m, "RegCreateKeyA #1 (5)");
  ASSERT_NE(bc_defaults, nullptr);
  EXPECT_EQ(bc_defaults->effect.outcomes, m.clean.outcomes);
  EXPECT_TRUE(Has(bc_defaults->effect.registry, "- set HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\Tessaly\\Management "
                                                "Console\\BC Defaults\\AutoAnswer \"BAUD\" REG_SZ \"38400\""));
  EXPECT_TRUE(bc_defaults->effect.log.empty());
  EXPECT_TRUE(bc_defaults->effect.host.empty());

  // The post-setup's icon request is one statement: its first title failing
  // costs the icon; the message, which asks again, ends without a result.
  const MatrixRow* title = RowOf(m, "QviPublic 20 GetText #1 (440)");
  ASSERT_NE(title, nullptr);
  EXPECT_TRUE(title->effect.registry.empty());
  EXPECT_TRUE(Has(title->effect.host, "- icon \"Quorvex Management Console\""));
  EXPECT_TRUE(Has(title->effect.log, "+ (QviConsole) : Installing icon:"));
  ASSERT_FALSE(title->effect.log.empty());
  EXPECT_TRUE(title->effect.log.back().ends_with("Default Icon: "));

  // Closing a handle that fails changes nothing anyone sees.
  const MatrixRow* close = RowOf(m, "RegCloseKey #1 (6)");
  ASSERT_NE(close, nullptr);
  EXPECT_TRUE(close->effect.None(m.clean));
  EXPECT_EQ(MatrixJson(m)["rows"].size(), m.rows.size());
}

}  // namespace
}  // namespace qvi::scenario
