// The readable matrix as its reader sees it: a row a line with the rows that
// only lost their own call's write folded, every row whole with --all, only
// the worse rows with --severity, the counts always the whole matrix's.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/cli_runner.h"

namespace qvi::cli {
namespace {

const fs::path kMatrixGolden = fs::path(QVI_GOLDEN_DIR) / "matrix";

// Rows and faults of each severity, from the lines that start a row or a
// fold ("[7] 2 faults, state silently lost" with or without what follows).
std::map<std::string, std::pair<int, int>> Tally(const std::string& text) {
  static const std::regex start(R"(^\[(\d+|\*)\] (\d+) faults?, ([a-z ]+?)(:.*)?$)");
  std::map<std::string, std::pair<int, int>> tally;
  for (const std::string& line : LinesOf(text)) {
    std::smatch m;
    if (!std::regex_match(line, m, start)) continue;
    auto& [rows, faults] = tally[m[3]];
    rows += m[1] == "*" ? 0 : 1;
    faults += std::stoi(m[2]);
  }
  return tally;
}

// The line "By severity (rows, faults): outcome changed 0 (0), ..." the
// tally of a whole matrix gives.
std::string SeverityLine(const std::map<std::string, std::pair<int, int>>& tally) {
  std::string line = "By severity (rows, faults):";
  const char* names[] = {"outcome changed", "state silently lost", "host requests changed", "state added", "no effect"};
  for (const char* name : names) {
    const auto it = tally.find(name);
    const auto [rows, faults] = it == tally.end() ? std::pair{0, 0} : it->second;
    line += std::string(name == names[0] ? " " : ", ") + name + " " + std::to_string(rows) + " (" +
            std::to_string(faults) + ")";
  }
  return line;
}

// An upgrade on Windows 95 with the console on drive D runs hundreds of
// faults; folded, they fit one screen, and what the header counts is what
// the rows whole hold, fault for fault.
TEST(MatrixViewTest, AWindows95UpgradeFoldsOntoOneScreenAndCountsEveryRow) {
  const std::string scenario = (kMatrixGolden / "upgrade-95-drive-d.json").string();
  const Outcome folded = Cli({"matrix", scenario, "--jobs", "2"});
  ASSERT_EQ(folded.code, kExitOk) << folded.err;
  ExpectApproved(kMatrixGolden / "upgrade-95-drive-d.txt", folded.out);
  const std::vector<std::string> lines = LinesOf(folded.out);
  EXPECT_LE(lines.size(), 50u);

  const Outcome all = Cli({"matrix", scenario, "--jobs", "2", "--all"});
  ASSERT_EQ(all.code, kExitOk) << all.err;
  const std::string counted = SeverityLine(Tally(all.out));
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[2], counted);
  EXPECT_EQ(LinesOf(all.out).at(2), counted);
  // The folded lines hold every fault of every severity.
  std::map<std::string, int> faults;
  for (const auto& [severity, count] : Tally(all.out)) faults[severity] = count.second;
  std::map<std::string, int> shown;
  for (const auto& [severity, count] : Tally(folded.out)) shown[severity] = count.second;
  EXPECT_EQ(shown, faults);
}

// --severity keeps the rows of that severity and the worse ones, in text and
// JSON, under the whole matrix's counts; another level is refused before
// any run, naming the levels.
TEST(MatrixViewTest, SeverityShowsTheWorseRowsUnderTheWholeCounts) {
  const std::vector<std::string> every = LinesOf(Cli({"matrix", "install-nt"}).out);
  ASSERT_GT(every.size(), 5u);
  const struct {
    std::string level;
    std::vector<std::string> shown;
    std::string named;
  } cases[] = {
      {"lost", {"outcome changed", "state silently lost"}, "state silently lost"},
      {"host requests changed", {"outcome changed", "state silently lost", "host requests changed"},
       "host requests changed"},
  };
  for (const auto& c : cases) {
    const Outcome o = Cli({"matrix", "install-nt", "--severity", c.level});
    ASSERT_EQ(o.code, kExitOk) << o.err;
    std::vector<std::string> expected(every.begin(), every.begin() + 3);
    expected.push_back("Shown: rows of " + c.named + " or worse");
    expected.push_back("");
    for (auto line = every.begin() + 4; line != every.end(); ++line) {
      for (const std::string& severity : c.shown) {
        if (line->find(", " + severity + ": ") != std::string::npos) expected.push_back(*line);
      }
    }
    EXPECT_EQ(LinesOf(o.out), expected) << c.level;
  }
  const Outcome json = Cli({"matrix", "install-nt", "--severity", "lost", "--json"});
  const auto document = nlohmann::json::parse(json.out);
  EXPECT_EQ(document["faults"], 66);
  ASSERT_EQ(document["rows"].size(), 39u);
  for (const auto& row : document["rows"]) EXPECT_EQ(row["severity"], "state silently lost");

  const Outcome bad = Cli({"matrix", "install-nt", "--severity", "worst"});
  ExpectApproved(Golden("severity-refused.txt"), "exit " + std::to_string(bad.code) + "\n" + bad.out + bad.err);
}

}  // namespace
}  // namespace qvi::cli
