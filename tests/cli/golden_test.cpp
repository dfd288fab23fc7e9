// Approval tests: the whole --json report of each embedded scenario and of
// each scenario in golden/scenarios/ is compared with the approved one in
// golden/, byte for byte. After reading a changed report against what the
// snap-in must do, approve it with scripts/approve-golden.sh.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

#include "scenario/report.h"
#include "scenario/run.h"
#include "scenario/scenario.h"
#include "testing/golden.h"

namespace qvi::cli {

using namespace qvi::scenario;
namespace {

namespace fs = std::filesystem;

const fs::path kGoldenDir = QVI_GOLDEN_DIR;

struct Golden {
  std::string name;
  std::string scenario;  // an embedded name or a file
};

void PrintTo(const Golden& golden, std::ostream* out) { *out << golden.name; }

std::vector<Golden> AllGolden() {
  std::vector<Golden> all;
  for (const std::string& name : EmbeddedScenarioNames()) all.push_back({name, name});
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(kGoldenDir / "scenarios")) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  for (const fs::path& file : files) all.push_back({file.stem().string(), file.string()});
  return all;
}

class GoldenTest : public ::testing::TestWithParam<Golden> {};

TEST_P(GoldenTest, ReportIsTheApprovedOne) {
  const Golden& golden = GetParam();
  const RunResult result = RunScenario(LoadScenario(golden.scenario), {});
  const std::string report = ReportJson(result).dump(2) + "\n";
  qvi::testing::ExpectApproved(kGoldenDir / (golden.name + ".json"), report);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, GoldenTest, ::testing::ValuesIn(AllGolden()), [](const auto& info) {
  std::string name = info.param.name;
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
});

}  // namespace
}  // namespace qvi::cli
