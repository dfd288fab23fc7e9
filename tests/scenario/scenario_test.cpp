#include "scenario/scenario.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/error_of.h"
#include "testing/file_bytes.h"
#include "testing/golden.h"
#include "testing/temp_folder.h"

namespace qvi::scenario {
namespace {

// Syntax errors name the line and column, never the parser's byte offset;
// field errors the field's path. A misspelt field is told what it was meant
// to be; a name that is no slip of a known one is not.
TEST(ScenarioTest, ErrorsNameWhereTheScenarioIsWrong) {
  const std::pair<const char*, const char*> cases[] = {
      {"TrailingComma", "{\n  \"name\": \"x\",\n  \"events\": [\n    \"qviSetup\",\n  ]\n}"},
      {"BadLiteral", "{\"a\": tru}"},
      {"MissingComma", "{\n\"a\": 1\n\"b\": 2}"},
      {"Empty", ""},
      {"NewlineInString", "{\n  \"a\": \"x\n\"}"},
      {"NotAnObject", "[]"},
      {"EventsMissing", "{}"},
      {"UnknownTopField", R"({"events": [], "evnets": []})"},
      {"SwappedLetters", R"({"platfrom_failures": [], "events": []})"},
      {"NoSlipOfAnyField", R"({"colour": 1, "events": []})"},
      {"MisspeltHostField", R"({"host": {"direcories": {}}, "events": []})"},
      {"MisspeltExpectation", R"({"events": [], "expect": {"regsitry": []}})"},
      {"TextKeyNotNumber", R"({"host": {"texts": {"x7014": "t"}}, "events": []})"},
      {"BadVersion", R"({"host": {"platform_version": "four"}, "events": []})"},
      {"FailureWithoutDispid", R"({"host": {"failures": [{"occurrence": 1}]}, "events": []})"},
      {"NegativeOccurrence", R"({"host": {"failures": [{"dispid": 2, "occurrence": -1}]}, "events": []})"},
      {"UnknownPlatformFunction", R"({"platform_failures": [{"function": "RegNuke"}], "events": []})"},
      {"UnknownEvent", R"({"events": ["creation", "qviTeardown"]})"},
      {"ArgumentToSetup", R"({"events": [{"event": "qviSetup", "argument": 1}]})"},
      {"UpgradeVersionAsText", R"({"events": [{"event": "qviUpgrade", "argument": "1"}]})"},
      {"SeedFileWithoutPath", R"({"machine": {"files": [{"content": "x"}]}, "events": []})"},
      {"AnswerThatNoHostGives", R"({"host": {"texts": {"7014": true}}, "events": []})"},
      {"TextBeyondTheCodePage", "{\"host\": {\"language\": \"\xE4\xB8\x80\"}, \"events\": []}"},
      {"BaseNotAName", R"({"base": ["install-nt"]})"},
      {"BaseNowhere", R"({"base": "install-xp"})"},
      // Meant as an Empty answer, which over a base would be dropped unseen.
      {"NullRemovingNothing", R"({"base": "install-nt", "host": {"icon_result": null}})"},
      {"NullInsideAnAddedObject", R"({"base": "install-nt", "host": {"server_versions": {"X": null}}})"},
  };
  std::string messages;
  for (const auto& [name, json] : cases) {
    messages += std::string(name) + ": " +
                qvi::testing::ErrorOf<ScenarioError>([&] { ParseScenario(json, "s.json"); }, "(no error)") + "\n";
  }
  qvi::testing::ExpectApproved(std::filesystem::path(QVI_GOLDEN_DIR) / "scenario-errors.txt", messages);
}

TEST(ScenarioTest, ReadsEventsAnswersAndLinesOfText) {
  const Scenario s = ParseScenario(R"({
    "machine": {"registry": ["REGEDIT4", "", "[HKEY_CURRENT_USER\\X]"],
                "files": [{"path": "C:\\a.ini", "content": ["[S]", "k=\u00e4\u20ac"]}]},
    "host": {"server_versions": {"SRV2": "3.51"}, "directory_operation_results": {"4": 0},
             "installing": -1, "icon_result": null, "texts": {"7014": 7},
             "failures": [{"dispid": 22}]},
    "platform_failures": [{"function": "RegSetValueExA", "occurrence": 0, "code": 5}],
    "events": ["create", {"event": "qviUpgrade", "argument": 3},
               {"event": "qviPostPageNotification", "argument": "QVIGUI.COPY1"}]
  })", "s.json");
  EXPECT_EQ(s.registry, "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\X]\r\n");
  // Machine text is in the machine's code page.
  EXPECT_EQ(s.files[0].content, "[S]\r\nk=\xE4\x80\r\n");
  EXPECT_EQ(s.host.server_versions.at("SRV2"), host::Variant(3 * 65536 + 51));
  EXPECT_EQ(s.host.directory_operation_results.at(4), host::Variant(0));
  EXPECT_EQ(s.host.installing, host::Variant(-1));
  EXPECT_TRUE(s.host.icon_result.IsEmpty());
  EXPECT_EQ(s.host.texts.at(7014), host::Variant(7));
  ASSERT_EQ(s.host.failures.size(), 1u);
  EXPECT_EQ(s.host.failures[0].control, host::Control::kQviPublic);
  EXPECT_EQ(s.host.failures[0].occurrence, 1);
  ASSERT_EQ(s.platform_failures.size(), 1u);
  EXPECT_EQ(s.platform_failures[0].function, faults::Function::kRegSetValueExA);
  EXPECT_EQ(s.platform_failures[0].occurrence, 0);
  ASSERT_EQ(s.events.size(), 3u);
  EXPECT_EQ(s.events[0].event, Event::kCreation);
  EXPECT_EQ(s.events[1].argument, "3");
  EXPECT_EQ(s.events[2].argument, "QVIGUI.COPY1");
  EXPECT_EQ(ParseScenario(R"({"host": {"installing": false}, "events": []})", "s.json").host.installing,
            host::Variant(0));
  // The service control answers the name of the machine a run opens, unless
  // the scenario gives its own answer, which stays whatever the machine.
  const Scenario own = ParseScenario(R"({"host": {"unc_computer_name": "\\\\SRV1\\"}, "events": []})", "s.json");
  EXPECT_EQ(HostConfigFor(own, "SRV9").unc_computer_name, host::Variant("\\\\SRV1\\"));
  EXPECT_EQ(HostConfigFor(own, "SRV9").drive_prefix, host::Variant("\\\\SRV9"));
}

// mine.json on sub/b.json on install-nt: each level patches the one below,
// and a path is read from the folder of the file that names it.
TEST(ScenarioBaseTest, ChainedBasesMergeAsPatches) {
  testing::TempFolder dir;
  qvi::testing::WriteFileBytes(dir.path() / "sub" / "seed.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Seed]\r\n");
  qvi::testing::WriteFileBytes(dir.path() / "sub" / "b.json", R"({"name": "b", "description": "b's", "base": "install-nt",
      "machine": {"registry_file": "seed.reg", "folder": "m"}, "host": {"texts": {"7099": "added"}, "language": "deu"}})");
  qvi::testing::WriteFileBytes(dir.path() / "mine.json", R"({"base": "sub/b.json",
      "host": {"language": null, "parameters": {"Global": ["debug:2"]}}, "events": ["creation"]})");
  const Scenario s = LoadScenario((dir.path() / "mine.json").string());
  EXPECT_EQ(s.name, "mine");
  EXPECT_EQ(s.description, "");
  EXPECT_EQ(s.machine.computer_name, "SRV1");
  ASSERT_NE(s.registry_seed, nullptr);
  EXPECT_TRUE(std::filesystem::equivalent(s.registry_seed->file(), dir.path() / "sub" / "seed.reg"));
  EXPECT_EQ(s.machine_folder, dir.path() / "sub" / "m");
  EXPECT_EQ(s.host.directories.size(), 4u);
  EXPECT_EQ(s.host.texts.size(), 6u);
  EXPECT_EQ(s.host.texts.at(7099), host::Variant("added"));
  EXPECT_EQ(s.host.language, rhost::HostConfig().language);  // removed: the default again
  EXPECT_EQ(s.host.parameters.at("Global"), std::vector<host::Variant>{"debug:2"});
  ASSERT_EQ(s.events.size(), 1u);
  EXPECT_EQ(s.text.find("install-nt"), std::string::npos) << "the text is the file's own";
}

TEST(ScenarioBaseTest, BasesThatCannotBeUsedAreNamedWhereTheyAreNamed) {
  testing::TempFolder dir;
  const auto file = [&](const std::string& name, const std::string& text) {
    qvi::testing::WriteFileBytes(dir.path() / name, text);
    return (dir.path() / name).string();
  };
  const std::string c = file("c.json", R"({"base": "d.json", "events": []})");
  const std::string d = file("d.json", R"({"base": "c.json"})");
  file("list.json", "[]");
  file("broken.json", "{\n  \"events\": [\n}");
  const std::pair<std::string, std::string> cases[] = {
      {c, d + ": field base: \"c.json\" closes a cycle: " + c + " -> " + d + " -> " + c},
      {file("self.json", R"({"base": "self.json"})"), "self.json: field base: \"self.json\" closes a cycle"},
      {file("on-list.json", R"({"base": "list.json"})"), "on-list.json: field base: \"list.json\" is not a scenario"},
      {file("on-broken.json", R"({"base": "broken.json"})"), "broken.json:3:1: syntax error"},
      {file("on-missing.json", R"({"base": "missing.json"})"),
       "on-missing.json: field base: \"missing.json\" is neither an embedded scenario"},
  };
  for (const auto& [scenario, message] : cases) {
    const std::string error = qvi::testing::ErrorOf<ScenarioError>([&] { LoadScenario(scenario); }, "(read)");
    EXPECT_NE(error.find(message), std::string::npos) << error;
  }
}

// Scenarios in sibling folders share a base kept beside them once their
// owner marks the folder above as the root; nothing above it, and no marker
// another could have planted (a link, one others may write), widens it.
TEST(ScenarioBaseTest, SiblingFoldersShareBasesBelowAMarkedRoot) {
  testing::TempFolder dir;
  namespace fs = std::filesystem;
  qvi::testing::WriteFileBytes(dir.path() / "bases" / "seed.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\S]\r\n");
  qvi::testing::WriteFileBytes(dir.path() / "bases" / "nt.json",
                               R"({"base": "install-nt", "machine": {"registry_file": "seed.reg"}})");
  qvi::testing::WriteFileBytes(dir.path() / "outside.json", R"({"base": "install-nt"})");
  const std::string sibling = (dir.path() / "release" / "nt" / "x.json").string();
  qvi::testing::WriteFileBytes(sibling, R"({"base": "../../bases/nt.json"})");
  const std::string above = (dir.path() / "release" / "nt" / "y.json").string();
  qvi::testing::WriteFileBytes(above, R"({"base": "../../outside.json"})");
  const auto refused = [](const std::string& file) {
    return qvi::testing::ErrorOf<ScenarioError>([&] { LoadScenario(file); }, "(read)");
  };
  EXPECT_NE(refused(sibling).find("lies outside the scenario's folder"), std::string::npos);

  qvi::testing::WriteFileBytes(dir.path() / "elsewhere", "");
  fs::create_symlink(dir.path() / "elsewhere", dir.path() / kRootMarker);
  EXPECT_NE(refused(sibling).find("lies outside"), std::string::npos) << "a linked marker";
  fs::remove(dir.path() / kRootMarker);
  qvi::testing::WriteFileBytes(dir.path() / kRootMarker, "");
  fs::permissions(dir.path() / kRootMarker, fs::perms::group_write, fs::perm_options::add);
  EXPECT_NE(refused(sibling).find("lies outside"), std::string::npos) << "a marker others may write";

  fs::permissions(dir.path() / kRootMarker, fs::perms::group_write, fs::perm_options::remove);
  const Scenario s = LoadScenario(sibling);
  ASSERT_NE(s.registry_seed, nullptr);
  EXPECT_TRUE(fs::equivalent(s.registry_seed->file(), dir.path() / "bases" / "seed.reg"));
  EXPECT_EQ(refused(above), "(read)") << "the root's own files";
  fs::rename(dir.path() / kRootMarker, dir.path() / "release" / kRootMarker);
  EXPECT_NE(refused(above).find("lies outside the scenario's folder " + (dir.path() / "release").string()),
            std::string::npos)
      << refused(above);
}

TEST(ScenarioTest, VersionText) {
  const std::pair<const char*, std::optional<std::int32_t>> cases[] = {
      {"4.0", 4 * 65536}, {"3.51", 3 * 65536 + 51}, {"4", 4 * 65536},   {"4.", std::nullopt},
      {"-1.0", std::nullopt}, {"4.0.1", std::nullopt}, {"40000.0", std::nullopt}};
  for (const auto& [text, version] : cases) EXPECT_EQ(ParseVersionText(text), version) << text;
}

}  // namespace
}  // namespace qvi::scenario
