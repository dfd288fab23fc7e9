// The embedded scenarios run on the real Win32 API under Wine must do what
// qvihost reports on the emulated machine: the same host calls, events, host
// state, log and files, and the same registry. Two drivers run them: qviflow,
// through the replacement host in process, and qvicom, through COM, with
// "QviConsole.ocx" and the test host kit registered in the prefix for the
// run; in a 32-bit prefix qvicom runs them again with the control library
// loaded as Windows 95 and as NT 4.0 would load it. scripts/test-windows.sh
// runs this program with QVI_QVIFLOW, QVI_QVICOM, QVI_HOST_KIT and QVI_OCX
// naming the binaries of one architecture and WINEPREFIX its Wine prefix.
//
// The registry is compared in two ways. Below SOFTWARE\Halvorn, which qviflow
// empties first as on a fresh machine, the changes are the same (as sets:
// Wine enumerates values sorted by name, Windows in creation order). Other
// keys (the OLE/DCOM table) exist in a Wine prefix already, so there every
// value the emulated run set must be in the registry as the run left it.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <tuple>

#include <nlohmann/json.hpp>

#include "qvihost/cli.h"
#include "runtime/code_page.h"
#include "scenario/report.h"
#include "scenario/run.h"
#include "scenario/scenario.h"
#include "testing/temp_folder.h"

namespace qvi::cli {

using namespace qvi::scenario;
namespace {

using json = nlohmann::ordered_json;

bool InProductTree(const std::string& key) {
  return code_page::StartsWithNoCase(key, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn") ||
         code_page::StartsWithNoCase(key, "HKEY_CURRENT_USER\\SOFTWARE\\Halvorn");
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

// A Linux path as Wine's Z: drive shows it.
std::string WinePath(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return "Z:" + path;
}

bool ThirtyTwoBitPrefix() { return std::getenv("WINEARCH") && std::string(std::getenv("WINEARCH")) == "win32"; }

// The loader of the prefix's architecture: a 32-bit prefix refuses the
// 64-bit one.
std::string Wine(const std::string& arguments) {
  return (ThirtyTwoBitPrefix() ? "/usr/lib/wine/wine " : "/usr/lib/wine/wine64 ") + arguments;
}

// The exit status of `program` run under Wine with `arguments`, its standard
// output to `out`, under a Wine server of its own. Given a host name, it runs
// in a namespace of its own with that host name, which Wine reads when its
// server starts; `before` and `after` are shell commands run around it under
// the same server (`after` whatever the program's fate).
int RunOnWine(const std::string& program, const std::string& arguments, const std::string& out,
              const std::string& host_name = "", const std::string& before = "", const std::string& after = "") {
  const std::string server = "/usr/lib/wine/wineserver";
  std::string script = server + " -p </dev/null >/dev/null 2>&1; ";
  if (!host_name.empty()) {
    script = "hostname " + host_name + " && " + server + " -k 2>/dev/null; " + script +
             Wine("wineboot </dev/null >/dev/null 2>&1; ");
  }
  script += before + Wine("'" + program + "' " + arguments) + " >'" + out + "'; status=\\$?; " + after + server +
            " -k; exit \\$status";
  const std::string shell = host_name.empty() ? "sh -c \"" : "unshare -u sh -c \"";
  const int status = std::system((shell + script + "\"").c_str());
  EXPECT_TRUE(WIFEXITED(status)) << status;
  return WEXITSTATUS(status);
}

// Runs `program` on the scenario `name` (an embedded scenario's name or a
// scenario file's path) under Wine, watching the keys the emulated run changes
// outside the product's tree, and compares its report with the emulated run's.
void ExpectSameRunAsEmulated(const char* program, const std::string& name, const std::string& options = "",
                             const std::string& before = "", const std::string& after = "") {
  const Scenario scenario = LoadScenario(name);
  const json emulated = ReportJson(RunScenario(scenario, {}));
  std::string arguments = (name.find('/') == std::string::npos ? name : "'" + WinePath(name) + "'") + options;
  std::set<std::string> watch;
  for (const json& c : emulated["registry_changes"]) {
    if (!InProductTree(c["key"])) watch.insert(c["key"].get<std::string>());
  }
  for (const std::string& key : watch) arguments += " --watch '" + key + "'";
  testing::TempFolder out("qvi-flow-");
  const std::string file = (out.path() / "report.json").string();
  EXPECT_EQ(RunOnWine(program, arguments, file, scenario.machine.computer_name, before, after), 0) << arguments;
  std::ifstream in(file);
  const json real = json::parse(in, nullptr, false);
  ASSERT_FALSE(real.is_discarded()) << "the run printed no report";
  // What the emulated host did with a directory request is its own work on
  // the emulated machine; the request and its answer are the snap-in's.
  json emulated_state = emulated["host_state"];
  for (json& op : emulated_state["directory_operations"]) {
    op.erase("outcome");
    op["action"] = "none";
  }
  json real_state = real["host_state"];
  for (json& op : real_state["directory_operations"]) op.erase("outcome");
  EXPECT_EQ(real_state, emulated_state);
  for (const char* part : {"events", "host_calls", "files", "log", "message_boxes"}) {
    EXPECT_EQ(real[part], emulated[part]) << part;
  }
  EXPECT_EQ(real["machine"]["computer_name"], emulated["machine"]["computer_name"]);
  EXPECT_EQ(ProductChanges(real), ProductChanges(emulated));

  const auto value = [](const json& key, const json& v) {
    return std::tuple(code_page::Lower(key.get<std::string>()), code_page::Lower(v["name"].get<std::string>()),
                      v["type"].get<std::string>(), v["data"].get<std::string>(), v["size"].dump());
  };
  std::set<std::tuple<std::string, std::string, std::string, std::string, std::string>> left;
  for (const json& key : real["registry_after"]) {
    for (const json& v : key["values"]) left.insert(value(key["key"], v));
  }
  for (const json& c : emulated["registry_changes"]) {
    if (InProductTree(c["key"])) continue;
    ASSERT_NE(c["op"], "delete_key") << c.dump();
    if (c["op"] != "set_value") continue;
    EXPECT_EQ(left.count(value(c["key"], c)), 1u) << c.dump();
  }
}

// An embedded scenario's name, or a scenario file's without its folder.
std::string TestName(const ::testing::TestParamInfo<std::string>& info) {
  std::string name = std::filesystem::path(info.param).stem().string();
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

class WindowsFlow : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("QVI_QVIFLOW") || !std::getenv("WINEPREFIX")) GTEST_SKIP() << "needs QVI_QVIFLOW and WINEPREFIX";
  }
};

class WindowsFlowTest : public WindowsFlow, public ::testing::WithParamInterface<std::string> {};

TEST_P(WindowsFlowTest, RunOnWin32EqualsTheEmulatedRun) {
  ExpectSameRunAsEmulated(std::getenv("QVI_QVIFLOW"), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Embedded, WindowsFlowTest, ::testing::ValuesIn(EmbeddedScenarioNames()), TestName);

// A run whose report cannot be written (here to a full disk) fails, so a
// flow compared against nothing is never taken for a success.
TEST_F(WindowsFlow, AReportThatCannotBeWrittenIsNoSuccess) {
  EXPECT_EQ(RunOnWine(std::getenv("QVI_QVIFLOW"), "install-nt", "/dev/full"), kExitInternalError);
}

// A machine that cannot be prepared (its Windows folder is a file) is the
// run's failure, not bad input, whichever driver runs it; a scenario that
// cannot be read is bad input.
TEST_F(WindowsFlow, BothDriversTellTheRunsFailuresFromBadInput) {
  const testing::TempFolder folder("qvi-flow-");
  const std::string broken = (folder.path() / "broken.json").string();
  std::ofstream(broken) << R"({"name": "broken", "base": "install-nt",
                                "machine": {"windows_directory": "C:\\windows\\win.ini"}})";
  for (const char* driver : {"QVI_QVIFLOW", "QVI_QVICOM"}) {
    if (std::getenv(driver) == nullptr) continue;
    EXPECT_EQ(RunOnWine(std::getenv(driver), "'" + WinePath(broken) + "'", "/dev/null"), kExitInternalError) << driver;
    EXPECT_EQ(RunOnWine(std::getenv(driver), "no-such-scenario", "/dev/null"), kExitBadInput) << driver;
  }
}

// (scenario, loader, whether Wine reports that loader's Windows version to
// qvicom too). The scenario is an embedded scenario's name or a scenario
// file's path; the loader is Wine's own (""), or qvicom's as Windows 95
// ("win95") or NT 4.0 ("nt40") would load the control library, names that
// Wine's version setting takes too.
using ComRun = std::tuple<std::string, std::string, bool>;

class ComFlowTest : public ::testing::TestWithParam<ComRun> {
 protected:
  void SetUp() override {
    for (const char* name : {"QVI_QVICOM", "QVI_HOST_KIT", "QVI_OCX", "WINEPREFIX"}) {
      if (std::getenv(name) == nullptr) GTEST_SKIP() << "needs " << name << ", as scripts/test-windows.sh sets it";
    }
    if (!std::filesystem::exists(std::getenv("QVI_OCX"))) GTEST_SKIP() << "no QviConsole.ocx in this build";
    if (!std::get<1>(GetParam()).empty() && !ThirtyTwoBitPrefix()) GTEST_SKIP() << "no 64-bit Windows 95 or NT 4.0";
  }
};

// The libraries are registered for this run only, under its own server, and
// taken back whatever the run's fate: the kit always, the control library by
// regsvr32 under Wine's loader, by qvicom itself under the others. Wine's
// version for qvicom alone is set and taken back likewise. A host may create
// the control by its ProgID: uninstall does so, the others by the CLSID.
TEST_P(ComFlowTest, RunThroughTheControlEqualsTheEmulatedRun) {
  const auto& [name, loader, wine_reports_it] = GetParam();
  const std::string ocx = "'" + WinePath(std::getenv("QVI_OCX")) + "'";
  const std::string kit = "'" + WinePath(std::getenv("QVI_HOST_KIT")) + "'";
  std::string options = name == "uninstall" ? " --progid" : "";
  std::string before = Wine("regsvr32 /s " + kit + " && "), after = Wine("regsvr32 /u /s " + kit + "; ");
  if (loader.empty()) {
    before = Wine("regsvr32 /s " + ocx + " && ") + before;
    after += Wine("regsvr32 /u /s " + ocx + "; ");
  } else {
    options += " --personality " + loader + " --ocx " + ocx;
  }
  if (wine_reports_it) {
    const std::string key = "'HKCU\\Software\\Wine\\AppDefaults\\qvicom.exe'";
    before += Wine("reg add " + key + " /v Version /d " + loader + " /f >/dev/null && ");
    after += Wine("reg delete " + key + " /f >/dev/null; ");
  }
  ExpectSameRunAsEmulated(std::getenv("QVI_QVICOM"), name, options, before, after);
}

std::string ComRunName(const ::testing::TestParamInfo<ComRun>& info) {
  const auto& [name, loader, wine_reports_it] = info.param;
  return TestName({name, info.index}) + (loader.empty() ? "" : "_" + loader) + (wine_reports_it ? "_by_wine" : "");
}

INSTANTIATE_TEST_SUITE_P(Embedded, ComFlowTest,
                         ::testing::Combine(::testing::ValuesIn(EmbeddedScenarioNames()), ::testing::Values(""),
                                            ::testing::Values(false)),
                         ComRunName);

INSTANTIATE_TEST_SUITE_P(OldWindows, ComFlowTest,
                         ::testing::Combine(::testing::ValuesIn(EmbeddedScenarioNames()),
                                            ::testing::Values("win95", "nt40"), ::testing::Bool()),
                         ComRunName);

// Where only COM can go wrong: an exception out of the page notification's
// sink, a by-reference call failing or answering too wide, a failing call
// during creation.
INSTANTIATE_TEST_SUITE_P(
    HostFailures, ComFlowTest,
    ::testing::Combine(::testing::Values(QVI_GOLDEN_SCENARIOS "/page-notification-failures.json",
                                         QVI_GOLDEN_SCENARIOS "/setup-platform-query-fails.json",
                                         QVI_GOLDEN_SCENARIOS "/setup-platform-answer-too-wide.json",
                                         QVI_GOLDEN_SCENARIOS "/creation-settings-file-fails.json"),
                       ::testing::Values(""), ::testing::Values(false)),
    ComRunName);

}  // namespace
}  // namespace qvi::cli
