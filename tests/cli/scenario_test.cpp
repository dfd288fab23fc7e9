#include "scenario.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "support/temp_dir.h"

namespace qvi::cli {
namespace {

std::string ErrorOf(const std::string& json) {
  try {
    ParseScenario(json, "s.json");
  } catch (const ScenarioError& error) {
    return error.what();
  }
  return "(no error)";
}

TEST(EmbeddedScenarioTest, EveryOneParsesAndBeginsWithCreation) {
  const auto names = EmbeddedScenarioNames();
  ASSERT_EQ(names, (std::vector<std::string>{"install-nt", "install-95", "upgrade", "uninstall"}));
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const Scenario s = LoadScenario(name);
    EXPECT_EQ(s.name, name);
    ASSERT_FALSE(s.events.empty());
    EXPECT_EQ(s.events.front().event, "creation");
    // The icon titles the events ask for are all there.
    for (std::int32_t text = 7010; text <= 7014; ++text) EXPECT_TRUE(s.host.texts.contains(text)) << text;
    EXPECT_EQ(s.host.language, "enu");
  }
}

TEST(EmbeddedScenarioTest, DefaultInstallationIsTheTypicalOneOnNt) {
  const Scenario s = LoadScenario("install-nt");
  EXPECT_EQ(s.machine.computer_name, "SRV1");
  EXPECT_EQ(s.machine.windows_directory, "C:\\WINNT");
  EXPECT_EQ(s.host.platform_code, 1);
  EXPECT_EQ(s.host.platform_version, 4 << 16);
  EXPECT_EQ(s.host.directories.at("TYConsole"), std::vector<std::string>{"C:\\Program Files\\Tessaly"});
  EXPECT_EQ(s.host.parameters.at("Global"), std::vector<std::string>{"debug:1"});
  EXPECT_EQ(s.host.unc_computer_name, "\\\\SRV1\\");
  EXPECT_EQ(s.host.drive_prefix, "\\\\SRV1");

  const Scenario upgrade = LoadScenario("upgrade");
  ASSERT_EQ(upgrade.files.size(), 1u);
  EXPECT_EQ(upgrade.files[0].path, "C:\\WINNT\\kethra.ini");
  EXPECT_NE(upgrade.files[0].content.find("[Uninstall 32]\r\nConsole="), std::string::npos);
  EXPECT_NE(upgrade.registry.find("Quorvex\\Install\\InstalledFiles]"), std::string::npos);
  EXPECT_FALSE(LoadScenario("uninstall").host.installing);
}

struct SyntaxCase {
  const char* name;
  const char* text;
  const char* where;
};

class SyntaxErrorTest : public ::testing::TestWithParam<SyntaxCase> {};

TEST_P(SyntaxErrorTest, NamesFileLineAndColumn) {
  const std::string message = ErrorOf(GetParam().text);
  EXPECT_EQ(message.rfind(std::string("s.json:") + GetParam().where + ": ", 0), 0u) << message;
  // The byte offset of the parser is not repeated to the user.
  EXPECT_EQ(message.find("byte"), std::string::npos) << message;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SyntaxErrorTest,
    ::testing::Values(SyntaxCase{"TrailingComma", "{\n  \"name\": \"x\",\n  \"events\": [\n    \"qviSetup\",\n  ]\n}", "5:3"},
                      SyntaxCase{"BadLiteral", "{\"a\": tru}", "1:10"},
                      SyntaxCase{"MissingComma", "{\n\"a\": 1\n\"b\": 2}", "3:3"},
                      SyntaxCase{"Empty", "", "1:1"},
                      SyntaxCase{"NewlineInString", "{\n  \"a\": \"x\n\"}", "2:10"}),
    [](const auto& info) { return info.param.name; });

struct FieldCase {
  const char* name;
  const char* json;
  const char* path;
};

class FieldErrorTest : public ::testing::TestWithParam<FieldCase> {};

TEST_P(FieldErrorTest, NamesTheFieldPath) {
  const std::string message = ErrorOf(GetParam().json);
  EXPECT_EQ(message.rfind(std::string("s.json: field ") + GetParam().path + ": ", 0), 0u) << message;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FieldErrorTest,
    ::testing::Values(
        FieldCase{"NotAnObject", "[]", "(top level)"},
        FieldCase{"EventsMissing", "{}", "events"},
        FieldCase{"UnknownTopField", R"({"events": [], "evnets": []})", "evnets"},
        FieldCase{"MisspeltHostField", R"({"host": {"direcories": {}}, "events": []})", "host.direcories"},
        FieldCase{"TextKeyNotNumber", R"({"host": {"texts": {"x7014": "t"}}, "events": []})", "host.texts.x7014"},
        FieldCase{"BadVersion", R"({"host": {"platform_version": "four"}, "events": []})", "host.platform_version"},
        FieldCase{"FailureWithoutDispid", R"({"host": {"failures": [{"occurrence": 1}]}, "events": []})",
                  "host.failures[0].dispid"},
        FieldCase{"NegativeOccurrence", R"({"host": {"failures": [{"dispid": 2, "occurrence": -1}]}, "events": []})",
                  "host.failures[0].occurrence"},
        FieldCase{"UnknownPlatformFunction", R"({"platform_failures": [{"function": "RegNuke"}], "events": []})",
                  "platform_failures[0].function"},
        FieldCase{"UnknownEvent", R"({"events": ["creation", "qviTeardown"]})", "events[1]"},
        FieldCase{"ArgumentToSetup", R"({"events": [{"event": "qviSetup", "argument": 1}]})", "events[0].argument"},
        FieldCase{"UpgradeVersionAsText", R"({"events": [{"event": "qviUpgrade", "argument": "1"}]})",
                  "events[0].argument"},
        FieldCase{"SeedFileWithoutPath", R"({"machine": {"files": [{"content": "x"}]}, "events": []})",
                  "machine.files[0].path"}),
    [](const auto& info) { return info.param.name; });

TEST(ScenarioTest, ReadsEventsArgumentsAndLinesOfText) {
  const Scenario s = ParseScenario(R"({
    "machine": {"registry": ["REGEDIT4", "", "[HKEY_CURRENT_USER\\X]"],
                "files": [{"path": "C:\\a.ini", "content": ["[S]", "k=v"]}]},
    "host": {"server_versions": {"SRV2": "3.51"}, "directory_operation_results": {"4": 0},
             "failures": [{"dispid": 22}]},
    "platform_failures": [{"function": "RegSetValueExA", "occurrence": 0, "code": 5}],
    "events": ["create", {"event": "qviUpgrade", "argument": 3},
               {"event": "qviPostPageNotification", "argument": "QVIGUI.COPY1"}]
  })", "s.json");
  EXPECT_EQ(s.registry, "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\X]\r\n");
  EXPECT_EQ(s.files[0].content, "[S]\r\nk=v\r\n");
  EXPECT_EQ(s.host.server_versions.at("SRV2"), 3 * 65536 + 51);
  EXPECT_EQ(s.host.directory_operation_results.at(4), 0);
  ASSERT_EQ(s.host.failures.size(), 1u);
  EXPECT_EQ(s.host.failures[0].control, rhost::kQviPublic);
  EXPECT_EQ(s.host.failures[0].occurrence, 1);
  ASSERT_EQ(s.platform_failures.size(), 1u);
  EXPECT_EQ(s.platform_failures[0].function, platform::Function::kRegSetValueExA);
  EXPECT_EQ(s.platform_failures[0].occurrence, 0);
  ASSERT_EQ(s.events.size(), 3u);
  EXPECT_EQ(s.events[0].event, "creation");
  EXPECT_EQ(s.events[1].argument, "3");
  EXPECT_EQ(s.events[2].argument, "QVIGUI.COPY1");
}

TEST(ScenarioTest, ReadsTheRegistryFileBesideTheScenario) {
  testing::TempDir dir;
  std::ofstream(dir.path() / "seed.reg") << "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Seed]\r\n";
  std::ofstream(dir.path() / "mine.json")
      << R"({"machine": {"registry_file": "seed.reg", "folder": "m"}, "events": ["creation"]})";
  const Scenario s = LoadScenario((dir.path() / "mine.json").string());
  EXPECT_EQ(s.name, "mine");
  EXPECT_EQ(s.machine_folder, dir.path() / "m");
  EXPECT_NE(s.registry.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Seed]"), std::string::npos);

  std::ofstream(dir.path() / "lost.json") << R"({"machine": {"registry_file": "none.reg"}, "events": []})";
  EXPECT_THROW(LoadScenario((dir.path() / "lost.json").string()), ScenarioError);
  EXPECT_THROW(LoadScenario((dir.path() / "absent.json").string()), ScenarioError);
}

TEST(ScenarioTest, VersionText) {
  EXPECT_EQ(ParseVersionText("4.0"), 4 * 65536);
  EXPECT_EQ(ParseVersionText("3.51"), 3 * 65536 + 51);
  EXPECT_EQ(ParseVersionText("4"), 4 * 65536);
  EXPECT_EQ(ParseVersionText("4."), std::nullopt);
  EXPECT_EQ(ParseVersionText("-1.0"), std::nullopt);
  EXPECT_EQ(ParseVersionText("4.0.1"), std::nullopt);
  EXPECT_EQ(ParseVersionText("40000.0"), std::nullopt);
}

}  // namespace
}  // namespace qvi::cli
