// The embedded scenarios run through the replacement host on the real Win32
// API under Wine (qviflow) must do what qvihost reports on the emulated
// machine: the same host calls, events, host state, log and files, and the
// same registry. scripts/test-windows.sh runs this program with QVI_QVIFLOW
// naming the 64-bit qviflow.exe and WINEPREFIX its Wine prefix.
//
// The registry is compared in two ways. Below SOFTWARE\Halvorn, which qviflow
// empties first as on a fresh machine, the changes are the same (as sets:
// Wine enumerates values sorted by name, Windows in creation order). Other
// keys (the OLE/DCOM table) exist in a Wine prefix already, so there every
// value the emulated run set must be in the registry as the run left it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <tuple>

#include <nlohmann/json.hpp>

#include "report.h"
#include "run.h"
#include "runtime/code_page.h"
#include "scenario.h"
#include "temp_folder.h"

namespace qvi::cli {
namespace {

using json = nlohmann::ordered_json;

bool InProductTree(const std::string& key) {
  for (const char* root : {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn", "HKEY_CURRENT_USER\\SOFTWARE\\Halvorn"}) {
    if (code_page::StartsWithNoCase(key, root)) return true;
  }
  return false;
}

using Change = std::tuple<std::string, std::string, std::string, std::string, std::string, std::string>;

std::multiset<Change> ProductChanges(const json& report) {
  std::multiset<Change> changes;
  for (const json& c : report["registry_changes"]) {
    const std::string key = c["key"];
    if (!InProductTree(key)) continue;
    changes.insert({c["op"], code_page::Lower(key), c.value("name", ""), c.value("type", ""), c.value("data", ""),
                    c.contains("size") ? c["size"].dump() : ""});
  }
  return changes;
}

// Runs qviflow under Wine in a namespace of its own whose host name is the
// scenario's computer name, which Wine reads when its server starts.
json RunOnWine(const Scenario& scenario, const std::string& name, const std::set<std::string>& watch) {
  const std::string qviflow = std::getenv("QVI_QVIFLOW");
  testing::TempFolder out("qvi-flow-");
  const std::string file = (out.path() / "report.json").string();
  std::string command = "/usr/lib/wine/wine64 '" + qviflow + "' " + name;
  for (const std::string& key : watch) command += " --watch '" + key + "'";
  const std::string server = "/usr/lib/wine/wineserver";
  const std::string script = "hostname " + scenario.machine.computer_name + " && " + server + " -k 2>/dev/null; " +
                             server + " -p </dev/null >/dev/null 2>&1; /usr/lib/wine/wine64 wineboot </dev/null " +
                             ">/dev/null 2>&1; " + command + " >'" + file + "'; status=$?; " + server +
                             " -k; exit $status";
  const int status = std::system(("unshare -u sh -c \"" + script + "\"").c_str());
  EXPECT_EQ(status, 0) << command;
  std::ifstream in(file);
  return json::parse(in);
}

class WindowsFlowTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (std::getenv("QVI_QVIFLOW") == nullptr || std::getenv("WINEPREFIX") == nullptr) {
      GTEST_SKIP() << "needs QVI_QVIFLOW and WINEPREFIX, as scripts/test-windows.sh sets them";
    }
  }
};

TEST_P(WindowsFlowTest, RunOnWin32EqualsTheEmulatedRun) {
  const Scenario scenario = LoadScenario(GetParam());
  const json emulated = ReportJson(RunScenario(scenario, {}));
  std::set<std::string> watch;
  for (const json& c : emulated["registry_changes"]) {
    if (!InProductTree(c["key"])) watch.insert(c["key"].get<std::string>());
  }
  const json real = RunOnWine(scenario, GetParam(), watch);

  for (const char* part : {"events", "host_calls", "host_state", "files", "log", "message_boxes"}) {
    EXPECT_EQ(real[part], emulated[part]) << part;
  }
  EXPECT_EQ(real["machine"]["computer_name"], emulated["machine"]["computer_name"]);
  EXPECT_EQ(ProductChanges(real), ProductChanges(emulated));

  std::set<std::tuple<std::string, std::string, std::string, std::string, std::string>> after;
  for (const json& key : real["registry_after"]) {
    for (const json& v : key["values"]) {
      after.insert({code_page::Lower(key["key"].get<std::string>()), code_page::Lower(v["name"].get<std::string>()),
                    v["type"], v["data"], v["size"].dump()});
    }
  }
  for (const json& c : emulated["registry_changes"]) {
    if (InProductTree(c["key"])) continue;
    ASSERT_NE(c["op"], "delete_key") << c.dump();
    if (c["op"] != "set_value") continue;
    EXPECT_EQ(after.count({code_page::Lower(c["key"].get<std::string>()), code_page::Lower(c["name"].get<std::string>()),
                           c["type"], c["data"], c["size"].dump()}),
              1u)
        << c.dump();
  }
}

INSTANTIATE_TEST_SUITE_P(Embedded, WindowsFlowTest, ::testing::ValuesIn(EmbeddedScenarioNames()),
                         [](const auto& info) {
                           std::string name = info.param;
                           for (char& c : name) c = c == '-' ? '_' : c;
                           return name;
                         });

}  // namespace
}  // namespace qvi::cli
