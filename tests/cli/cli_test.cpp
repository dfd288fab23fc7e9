#include "cli.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "support/temp_dir.h"

namespace qvi::cli {
namespace {

struct Outcome {
  int code;
  std::string out;
  std::string err;
};

Outcome Cli(std::vector<std::string> args, const std::string& input = "", bool terminal = false) {
  std::ostringstream out;
  std::ostringstream err;
  std::istringstream in(input);
  const int code = RunCli(args, {out, err, in, terminal});
  return {code, out.str(), err.str()};
}

TEST(CliTest, NoArgumentsRunsTheTypicalInstallation) {
  const Outcome o = Cli({});
  EXPECT_EQ(o.code, kExitOk) << o.err;
  EXPECT_NE(o.out.find("Scenario install-nt on a temporary machine"), std::string::npos);
  EXPECT_NE(o.out.find("[creation]\n    QviPublic 14 SetSettingsFile(\"QVIConsole.ini\") -> Empty"), std::string::npos);
  EXPECT_NE(o.out.find("QviPublic 3 SetCopySection(\"Common\", 0)"), std::string::npos);
  EXPECT_NE(o.out.find("\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\Tessaly\\Management Console\\BC Defaults\\Pager]\n"
                       "\"BAUD\"=\"2400\"\n"),
            std::string::npos);
  EXPECT_NE(o.out.find("C:\\ods.txt (created)"), std::string::npos);
  EXPECT_NE(o.out.find("copy sections: NT Common"), std::string::npos);
}

TEST(CliTest, JsonReportHasEveryPart) {
  const Outcome o = Cli({"run", "install-95", "--json"});
  ASSERT_EQ(o.code, kExitOk) << o.err;
  const auto doc = nlohmann::json::parse(o.out);
  for (const char* field : {"events", "host_calls", "registry_changes", "files", "log", "message_boxes", "host_state"}) {
    EXPECT_TRUE(doc.contains(field)) << field;
  }
  ASSERT_EQ(doc["events"].size(), 3u);
  EXPECT_EQ(doc["events"][1]["event"], "qviSetup");
  EXPECT_EQ(doc["events"][1]["outcome"], "completed");

  EXPECT_EQ(doc["host_calls"][1], nlohmann::json::parse(R"({"event": "qviSetup", "control": "QviPublic", "dispid": 22,
      "operation": "GetPlatform", "args": [{"value": 262144, "type": "Long", "by_ref": true}], "result": 2,
      "failed": false})"));

  // On Windows 95 the post-setup writes registrations under HKEY_CLASSES_ROOT,
  // which the report shows where they land.
  bool classes = false;
  for (const auto& change : doc["registry_changes"]) {
    const std::string key = change["key"];
    EXPECT_TRUE(key.rfind("HKEY_LOCAL_MACHINE\\", 0) == 0 || key.rfind("HKEY_CURRENT_USER\\", 0) == 0) << key;
    if (change["op"] == "set_value" && change["type"] == "REG_SZ") {
      EXPECT_EQ(change["size"], change["data"].get<std::string>().size() + 1) << key;
    }
    classes = classes || key.rfind("HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\", 0) == 0;
  }
  EXPECT_TRUE(classes);
  EXPECT_EQ(doc["host_state"]["copy_sections"], nlohmann::json({"95", "Common"}));
  EXPECT_EQ(doc["files"][0]["path"], "C:\\ods.txt");
  EXPECT_EQ(doc["log"][0].get<std::string>().rfind("(QviConsole) : Installing icon: ", 0), 0u);
}

TEST(CliTest, ListAndShow) {
  const Outcome list = Cli({"list"});
  EXPECT_EQ(list.code, kExitOk);
  std::vector<std::string> names;
  std::istringstream lines(list.out);
  for (std::string line; std::getline(lines, line);) names.push_back(line.substr(0, line.find(' ')));
  EXPECT_EQ(names, (std::vector<std::string>{"install-nt", "install-95", "upgrade", "uninstall"}));
  const Outcome show = Cli({"show", "upgrade"});
  EXPECT_EQ(show.code, kExitOk);
  EXPECT_EQ(nlohmann::json::parse(show.out)["name"], "upgrade");
}

struct ExitCase {
  const char* name;
  std::vector<std::string> args;
  int code;
  const char* err_contains;
};

class ExitCodeTest : public ::testing::TestWithParam<ExitCase> {};

TEST_P(ExitCodeTest, Status) {
  const Outcome o = Cli(GetParam().args);
  EXPECT_EQ(o.code, GetParam().code) << o.err;
  EXPECT_NE(o.err.find(GetParam().err_contains), std::string::npos) << o.err;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExitCodeTest,
    ::testing::Values(ExitCase{"Help", {"--help"}, kExitOk, ""},
                      ExitCase{"RunHelp", {"run", "--help"}, kExitOk, ""},
                      ExitCase{"ShowHelp", {"show", "--help"}, kExitOk, ""},
                      ExitCase{"ListHelp", {"list", "--help"}, kExitOk, ""},
                      ExitCase{"UnknownOption", {"run", "install-nt", "--jsn"}, kExitBadInput, "--jsn"},
                      ExitCase{"UnknownCommand", {"walk"}, kExitBadInput, "walk"},
                      ExitCase{"RunWithoutScenario", {"run"}, kExitBadInput, "scenario"},
                      ExitCase{"ShowUnknown", {"show", "install-xp"}, kExitBadInput, "install-xp"},
                      ExitCase{"RunMissingFile", {"run", "/nonexistent/s.json"}, kExitBadInput, "/nonexistent/s.json"}),
    [](const auto& info) { return info.param.name; });

TEST(CliTest, BadScenarioFilesAreBadInput) {
  testing::TempDir dir;
  const std::pair<const char*, const char*> cases[] = {
      {"{\n  \"events\": [\"creation\"\n}\n", "bad.json:3:1: "},
      {R"({"host": {"installing": "yes"}, "events": []})", "bad.json: field host.installing"},
      // A seed registry the machine cannot read names its line.
      {R"({"machine": {"registry": ["REGEDIT4", "", "[HKEY_LOCAL_MACHINE\\X", "\"a\"=\"b\""]}, "events": ["creation"]})",
       "bad registry seed:3:"},
  };
  for (const auto& [json, where] : cases) {
    const auto file = (dir.path() / "bad.json").string();
    std::ofstream(file) << json;
    const Outcome o = Cli({"run", file});
    EXPECT_EQ(o.code, kExitBadInput) << o.err;
    EXPECT_NE(o.err.find(where), std::string::npos) << o.err;
  }
}

TEST(CliTest, InteractiveShowsEachMessageBoxAndWaits) {
  testing::TempDir dir;
  const auto file = (dir.path() / "boxes.json").string();
  std::ofstream(file) << R"({"host": {"directories": {"System": ["C:\\WINNT\\system32"]},
                                     "texts": {"7014": "Console"}, "parameters": {"Global": ["debug:3"]}},
                            "events": ["creation", "qviPostSetup"]})";
  const Outcome o = Cli({"run", file, "--interactive", "--json"}, "\n", true);
  ASSERT_EQ(o.code, kExitOk) << o.err;
  const auto doc = nlohmann::json::parse(o.out);
  ASSERT_EQ(doc["message_boxes"].size(), 1u);
  EXPECT_EQ(doc["message_boxes"][0]["caption"], "QviConsole");
  EXPECT_NE(o.err.find("+-- QviConsole --\nInstalling icon: Console"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("press Enter"), std::string::npos);

  const Outcome piped = Cli({"run", file, "--interactive"}, "", false);
  EXPECT_EQ(piped.code, kExitOk);
  EXPECT_EQ(piped.err.find("+-- QviConsole"), std::string::npos);
  EXPECT_NE(piped.out.find("Message boxes (1)"), std::string::npos);
}

// The built program itself, as a user runs it.
TEST(QvihostBinaryTest, ExitStatusReachesTheShell) {
  testing::TempDir dir;
  const std::string program = QVIHOST_PATH;
  const auto status = [&](const std::string& args) {
    const int raw = std::system((program + " " + args + " >/dev/null 2>&1").c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  };
  EXPECT_EQ(status(""), 0);
  EXPECT_EQ(status("run upgrade --machine " + (dir.path() / "m").string()), 0);
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "m" / "registry.reg"));
  EXPECT_EQ(status("run " + (dir.path() / "none.json").string()), 2);
}

}  // namespace
}  // namespace qvi::cli
