// Every row of a matrix, its first fault pasted back into the scenario as the
// matrix's JSON gives it, runs to the row's effect: a row that cannot be
// reproduced cannot be investigated.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "scenario/matrix.h"
#include "scenario/run.h"
#include "scenario/scenario.h"

namespace qvi::scenario {
namespace {

using json = nlohmann::json;

constexpr const char* kLifeCycle = QVI_EXAMPLES_DIR "/life-cycle/install-upgrade-uninstall.json";

// The scenario document `base` with `fault` (a row's fault in the matrix's
// JSON) in the place it says: its "host.failures" or "platform_failures",
// of the step it names in a life cycle.
json Pasted(json base, const json& fault) {
  json& place = fault.contains("step") ? base["steps"][fault["step"].get<std::size_t>() - 1] : base;
  if (fault.contains("failure")) {
    place["host"]["failures"] = json::array({fault["failure"]});
  } else {
    place["platform_failures"] = json::array({fault["platform_failure"]});
  }
  return base;
}

class MatrixRowsTest : public testing::TestWithParam<std::string> {};

TEST_P(MatrixRowsTest, EveryRowRerunsAsAScenarioToItsEffect) {
  const bool cycle = GetParam() == kLifeCycle;
  json document = json{{"base", GetParam()}};
  if (cycle) {
    std::ifstream in(GetParam());
    document = json::parse(in);
  }
  const Scenario scenario = ParseScenario(document.dump(), "rows.json", QVI_EXAMPLES_DIR "/life-cycle");
  const Matrix matrix = RunMatrix(scenario, {});
  const json rows = MatrixJson(matrix)["rows"];
  ASSERT_EQ(rows.size(), matrix.rows.size());
  ASSERT_GT(rows.size(), 10u);
  const auto clean_run = cycle ? std::optional<RunResult>() : RunScenario(scenario, {});
  const auto clean_cycle = cycle ? RunLifeCycle(scenario, {}) : LifeCycleResult{};
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const json& fault = rows[i]["faults"][0];
    const Scenario pasted = ParseScenario(Pasted(document, fault).dump(), "row.json", QVI_EXAMPLES_DIR "/life-cycle");
    const Effect effect = cycle ? DifferenceBetween(clean_cycle, RunLifeCycle(pasted, {}))
                                : DifferenceBetween(*clean_run, RunScenario(pasted, {}));
    EXPECT_EQ(effect, matrix.rows[i].effect) << "row " << i + 1 << ": " << matrix.rows[i].faults[0].Label() << " in "
                                             << matrix.rows[i].faults[0].Place();
  }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, MatrixRowsTest,
                         testing::Values("install-nt", "install-95", "upgrade", "uninstall", kLifeCycle),
                         [](const testing::TestParamInfo<std::string>& info) {
                           return info.param == kLifeCycle ? std::string("life_cycle")
                                                           : info.param.substr(0, info.param.find('-')) +
                                                                 (info.param.find('-') == std::string::npos
                                                                      ? ""
                                                                      : "_" + info.param.substr(info.param.find('-') + 1));
                         });

}  // namespace
}  // namespace qvi::scenario
