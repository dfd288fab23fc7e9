// Life cycles as tests: the machine their steps leave, their approvals and
// the failures those catch, and a changed value told with what it held.
#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

#include "cli/cli_runner.h"

namespace qvi::cli {
namespace {

using ojson = nlohmann::ordered_json;
using CycleTest = CliFolderTest;

const std::string kCycle = std::string(QVI_EXAMPLES_DIR) + "/life-cycle/install-upgrade-uninstall.json";
const std::string kApproved = std::string(QVI_EXAMPLES_DIR) + "/expectations/install-upgrade-uninstall.json";
const std::string kPager = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\Tessaly\\Management Console\\BC Defaults\\Pager";

// Each step brings its base's seeds where the machine lacks them, so the
// steps and the same runs chained with --machine leave one machine. What the
// steps leave behind is what `qvihost diff` finds on it against a pristine
// one; two machines compare the same way.
TEST_F(CycleTest, StepsAndChainedRunsLeaveTheSameMachine) {
  const Outcome run = Cli({"run", kCycle, "--machine", Path("steps")});
  ASSERT_EQ(run.code, kExitOk) << run.err;
  const std::string title = "Left behind, against the machine before the first step\n";
  const auto left = run.out.find(title);
  ASSERT_NE(left, std::string::npos) << run.out;
  const Outcome diff = Cli({"diff", Path("steps")});
  EXPECT_EQ(diff.code, kExitOk) << diff.err;
  EXPECT_EQ(diff.out, run.out.substr(left + title.size()));
  for (const char* step : {"install-nt", "upgrade", "uninstall"}) {
    ASSERT_EQ(Cli({"run", step, "--machine", Path("chained")}).code, kExitOk) << step;
  }
  for (const std::string& other : {Path("chained"), Path("steps")}) {
    EXPECT_EQ(Cli({"diff", Path("steps"), other}).out, "Registry (0)\n\nFiles (0)\n") << other;
  }
  EXPECT_EQ(Cli({"diff", Path("none")}).code, kExitBadInput);
}

// The approved life cycle passes; each change below is caught where the
// approval states what it breaks: one more value left behind, a step's own
// expectation, an upgrade that brings no earlier installation.
TEST_F(CycleTest, ApprovalsCatchWhatIsLeftBehindAndEachStep) {
  ASSERT_EQ(Cli({"test", kApproved}).code, kExitOk);
  const struct {
    const char* name;
    const char* patch;  // merged into the approved document's steps
    std::string named;
  } cases[] = {
      {"a key the uninstall cannot remove",
       R"([{}, {}, {"platform_failures": [{"function": "RegDeleteKeyA", "occurrence": 1, "code": 5}]}])",
       "  expect.left_behind.registry[0]\n"},
      {"a step's own expectation", R"([{}, {"host": {"texts": {"7010": "Other Console"}}}, {}])",
       "  steps[1].expect.host_calls\n"},
      {"no earlier installation", R"([{}, {"seeds": false}, {}])", "+ (QviConsole) : Zel32Dir = ''"},
  };
  for (const auto& c : cases) {
    ojson document = ojson::parse(ReadFileBytes(kApproved));
    const ojson patch = ojson::parse(c.patch);
    for (std::size_t i = 0; i < patch.size(); ++i) document["steps"][i].update(patch[i]);
    WriteFileBytes(Path("changed.json"), document.dump());
    const Outcome o = Cli({"test", Path("changed.json")});
    EXPECT_EQ(o.code, kExitChecksFailed) << c.name << "\n" << o.err;
    EXPECT_NE(o.out.find(c.named), std::string::npos) << c.name << "\n" << o.out;
  }
}

// A life cycle approves itself like a run: its own section holds what is
// left behind, each step its own; its report comes as JSON and HTML too.
TEST_F(CycleTest, ALifeCycleIsApprovedAndReportedWhole) {
  const Outcome run = Cli({"run", kCycle, "--save-expect", Path("a.json"), "--html", Path("a.html"), "--json"});
  ASSERT_EQ(run.code, kExitOk) << run.err;
  const ojson approved = ojson::parse(ReadFileBytes(Path("a.json")));
  EXPECT_EQ(approved["expect"], ojson::parse(ReadFileBytes(kApproved))["expect"]);
  EXPECT_TRUE(approved["steps"][2]["expect"].contains("host_calls"));
  EXPECT_EQ(Cli({"test", Path("a.json")}).code, kExitOk);
  const ojson report = ojson::parse(run.out);
  EXPECT_EQ(report["steps"].size(), 3u);
  EXPECT_EQ(report["steps"][1]["scenario"], "upgrade");
  EXPECT_EQ(report["left_behind"]["files"].size(), 2u);
  const std::string html = ReadFileBytes(Path("a.html"));
  for (const char* part : {"id=\"step3-registry\"", ">Step 2 of 3: upgrade</h2>", "id=\"left-behind\""}) {
    EXPECT_NE(html.find(part), std::string::npos) << part;
  }
}

// A step that cannot run stops the life cycle: the steps before it keep their
// reports, the stop names the step and where the machine was left.
TEST_F(CycleTest, AStoppedStepIsNamedAndTheFinishedOnesReported) {
  WriteFileBytes(Path("b.json"), R"({"base": "upgrade", "machine": {"files": [{"path": "Q:\\x.ini"}]}})");
  WriteFileBytes(Path("c.json"), R"({"steps": [{"base": "install-nt"}, {"base": "b.json"}, {"base": "uninstall"}]})");
  const Outcome o = Cli({"run", Path("c.json")});
  EXPECT_EQ(o.code, kExitBadInput);
  EXPECT_NE(o.out.find("Step 1 of 3: Scenario install-nt"), std::string::npos) << o.out;
  EXPECT_EQ(o.out.find("Step 2 of 3"), std::string::npos) << o.out;
  ExpectApproved(Golden("stopped-step.txt"), Masked(o.err));
}

// A value the run gives other data is a change from what it held, in every
// form of the report; an expectation can hold a value unchanged.
TEST_F(CycleTest, AChangedValueIsToldWithWhatItHeld) {
  const ojson scenario = {{"base", "install-nt"},
                          {"machine", {{"registry", {"REGEDIT4", "", "[" + kPager + "]", "\"BAUD\"=\"1200\"", "\"Mine\"=\"1\""}}}}};
  WriteFileBytes(Path("s.json"), scenario.dump());
  const Outcome o = Cli({"run", Path("s.json")});
  ASSERT_EQ(o.code, kExitOk) << o.err;
  EXPECT_NE(o.out.find("\"BAUD\"=\"2400\" ; was \"1200\"\n"), std::string::npos) << o.out;
  const ojson report = ojson::parse(Cli({"run", Path("s.json"), "--json"}).out);
  bool changed = false;
  for (const ojson& change : report["registry_changes"]) {
    if (change["op"] != "change_value") continue;
    changed = true;
    EXPECT_EQ(change["name"], "BAUD");
    EXPECT_EQ(change["before"], ojson::parse(R"({"type": "REG_SZ", "data": "1200", "size": 5})"));
  }
  EXPECT_TRUE(changed);
  ojson checked = scenario;
  checked["expect"]["registry"] = {{{"key", kPager}, {"value", "BAUD"}, {"unchanged", true}},
                                   {{"key", kPager}, {"value", "Mine"}, {"unchanged", true}}};
  WriteFileBytes(Path("t.json"), checked.dump());
  const Outcome test = Cli({"test", Path("t.json")});
  ExpectApproved(Golden("unchanged-values.txt"), Told("test", test.code, test.out + test.err));
}

}  // namespace
}  // namespace qvi::cli
