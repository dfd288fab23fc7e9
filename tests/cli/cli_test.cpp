#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <regex>
#include <fstream>
#include <set>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "cli/cli_runner.h"

namespace qvi::cli {
namespace {

const std::string kModem = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\Tessaly\\Management Console\\BC Defaults\\Modem";

using CliTest = CliFolderTest;

// Readable reports of whole runs, approved like the JSON ones: host calls
// with Windows paths as written, the settings file's change as a diff; a life
// cycle's steps on one machine and what they leave behind; machine text in
// code page 1252 as UTF-8, a refused host call in its event's line, and each
// injected fault with the events it fired in (the first of two naming a call
// wins it); with --trace every call in the order made, the refused key
// creation injected and the values then written through no handle.
TEST_F(CliTest, ReadableReportsAreTheApprovedOnes) {
  const std::string life_cycle = std::string(QVI_EXAMPLES_DIR) + "/life-cycle/install-upgrade-uninstall.json";
  const std::string machine_text = std::string(QVI_GOLDEN_DIR) + "/scenarios/install-nt-machine-text.json";
  const std::string faults_traced = std::string(QVI_GOLDEN_DIR) + "/scenarios/install-nt-faults-traced.json";
  const std::string modem_refused = std::string(QVI_GOLDEN_DIR) + "/scenarios/install-nt-modem-key-refused.json";
  using Args = std::vector<std::string>;
  for (const auto& [args, golden] : {std::pair{Args{"run", "upgrade"}, "upgrade.txt"},
                                     {Args{"run", life_cycle}, "life-cycle.txt"},
                                     {Args{"run", machine_text}, "install-nt-machine-text.txt"},
                                     {Args{"run", faults_traced}, "install-nt-faults-traced.txt"},
                                     {Args{"run", modem_refused, "--trace"}, "install-nt-modem-key-refused-trace.txt"}}) {
    const Outcome o = Cli(args);
    ASSERT_EQ(o.code, kExitOk) << o.err;
    ExpectApproved(fs::path(QVI_GOLDEN_DIR) / golden, o.out);
  }
}

// The JSON trace numbers host and platform calls together in the order made
// and gives each call's fields; each step of a life cycle has its own.
TEST_F(CliTest, TheJsonTraceGivesEachCallsFieldsInTheOrderMade) {
  const std::string modem_refused = std::string(QVI_GOLDEN_DIR) + "/scenarios/install-nt-modem-key-refused.json";
  const std::string life_cycle = std::string(QVI_EXAMPLES_DIR) + "/life-cycle/install-upgrade-uninstall.json";
  const auto run = nlohmann::json::parse(Cli({"run", modem_refused, "--trace", "--json"}).out);
  const auto cycle = nlohmann::json::parse(Cli({"run", life_cycle, "--trace", "--json"}).out);
  std::vector<nlohmann::json> reports{run};
  for (const auto& step : cycle.at("steps")) reports.push_back(step);
  ASSERT_EQ(reports.size(), 4u);
  nlohmann::json injected = nlohmann::json::array();
  for (const auto& report : reports) {
    const auto& trace = report.at("trace");
    std::size_t host = 0;
    for (std::size_t i = 0; i < trace.size(); ++i) {
      EXPECT_EQ(trace[i].at("seq"), i + 1) << report.at("scenario");
      host += trace[i].at("kind") == "host" ? 1 : 0;
      if (trace[i].at("injected")) injected.push_back(trace[i]);
    }
    EXPECT_EQ(host, report.at("host_calls").size()) << report.at("scenario");
    EXPECT_GT(trace.size(), host) << report.at("scenario");
  }
  ExpectApproved(Golden("trace-injected.json"), injected.dump(2) + "\n");
}

// With no arguments the typical installation runs; `list` starts with it;
// help and version go to standard output.
TEST_F(CliTest, CommandsWithoutAFilePrintWhatTheyShowOnStandardOutput) {
  const struct {
    std::vector<std::string> args;
    std::string text;
    bool first;  // the output starts with it
  } cases[] = {
      {{}, "Scenario install-nt on a temporary machine (computer SRV1, fresh)\n", true},
      {{"list"}, "install-nt  A typical installation", true},
      {{"show", "upgrade"}, "{\n  \"name\": \"upgrade\",", true},
      {{"--help"}, "Usage: qvihost", false},
      {{"-h"}, "-h,--help", false},
      {{"run", "--help"}, "--machine", false},
      {{"run", "-h"}, "Usage: qvihost run", false},
      {{"matrix", "--help"}, "--jobs", false},
      {{"test", "--help"}, "--junit", false},
      {{"list", "--help"}, "Usage: qvihost list", false},
      {{"show", "--help"}, "scenario", false},
      {{"--version"}, "qvihost 1.0", false},
  };
  for (const auto& c : cases) {
    const Outcome o = Cli(c.args);
    EXPECT_EQ(o.code, kExitOk) << c.text;
    const std::size_t at = o.out.find(c.text);
    EXPECT_TRUE(c.first ? at == 0 : at != std::string::npos) << c.text << "\n" << o.out;
  }
}

// A scenario file is shown with its bases merged in: the fields its base
// brings, its own over them, a step's base resolved in the step; a file a
// run refuses is refused.
TEST_F(CliTest, ShowMergesAFilesBases) {
  WriteFileBytes(Path("sub/b.json"), R"({"name": "b", "base": "install-nt", "host": {"language": "deu"}})");
  WriteFileBytes(Path("mine.json"), R"({"base": "sub/b.json", "host": {"language": "fra"}, "events": ["creation"]})");
  WriteFileBytes(Path("cycle.json"), R"({"steps": [{"base": "sub/b.json", "seeds": false}, {"base": "uninstall"}]})");
  const Outcome mine = Cli({"show", Path("mine.json")});
  ASSERT_EQ(mine.code, kExitOk) << mine.err;
  const auto shown = nlohmann::json::parse(mine.out);
  EXPECT_FALSE(shown.contains("base"));
  EXPECT_FALSE(shown.contains("name"));  // the base's own name is not the scenario's
  EXPECT_EQ(shown["host"]["language"], "fra");
  EXPECT_EQ(shown["host"]["directories"], nlohmann::json::parse(Cli({"show", "install-nt"}).out)["host"]["directories"]);
  EXPECT_EQ(shown["events"], nlohmann::json::array({"creation"}));
  const auto cycle = nlohmann::json::parse(Cli({"show", Path("cycle.json")}).out);
  EXPECT_EQ(cycle["steps"][0]["host"]["language"], "deu");
  EXPECT_FALSE(cycle["steps"][0].contains("machine"));  // "seeds": false brings none
  EXPECT_EQ(cycle["steps"][1]["events"], nlohmann::json::parse(Cli({"show", "uninstall"}).out)["events"]);
  WriteFileBytes(Path("bad.json"), R"({"base": "install-nt", "evnets": []})");
  const Outcome bad = Cli({"show", Path("bad.json")});
  EXPECT_EQ(bad.code, kExitBadInput);
  EXPECT_NE(bad.err.find("field evnets"), std::string::npos) << bad.err;
}

// Every field a JSON document holds is named in docs/scenarios.md where that
// document is described (the report's field table, the matrix's paragraph),
// and every top-level field the table lists is written.
TEST_F(CliTest, TheDocumentedJsonFieldsAreTheOnesWritten) {
  const std::string docs = ReadFileBytes(fs::path(QVI_SOURCE_DIR) / "docs" / "scenarios.md");
  const auto section = [&](const std::string& from, const std::string& to) {
    const auto at = docs.find(from);
    return at == std::string::npos ? std::string() : docs.substr(at, docs.find(to, at) - at);
  };
  // Field names, not data (the host's directory table is keyed by names),
  // nor a scenario's entries, documented with the scenario.
  const std::set<std::string> not_fields = {"directories", "failure", "platform_failure"};
  const std::function<void(const nlohmann::json&, std::set<std::string>&)> names = [&](const auto& j, auto& out) {
    for (auto it = j.begin(); j.is_structured() && it != j.end(); ++it) {
      if (j.is_object()) out.insert(it.key());
      if (!j.is_object() || !not_fields.contains(it.key())) names(*it, out);
    }
  };
  // The names in `code` spans, a dotted path's each ("differences.registry", ".log").
  const auto documented = [](const std::string& text) {
    std::set<std::string> out;
    const std::regex span("`([^`]+)`");
    const std::regex word("[a-z_]+");
    for (std::sregex_iterator it(text.begin(), text.end(), span), end; it != end; ++it) {
      const std::string inside = (*it)[1];
      for (std::sregex_iterator w(inside.begin(), inside.end(), word); w != end; ++w) out.insert(w->str());
    }
    return out;
  };
  WriteFileBytes(Path("all.json"), R"({"base": "upgrade", "platform_failures": [{"function": "RegCreateKeyA",
      "occurrence": 3, "code": 5}], "host": {"copy_files": {"Upgrade": [{"directory": "console", "file": "Q.exe"}]}}})");
  const auto report = nlohmann::json::parse(Cli({"run", Path("all.json"), "--json", "--trace"}).out);
  const auto matrix = nlohmann::json::parse(Cli({"matrix", "upgrade", "--json"}).out);
  const std::pair<const nlohmann::json*, std::string> documents[] = {
      {&report, section("## JSON fields", "\n## ")},
      {&matrix, section("`--json` gives\nthe same as one document", "```")},
  };
  for (const auto& [document, text] : documents) {
    ASSERT_FALSE(text.empty());
    std::set<std::string> written;
    names(*document, written);
    const std::set<std::string> named = documented(text);
    for (const std::string& name : written) {
      EXPECT_TRUE(named.contains(name)) << name << " is written but not documented in:\n" << text.substr(0, 80);
    }
  }
  const std::string table = section("## JSON fields", "\n## ");
  const std::regex row("\n\\| `([a-z_]+)(?:\\[\\])?` \\|");
  for (std::sregex_iterator it(table.begin(), table.end(), row), end; it != end; ++it) {
    EXPECT_TRUE(report.contains((*it)[1].str())) << (*it)[1] << " is documented but not written";
  }
}

// run leaves expectations unchecked, and says so rather than pass in silence;
// a life cycle's steps hold their own.
TEST_F(CliTest, RunWarnsThatItDoesNotCheckAnExpectSection) {
  const std::string warning = "the \"expect\" section is not checked by run; use qvihost test";
  const std::string examples = std::string(QVI_EXAMPLES_DIR);
  for (const auto& [scenario, warned] : {std::pair{examples + "/expectations/install-nt.json", true},
                                         {examples + "/expectations/install-upgrade-uninstall.json", true},
                                         {examples + "/life-cycle/install-upgrade-uninstall.json", false},
                                         {std::string("install-nt"), false}}) {
    const Outcome o = Cli({"run", scenario});
    EXPECT_EQ(o.code, kExitOk) << o.err;
    EXPECT_EQ(o.err.find(warning) != std::string::npos, warned) << scenario << ": " << o.err;
  }
}

// The command table of docs/scenarios.md names every option each command's
// --help lists, as --help writes it ("--jobs N"), and the same positionals.
TEST_F(CliTest, TheDocumentedCommandTableListsEveryOptionOfTheHelp) {
  const std::string docs = ReadFileBytes(fs::path(QVI_SOURCE_DIR) / "docs" / "scenarios.md");
  const std::regex option_line("(?:^|\n)  (--[a-z-]+(?: [A-Z/-]+)?)  ");
  const std::regex usage("Usage: (qvihost [a-z]+) \\[OPTIONS\\]([^\n]*)");
  for (const std::string command : {"run", "test", "matrix", "diff", "list", "show"}) {
    const Outcome help = Cli({command, "--help"});
    ASSERT_EQ(help.code, kExitOk) << command;
    const std::string start = "\n| `qvihost " + command;
    const auto at = docs.find(start);
    ASSERT_NE(at, std::string::npos) << "no row of " << command;
    const std::string row = docs.substr(at + 1, docs.find('\n', at + 1) - at - 1);
    std::size_t options = 0;
    for (std::sregex_iterator it(help.out.begin(), help.out.end(), option_line), end; it != end; ++it) {
      const std::string option = (*it)[1];
      if (option == "--help") continue;
      ++options;
      EXPECT_NE(row.find("[" + option + "]"), std::string::npos) << option << " of " << command << " not in\n" << row;
    }
    EXPECT_EQ(options, command == "run" ? 6u : command == "matrix" ? 9u : command == "test" ? 8u : 0u) << help.out;
    std::smatch words;
    ASSERT_TRUE(std::regex_search(help.out, words, usage)) << help.out;
    if (command == "diff") {
      EXPECT_NE(row.find(std::string(words[1]) + words[2].str()), std::string::npos) << row;
    }
  }
}

TEST_F(CliTest, InteractiveShowsEachMessageBoxAndWaits) {
  const auto file = Path("boxes.json");
  std::ofstream(file) << R"({"host": {"directories": {"System": ["C:\\WINNT\\system32"]},
                                     "texts": {"7014": "Console"}, "parameters": {"Global": ["debug:3"]}},
                            "events": ["creation", "qviPostSetup"]})";
  const Outcome o = Cli({"run", file, "--interactive", "--json"}, "\n", true);
  ASSERT_EQ(o.code, kExitOk) << o.err;
  const auto doc = nlohmann::json::parse(o.out);
  ASSERT_EQ(doc["message_boxes"].size(), 1u);
  EXPECT_EQ(doc["message_boxes"][0]["caption"], "QviConsole");
  // Shown on the terminal only; piped, the box is in the report alone.
  const Outcome piped = Cli({"run", file, "--interactive"}, "", false);
  EXPECT_NE(piped.out.find("Message boxes (1)"), std::string::npos);
  ExpectApproved(Golden("interactive.txt"), Told("terminal", o.code, o.err) + Told("piped", piped.code, piped.err));
}

// An approved scenario whose one expected value no longer holds: the failure
// names the expectation, what it expected and what the run did, in the JUnit
// file too. Approvals are exact: an entry taken out of an approved file
// leaves a change that nothing lists, and the failure names it; a list shows
// where it first differs, not both lists whole.
TEST_F(CliTest, UnmetApprovalsNameWhatDiffersOrIsNotListed) {
  const std::string approved = Path("approved.json");
  ASSERT_EQ(Cli({"run", "upgrade", "--save-expect", approved}).code, kExitOk);
  ASSERT_EQ(Cli({"test", approved}).code, kExitOk);
  using ojson = nlohmann::ordered_json;
  const auto first_where = [](ojson& list, const char* field, const char* value) {
    const auto it = std::find_if(list.begin(), list.end(), [&](const ojson& e) { return e.value(field, "") == value; });
    if (it == list.end()) throw std::runtime_error(std::string(value) + " not approved");
    return it;
  };
  const struct {
    const char* section;
    std::function<void(ojson&)> change;
  } cases[] = {
      {"registry", [&](ojson& registry) { (*first_where(registry, "value", "DayEnd"))["data"] = "7"; }},
      {"registry", [&](ojson& registry) { registry.erase(first_where(registry, "value", "Dial Mode")); }},
      {"files", [&](ojson& files) { files.erase(first_where(files, "file", "C:\\ods.txt")); }},
      {"ini", [&](ojson& ini) { ini.erase(first_where(ini, "key", "Console")); }},
      {"log", [](ojson& log) { log["lines"].erase(3); }},
      {"host_calls", [](ojson& calls) { calls["calls"][7] = "QviPublic 13 IsInstalling() -> 0"; }},
  };
  std::string told;
  for (const auto& c : cases) {
    ojson scenario = ojson::parse(ReadFileBytes(approved));
    c.change(scenario["expect"][c.section]);
    WriteFileBytes(Path("changed.json"), scenario.dump(2));
    const Outcome o = Cli({"test", Path("changed.json"), "--junit", Path("junit.xml")});
    told += Told(c.section, o.code, o.out + o.err) + Masked(ReadFileBytes(Path("junit.xml")));
  }
  ExpectApproved(Golden("unmet-approvals.txt"), told);
}

// A copied file is approved with its content's SHA-256 (as sha256sum prints
// it): a build that ships other bytes under the approved name fails, and a
// hash that cannot be one is refused.
TEST_F(CliTest, ApprovedFilesAreHeldToTheirContent) {
  const auto scenario = [&](const char* content) {
    const std::string file = Path(std::string("copies-") + content + ".json");
    WriteFileBytes(file, std::string(R"({"base": "install-nt", "host": {"copy_files": {"NT": [)") +
                             R"({"directory": "console", "file": "Quorvex.exe", "content": ")" + content + R"("}]}}})");
    return file;
  };
  const std::string approved = Path("approved.json");
  ASSERT_EQ(Cli({"run", scenario("Quorvex 1.0"), "--save-expect", approved}).code, kExitOk);
  nlohmann::ordered_json document = nlohmann::ordered_json::parse(ReadFileBytes(approved));
  const nlohmann::ordered_json exe = {{"file", "C:\\Program Files\\Tessaly\\Quorvex\\Quorvex.exe"},
                                      {"present", true},
                                      {"sha256", "d6e0bbe3f4a88d337802997d07b367b7881bc02ec76ebc1dfb332ac2455fccc2"}};
  const auto& files = document["expect"]["files"];
  EXPECT_NE(std::find(files.begin(), files.end(), exe), files.end()) << files.dump(2);
  EXPECT_EQ(Cli({"test", approved}).code, kExitOk);

  document["host"]["copy_files"]["NT"][0]["content"] = "Quorvex 1.0 (patched)";
  WriteFileBytes(Path("tampered.json"), document.dump(2));
  const Outcome tampered = Cli({"test", Path("tampered.json")});

  document = nlohmann::ordered_json::parse(ReadFileBytes(approved));
  for (auto& entry : document["expect"]["files"]) {
    if (entry.contains("sha256")) entry["sha256"] = "d6e0bbe3";
  }
  WriteFileBytes(Path("short.json"), document.dump(2));
  const Outcome refused = Cli({"test", Path("short.json")});
  ExpectApproved(Golden("approved-files.txt"), Told("patched content", tampered.code, tampered.out + tampered.err) +
                                                   Told("a hash too short", refused.code, refused.out + refused.err));
}

// What cannot be used is refused, naming the file and field; what a scenario
// asks for and does not get is said on standard error, naming the field. A
// command line the parser refuses is named like every other error, by the
// program and the command, so that a CI log read later shows which failed.
TEST_F(CliTest, RefusalsAndWarningsNameTheirPlace) {
  const std::string machine = Path("m");
  const std::string file = Path("s.json");
  ASSERT_EQ(Cli({"run", "install-nt", "--machine", machine}).code, kExitOk);
  const struct {
    const char* name;
    std::string scenario;           // written to `file` first, unless empty
    std::vector<std::string> args;  // "S" stands for `file`, "M" for `machine`
  } cases[] = {
      {"unknown option", "", {"run", "install-nt", "--jsn"}},
      {"unknown option before a command", "", {"--bogus"}},
      {"unknown command", "", {"walk"}},
      {"run without scenario", "", {"run"}},
      {"jobs out of range", "", {"matrix", "install-nt", "--jobs", "0"}},
      {"diff without machine", "", {"diff"}},
      {"junit without file", "", {"test", "a", "--junit"}},
      {"show unknown", "", {"show", "install-xp"}},
      {"run missing file", "", {"run", "/nonexistent/s.json"}},
      {"JSON syntax", "{\n  \"events\": [\"creation\"\n}\n", {"run", "S"}},
      {"field type", R"({"host": {"installing": [1]}, "events": []})", {"run", "S"}},
      // A seed registry the machine cannot read names its field and line.
      {"seed registry",
       R"({"machine": {"registry": ["REGEDIT4", "", "[HKEY_LOCAL_MACHINE\\X", "\"a\"=\"b\""]}, "events": ["creation"]})",
       {"run", "S"}},
      {"test without expect", R"({"events": ["creation"]})", {"test", "S"}},
      {"expected value without data",
       R"({"events": ["creation"], "expect": {"registry": [{"key": "K", "value": "v"}]}})", {"test", "S"}},
      {"log match", R"({"events": ["creation"], "expect": {"log": {"match": "some", "lines": []}}})", {"test", "S"}},
      {"registry match", R"({"events": ["creation"], "expect": {"registry": [{"key": "K", "match": "some"}]}})",
       {"test", "S"}},
      {"file without present", R"({"events": ["creation"], "expect": {"files": [{"file": "C:\\a"}]}})", {"test", "S"}},
      {"unused requests",
       R"({"base": "install-nt", "machine": {"computer_name": "SRV7"}, "host": {"failures": [{"dispid": 999},
          {"dispid": 14, "occurrence": 2}]}, "platform_failures": [{"function": "RegDeleteKeyA", "occurrence": 1}]})",
       {"run", "S", "--machine", "M"}},
      {"long computer name", R"({"base": "install-nt", "machine": {"computer_name": "A-NAME-OF-16-CHR"}})",
       {"run", "S"}},
      {"empty machine path", R"({"base": "install-nt"})", {"run", "S", "--machine", ""}},
      {"Windows directory", R"({"base": "install-nt", "machine": {"windows_directory": "C:/WINNT"}})", {"run", "S"}},
      {"seed path", R"({"base": "install-nt", "machine": {"files": [{"path": "Temp\\x.txt"}]}})", {"run", "S"}},
      {"copied file", R"({"base": "install-nt", "host": {"copy_files": {"NT": [{"directory": "console"}]}}})",
       {"run", "S"}},
      {"seed on a drive not declared", R"({"base": "install-nt", "machine": {"files": [{"path": "D:\\x"}]}})",
       {"run", "S"}},
      {"drive", R"({"base": "install-nt", "machine": {"drives": ["DE"]}})", {"run", "S"}},
      {"action", R"({"base": "uninstall", "host": {"directory_operations": {"5": "rm"}}})", {"run", "S"}},
      // A host tells its user of a copy it cannot make, and goes on.
      {"copy to a relative directory",
       R"({"base": "install-nt", "host": {"failures": [{"dispid": 8, "occurrence": 4}],
           "copy_files": {"NT": [{"directory": "console", "file": "Q.exe"}]}}})",
       {"run", "S"}},
      {"copy to a drive not declared",
       R"({"base": "install-nt", "host": {"directories": {"TYConsole": ["E:\\T"]},
           "copy_files": {"NT": [{"directory": "console", "file": "Q.exe"}]}}})",
       {"run", "S"}},
  };
  std::string told;
  for (const auto& c : cases) {
    if (!c.scenario.empty()) WriteFileBytes(file, c.scenario);
    std::vector<std::string> args = c.args;
    for (std::string& arg : args) arg = arg == "S" ? file : arg == "M" ? machine : arg;
    const Outcome o = Cli(args);
    told += Told(c.name, o.code, o.err);
  }
  ExpectApproved(Golden("refusals.txt"), told);
}

// `test` never changes a scenario's machine folder (each check starts from
// the same state), and passes over a folder's scenarios that check nothing.
TEST_F(CliTest, TestRunsOnACopyAndSkipsScenariosWithoutExpectations) {
  ASSERT_EQ(Cli({"run", "install-nt", "--machine", Path("checks/m")}).code, kExitOk);
  const fs::path registry = dir_.path() / "checks" / "m" / "registry.reg";
  const std::string before = ReadFileBytes(registry);
  std::ofstream(dir_.path() / "checks" / "a.json")
      << R"({"base": "uninstall", "machine": {"folder": "m"}, "expect": {"events": [{"event": "creation",
           "outcome": "completed"}, {"event": "qviUninstall", "outcome": "completed"}, {"event":
           "qviPostPageNotification", "argument": "qvigui.copy1", "outcome": "completed"}]}})";
  std::ofstream(dir_.path() / "checks" / "b.json") << R"({"base": "uninstall"})";
  for (int i = 0; i < 2; ++i) {
    const Outcome o = Cli({"test", Path("checks")});
    EXPECT_EQ(o.code, kExitOk) << o.out << o.err;
    EXPECT_NE(o.out.find("SKIP " + Path("checks/b.json") + ": no \"expect\" section\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("1 passed, 0 failed"), std::string::npos) << o.out;
  }
  EXPECT_EQ(ReadFileBytes(registry), before);
}

// Scenarios sharing a registry file, tested together (the file read once),
// report what each reports alone: every run starts from the seed, none from
// the machine another left.
TEST_F(CliTest, ScenariosSharingASeedReportAsTheyDoAlone) {
  WriteFileBytes(dir_.path() / "seed.reg", "REGEDIT4\r\n\r\n[" + kModem + "]\r\n\"Seeded\"=\"1\"\r\n");
  WriteFileBytes(dir_.path() / "seeded.json", R"({"base": "install-nt", "machine": {"registry_file": "seed.reg"}})");
  const std::string a = Path("a.json");
  const std::string b = Path("b.json");
  ASSERT_EQ(Cli({"run", Path("seeded.json"), "--save-expect", a}).code, kExitOk);
  nlohmann::ordered_json changed = nlohmann::ordered_json::parse(ReadFileBytes(a));
  changed["expect"]["events"][0]["outcome"] = "failed";
  WriteFileBytes(b, changed.dump(2));
  const Outcome together = Cli({"test", a, b, a});
  std::string alone_out;
  std::string alone_err;
  for (const std::string& file : {a, b, a}) {
    const Outcome o = Cli({"test", file});
    alone_out += o.out.substr(0, o.out.rfind(" passed, "));
    alone_out.erase(alone_out.rfind('\n') + 1);
    alone_err += o.err;
  }
  EXPECT_EQ(together.code, kExitExpectationsNotMet);
  EXPECT_EQ(together.out, alone_out + "2 passed, 1 failed\n");
  EXPECT_EQ(together.err, alone_err);
  EXPECT_NE(together.out.find("PASS a (" + a + "): 39 expectations met\n"), std::string::npos) << together.out;
}

// Seeds that an existing machine lacked are told apart from the run's
// changes: after an uninstallation the upgrade's seeds come back, and the
// snap-in's removal of them is not the removal of something installed.
TEST_F(CliTest, SeedsOnAnExistingMachineAreReportedAsSeeds) {
  const std::string m = Path("m");
  ASSERT_EQ(Cli({"run", "install-nt", "--machine", m}).code, kExitOk);
  ASSERT_EQ(Cli({"run", "uninstall", "--machine", m}).code, kExitOk);
  const Outcome o = Cli({"run", "upgrade", "--machine", m, "--json"});
  ASSERT_EQ(o.code, kExitOk) << o.err;
  ExpectApproved(Golden("seeded.json"), nlohmann::json::parse(o.out)["machine"]["seeded"].dump(2) + "\n");
  EXPECT_FALSE(nlohmann::json::parse(Cli({"run", "upgrade", "--json"}).out)["machine"].contains("seeded"));
}

// The walkthrough of the README runs as written: its files are made from the
// text, its commands run in order, and what it shows is what they print ("..."
// stands for lines left out). Every JSON example of the docs is valid, and
// each scenario among them runs, its expectations met.
TEST_F(CliTest, TheDocsExamplesRunAsWritten) {
  // Shown lines match printed ones in order; "..." skips any number.
  const auto shows = [&](const std::vector<std::string>& shown, const std::string& printed) {
    const std::vector<std::string> lines = LinesOf(printed);
    std::size_t at = 0;
    bool skipping = false;
    for (const std::string& line : shown) {
      if (line == "...") {
        skipping = true;
        continue;
      }
      while (skipping && at < lines.size() && lines[at] != line) ++at;
      if (at == lines.size() || lines[at] != line) return false;
      ++at;
      skipping = false;
    }
    return true;
  };
  // The reader's files are made where the commands run; back on any return.
  struct InFolder {
    std::filesystem::path was = std::filesystem::current_path();
    explicit InFolder(const std::filesystem::path& folder) { std::filesystem::current_path(folder); }
    ~InFolder() { std::filesystem::current_path(was); }
  } in_folder(dir_.path());
  const std::vector<std::string> readme = LinesOf(ReadFileBytes(fs::path(QVI_SOURCE_DIR) / "README.md"));
  std::vector<std::string> block;
  std::string fence;
  std::string last_command_output;
  for (std::size_t n = 0; n < readme.size(); ++n) {
    const std::string& line = readme[n];
    const std::string where = "README.md:" + std::to_string(n + 1);
    if (fence.empty()) {
      if (line.rfind("```", 0) == 0) fence = line;
      continue;
    }
    if (line != "```") {
      if (line.rfind("cat > ", 0) == 0) {  // a file the reader makes
        const std::string name = line.substr(6, line.find(' ', 6) - 6);
        std::string text;
        while (readme[++n] != "EOF") text += readme[n] + "\n";
        EXPECT_TRUE(nlohmann::json::accept(text)) << where;
        std::ofstream(name) << text;
      } else if (fence == "```sh" && line.rfind("qvihost ", 0) == 0 && line.find('#') == std::string::npos) {
        const Outcome o = Cli(LinesOf(std::regex_replace(line.substr(8), std::regex(" "), "\n")));
        EXPECT_EQ(o.code, kExitOk) << where << o.err;
        last_command_output = o.out;
      } else {
        block.push_back(line);
      }
      continue;
    }
    // A block of output: each "$ qvihost ..." and what it prints, or what
    // the last command printed.
    if (fence == "```" && !block.empty() && block[0].rfind("$ qvihost ", 0) != 0) {
      EXPECT_TRUE(shows(block, last_command_output)) << where << "\n" << last_command_output;
    }
    for (std::size_t i = 0; fence == "```" && i < block.size(); ++i) {
      if (block[i].rfind("$ qvihost ", 0) != 0) continue;
      std::string command = block[i].substr(10);
      command = command.substr(0, command.find(" >"));
      std::vector<std::string> shown;
      while (i + 1 < block.size() && block[i + 1].rfind("$ ", 0) != 0) shown.push_back(block[++i]);
      if (!shown.empty() && shown[0].rfind("FAIL ", 0) == 0) {
        // The reader's edit: the approved Pager "DayEnd" taken out.
        nlohmann::ordered_json approved = nlohmann::ordered_json::parse(ReadFileBytes("approved.json"));
        auto& registry = approved["expect"]["registry"];
        for (auto it = registry.begin(); it != registry.end(); ++it) {
          if (it->value("value", "") == "DayEnd" && it->value("key", "").ends_with("Pager")) {
            registry.erase(it);
            break;
          }
        }
        std::ofstream("approved.json", std::ios::trunc) << approved.dump(2);
      }
      const Outcome o = Cli(LinesOf(std::regex_replace(command, std::regex(" "), "\n")));
      EXPECT_TRUE(shows(shown, o.out)) << where << ": " << command << "\n" << o.out;
    }
    block.clear();
    fence.clear();
  }
  for (const auto& doc : fs::directory_iterator(fs::path(QVI_SOURCE_DIR) / "docs")) {
    const std::string text = ReadFileBytes(doc.path());
    for (std::size_t at = text.find("```json\n"); at != std::string::npos; at = text.find("```json\n", at + 1)) {
      const std::string example = text.substr(at + 8, text.find("```", at + 8) - at - 8);
      const std::string where = doc.path().filename().string() + ":" +
                                std::to_string(std::count(text.begin(), text.begin() + at, '\n') + 1);
      nlohmann::json parsed;
      ASSERT_NO_THROW(parsed = nlohmann::json::parse(example)) << where;
      if (!parsed.is_object() || !(parsed.contains("events") || parsed.contains("base") || parsed.contains("steps"))) continue;
      std::ofstream("example.json", std::ios::trunc) << example;
      const Outcome o = Cli({parsed.contains("expect") ? "test" : "run", "example.json"});
      EXPECT_EQ(o.code, kExitOk) << where << "\n" << o.out << o.err;
    }
  }
}

}  // namespace
}  // namespace qvi::cli
