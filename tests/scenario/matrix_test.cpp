#include "scenario/matrix.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

namespace qvi::scenario {
namespace {

const MatrixRow* RowOf(const Matrix& m, const std::string& label) {
  for (const MatrixRow& row : m.rows) {
    for (const Fault& f : row.faults) {
      if (f.Label() == label) return &row;
    }
  }
  return nullptr;
}

MatrixOptions Options(int jobs, MatrixFilter filter = {}) {
  MatrixOptions options;
  options.jobs = jobs;
  options.filter = std::move(filter);
  return options;
}

bool Has(const std::vector<std::string>& lines, const std::string& start) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) { return line.rfind(start, 0) == 0; });
}

TEST(MatrixTest, EveryCallOfTheCleanRunFailsOnceAndEachEffectFollowsItsRoutine) {
  const Scenario scenario = LoadScenario("install-nt");
  const Matrix m = RunMatrix(scenario, Options(2));
  const RunResult clean = RunScenario(scenario, {});
  std::size_t os_calls = 0;
  for (const auto& [function, count] : clean.os_calls_after_event.back()) os_calls += static_cast<std::size_t>(count);
  EXPECT_EQ(m.runs, 1 + clean.host_calls.size() + os_calls);
  std::size_t grouped = 0;
  for (const MatrixRow& row : m.rows) grouped += row.faults.size();
  EXPECT_EQ(grouped, m.runs - 1);

  // The console preparation continues silently: a refused "BC Defaults" costs
  // the defaults and nothing else, and every event completes.
  const MatrixRow* bc_defaults = RowOf(m, "RegCreateKeyA #1 (5 access denied)");
  ASSERT_NE(bc_defaults, nullptr);
  EXPECT_EQ(bc_defaults->effect.outcomes, m.clean.outcomes);
  EXPECT_TRUE(Has(bc_defaults->effect.registry, "- set HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\Tessaly\\Management "
                                                "Console\\BC Defaults\\AutoAnswer \"BAUD\" REG_SZ \"38400\""));
  EXPECT_TRUE(bc_defaults->effect.log.empty());
  EXPECT_TRUE(bc_defaults->effect.host.empty());

  // The post-setup's icon request is one statement: its first title failing
  // costs the icon; the message, which asks again, ends without a result.
  const MatrixRow* title = RowOf(m, "QviPublic 20 GetText #1 (440 Automation error)");
  ASSERT_NE(title, nullptr);
  EXPECT_TRUE(title->effect.registry.empty());
  EXPECT_TRUE(Has(title->effect.host, "- icon \"Quorvex Management Console\""));
  EXPECT_TRUE(Has(title->effect.log, "+ (QviConsole) : Installing icon:"));
  ASSERT_FALSE(title->effect.log.empty());
  EXPECT_TRUE(title->effect.log.back().ends_with("Default Icon: "));

  // Closing a handle that fails changes nothing anyone sees.
  const MatrixRow* close = RowOf(m, "RegCloseKey #1 (6 invalid handle)");
  ASSERT_NE(close, nullptr);
  EXPECT_TRUE(close->effect.None(m.clean));
  EXPECT_EQ(MatrixJson(m)["rows"].size(), m.rows.size());

  // Triage: the worst first. No fault fails an event here, and the refused
  // "BC Defaults" loses the most state: it leads.
  for (std::size_t i = 1; i < m.rows.size(); ++i) EXPECT_LE(m.rows[i - 1].severity, m.rows[i].severity) << i;
  EXPECT_EQ(&m.rows.front(), bc_defaults);
  EXPECT_EQ(std::vector({bc_defaults->severity, close->severity, title->severity}),
            std::vector({Severity::kStateLost, Severity::kNone, Severity::kStateLost}));
  const std::string text = FormatMatrix(m);
  EXPECT_NE(text.find("\nBy severity (rows, faults): outcome changed 0 (0), state silently lost "), std::string::npos)
      << text.substr(0, 400);

  // Each fault of a row, pasted into the scenario's failures, has the row's
  // effect on its own.
  const nlohmann::ordered_json rows = MatrixJson(m)["rows"];
  for (const std::size_t r : {std::size_t{0}, std::size_t{1}, rows.size() - 1}) {
    nlohmann::json document = nlohmann::json::parse(*EmbeddedScenarioText("install-nt"));
    const auto& fault = rows[r]["faults"][0];
    if (fault.contains("failure")) {
      document["host"]["failures"] = {fault["failure"]};
    } else {
      document["platform_failures"] = {fault["platform_failure"]};
    }
    const RunResult run = RunScenario(ParseScenario(document.dump(), "pasted"), {});
    EXPECT_EQ(run.registry_changes.size() + rows[r]["differences"]["registry"]["lost"].size() -
                  rows[r]["differences"]["registry"]["added"].size(),
              clean.registry_changes.size())
        << fault.dump();
    ASSERT_EQ(run.events.size(), rows[r]["outcomes"].size());
    for (std::size_t e = 0; e < run.events.size(); ++e) {
      EXPECT_EQ(run.events[e].failed, rows[r]["outcomes"][e]["outcome"] == "failed") << fault.dump();
    }
  }
}

TEST(MatrixTest, FiltersSelectByEventAndFunction) {
  const Scenario scenario = LoadScenario("install-nt");
  const Matrix m = RunMatrix(scenario, Options(2, {"qviSetup", "RegCreateKeyA"}));
  std::size_t faults = 0;
  for (const MatrixRow& row : m.rows) {
    for (const Fault& f : row.faults) {
      EXPECT_EQ(f.Label().rfind("RegCreateKeyA #", 0), 0u) << f.Label();
      EXPECT_EQ(f.event, "qviSetup");
      ++faults;
    }
  }
  EXPECT_GT(faults, 0u);
  EXPECT_EQ(m.runs, faults + 1);
  const Matrix host = RunMatrix(scenario, Options(1, {"", "GetPlatform"}));
  ASSERT_FALSE(host.rows.empty());
  for (const MatrixRow& row : host.rows) {
    for (const Fault& f : row.faults) EXPECT_NE(f.Label().find(" GetPlatform #"), std::string::npos) << f.Label();
  }
  EXPECT_THROW(RunMatrix(scenario, Options(1, {"", "NoSuchCall"})), ScenarioError);
}

// Every run starts from the seed, read once: a key the seed made is no key a
// fault can keep the run from creating. A run that dies is a fault whose run
// failed, told apart by how it died; every other fault still has its effect.
TEST(MatrixTest, EveryRunStartsFromTheSeedAndARunThatDiesIsAFailedRun) {
  const std::string modem =
      "HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\Tessaly\\Management Console\\BC Defaults\\Modem";
  nlohmann::json document = nlohmann::json::parse(*EmbeddedScenarioText("install-nt"));
  document["machine"]["registry"] = "REGEDIT4\r\n\r\n[" + modem + "]\r\n\"BAUD\"=\"9600\"\r\n";
  const auto lost_modem = [&](const Matrix& m) {
    std::size_t lost = 0;
    for (const MatrixRow& row : m.rows) {
      for (const std::string& line : row.effect.registry) lost += line == "- create " + modem ? 1 : 0;
    }
    return lost;
  };
  MatrixOptions options = Options(2, {"", "RegCreateKeyA"});
  const Scenario scenario = LoadScenario("install-nt");
  const Matrix clean = RunMatrix(scenario, options);
  EXPECT_GT(lost_modem(clean), 0u);
  EXPECT_EQ(lost_modem(RunMatrix(ParseScenario(document.dump(), "seeded"), options)), 0u);
#ifndef _WIN32
  options.before_fault = [](const Fault& f) {
    if (f.occurrence == 1) std::abort();
    if (f.occurrence == 2) raise(SIGKILL);
  };
  const Matrix m = RunMatrix(scenario, options);
  ASSERT_EQ(m.runs, clean.runs);
  for (const auto& [label, signal] :
       {std::pair{"RegCreateKeyA #1 (5 access denied)", SIGABRT}, {"RegCreateKeyA #2 (5 access denied)", SIGKILL}}) {
    const MatrixRow* row = RowOf(m, label);
    ASSERT_NE(row, nullptr) << label;
    EXPECT_EQ(row->severity, Severity::kOutcomeChanged);
    ASSERT_EQ(row->effect.outcomes.size(), 1u);
    EXPECT_EQ(row->effect.outcomes[0].Text(), "(the run itself) failed the run was ended by signal " +
                                                   std::to_string(signal) + " (" + strsignal(signal) +
                                                   ") before it reported");
  }
  EXPECT_EQ(RowOf(m, "RegCreateKeyA #3 (5 access denied)")->effect,
            RowOf(clean, "RegCreateKeyA #3 (5 access denied)")->effect);
#endif
}

// The readable form names each code (JSON keeps the number), keeps a log line
// of several lines inside its row and joins the events without a stray ";".
TEST(MatrixTest, ReadableFormNamesCodesAndKeepsMultiLineLogLinesInTheirRow) {
  Matrix m;
  m.scenario = "s";
  m.runs = 9;
  m.clean.outcomes = {{"creation", false, ""}, {"qviSetup", false, ""}};
  MatrixRow row;
  const std::pair<faults::Function, std::int32_t> codes[] = {
      {faults::Function::kRegOpenKeyExA, 2},      {faults::Function::kRegCreateKeyA, 5},
      {faults::Function::kRegCloseKey, 6},        {faults::Function::kRegConnectRegistryA, 53},
      {faults::Function::kGetComputerNameA, 111}, {faults::Function::kAppendLine, 112},
      {faults::Function::kRegDeleteKeyA, 1234}};
  for (const auto& [function, code] : codes) {
    Fault f;
    f.host = false;
    f.function = function;
    f.code = code;
    f.event = "qviSetup";
    row.faults.push_back(f);
  }
  Fault host;
  host.dispid = 22;
  host.code = 440;
  host.event = "qviSetup";
  row.faults.push_back(host);
  row.effect.outcomes = {{"creation", false, ""}, {"qviSetup", true, "440: Automation error"}};
  row.effect.log = {"- first\nsecond\nthird", "+ only"};
  m.rows.push_back(row);
  const std::string text = FormatMatrix(m);
  for (const char* line :
       {"\nClean run: creation completed; qviSetup completed\n",
        "\n    RegOpenKeyExA #1 (2 file not found) in qviSetup\n",
        "\n    RegCreateKeyA #1 (5 access denied) in qviSetup\n",
        "\n    RegCloseKey #1 (6 invalid handle) in qviSetup\n",
        "\n    RegConnectRegistryA #1 (53 network path not found) in qviSetup\n",
        "\n    GetComputerNameA #1 (111 buffer overflow) in qviSetup\n",
        "\n    AppendLine #1 (112 disk full) in qviSetup\n", "\n    RegDeleteKeyA #1 (1234) in qviSetup\n",
        "\n    QviPublic 22 GetPlatform #1 (440 Automation error) in qviSetup\n",
        "\n  events: creation completed; qviSetup failed 440: Automation error\n",
        "\n  log - first\n        second\n        third\n  log + only\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << "no line " << line << " in\n" << text;
  }
  EXPECT_EQ(MatrixJson(m)["rows"][0]["faults"][1]["platform_failure"]["code"], 5);
}

}  // namespace
}  // namespace qvi::scenario
