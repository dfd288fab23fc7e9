#include "scenario/matrix.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "scenario/matrix_lines.h"
#include "testing/golden.h"

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

  // Triage: the worst first. No fault fails an event here, and the refused
  // "BC Defaults" loses the most state: it leads.
  for (std::size_t i = 1; i < m.rows.size(); ++i) EXPECT_LE(m.rows[i - 1].severity, m.rows[i].severity) << i;
  EXPECT_EQ(&m.rows.front(), bc_defaults);
  EXPECT_EQ(std::vector({bc_defaults->severity, close->severity, title->severity}),
            std::vector({Severity::kStateLost, Severity::kNone, Severity::kStateLost}));

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
  row.severity = Severity::kOutcomeChanged;
  m.rows.push_back(row);
  qvi::testing::ExpectApproved(std::filesystem::path(QVI_GOLDEN_DIR) / "matrix-readable.txt", FormatMatrix(m));
  EXPECT_EQ(MatrixJson(m)["rows"][0]["faults"][1]["platform_failure"]["code"], 5);
}

// A clean run that made the keys A and A\B (B with values v1 and v2) and
// A\C, wrote k=new into C:\x.ini (k=old before), a log line and a request.
RunLines CleanLines() {
  using Op = RegistryChange::Op;
  RunLines clean;
  clean.outcomes = {{"qviSetup", false, ""}};
  const std::pair<std::string, RegistryTarget> registry[] = {
      {"create HKLM\\A", {Op::kCreateKey, "HKLM\\A", std::nullopt}},
      {"create HKLM\\A\\B", {Op::kCreateKey, "HKLM\\A\\B", std::nullopt}},
      {"set v1", {Op::kSetValue, "HKLM\\A\\B", "v1"}},
      {"set v2", {Op::kSetValue, "HKLM\\A\\B", "v2"}},
      {"create HKLM\\A\\C", {Op::kCreateKey, "HKLM\\A\\C", std::nullopt}}};
  for (const auto& [line, target] : registry) {
    clean.registry.push_back(line);
    clean.registry_targets.push_back(target);
  }
  clean.files = {"C:\\x.ini 18 bytes"};
  clean.file_paths = {"C:\\x.ini"};
  clean.log = {"a line"};
  clean.host = {"copy section 95"};
  clean.profiles = {{"C:\\x.ini", "[S]\r\nk=old\r\nj=1\r\n", "[S]\r\nk=new\r\nj=1\r\n"}};
  return clean;
}

// The run's lines without the registry lines at `lost`.
std::function<void(RunLines&)> Without(std::vector<std::size_t> lost) {
  return [lost](RunLines& r) {
    for (auto i = lost.rbegin(); i != lost.rend(); ++i) {
      r.registry.erase(r.registry.begin() + static_cast<std::ptrdiff_t>(*i));
      r.registry_targets.erase(r.registry_targets.begin() + static_cast<std::ptrdiff_t>(*i));
    }
  };
}

// The run's lines with C:\x.ini left as `after`.
std::function<void(RunLines&)> EntryAs(std::string after) {
  return [after](RunLines& r) {
    r.files.clear();
    r.file_paths.clear();
    r.profiles[0].after = after;
  };
}

std::function<void(RunLines&)> Both(std::function<void(RunLines&)> a, std::function<void(RunLines&)> b) {
  return [a, b](RunLines& r) {
    a(r);
    b(r);
  };
}

Fault OsFault(faults::Function function) {
  Fault f;
  f.host = false;
  f.function = function;
  return f;
}

OwnWrite Written(std::string key, std::optional<std::string> value) {
  OwnWrite write;
  write.key = std::move(key);
  write.value = std::move(value);
  return write;
}

// A row folds only when its effect is exactly the loss of what the failed
// call itself writes: any other difference, however small, keeps it whole.
TEST(MatrixTest, AFaultFoldsOnlyWhenItLosesExactlyItsOwnWrite) {
  const RunLines clean = CleanLines();
  const Fault set_value = OsFault(faults::Function::kRegSetValueExA);
  const Fault create_key = OsFault(faults::Function::kRegCreateKeyA);
  const Fault write_entry = OsFault(faults::Function::kWritePrivateProfileStringA);
  const Fault host_call;
  const OwnWrite value = Written("HKLM\\A\\B", "v1");
  const OwnWrite key = Written("HKLM\\A\\B", std::nullopt);
  const OwnWrite beside = Written("HKLM\\A\\C", std::nullopt);
  OwnWrite entry;
  entry.file = "C:\\x.ini";
  entry.section = "s";
  entry.entry = "K";
  OwnWrite request;
  request.host_line = "copy section 95";
  const auto clear_log = [](RunLines& r) { r.log.clear(); };
  const auto fail_event = [](RunLines& r) { r.outcomes[0].failed = true; };
  const struct {
    const char* name;
    const Fault& fault;
    const OwnWrite& write;
    std::function<void(RunLines&)> faulty;
    OwnLoss loss;
  } cases[] = {
      {"its value", set_value, value, Without({2}), OwnLoss::kValue},
      {"its value and another", set_value, value, Without({2, 3}), OwnLoss::kNone},
      {"another value", set_value, value, Without({3}), OwnLoss::kNone},
      {"its value and a log line", set_value, value, Both(Without({2}), clear_log), OwnLoss::kNone},
      {"its value and an event", set_value, value, Both(Without({2}), fail_event), OwnLoss::kNone},
      {"its key tree", create_key, key, Without({1, 2, 3}), OwnLoss::kKeyTree},
      {"its key tree and the key above it made", create_key, key, Without({0, 1, 2, 3}), OwnLoss::kKeyTree},
      {"its key tree and a key beside it", create_key, key, Without({1, 2, 3, 4}), OwnLoss::kNone},
      {"part of its key tree", create_key, key, Without({1, 2}), OwnLoss::kNone},
      {"a value beside its key", create_key, beside, Without({2}), OwnLoss::kNone},
      {"its entry", write_entry, entry, EntryAs("[S]\r\nk=old\r\nj=1\r\n"), OwnLoss::kProfileEntry},
      {"its entry and another", write_entry, entry, EntryAs("[S]\r\nk=old\r\nj=2\r\n"), OwnLoss::kNone},
      {"its entry, not as before", write_entry, entry, EntryAs("[S]\r\nj=1\r\n"), OwnLoss::kNone},
      {"its request", host_call, request, [](RunLines& r) { r.host.clear(); }, OwnLoss::kHostRequest},
      {"its request for another", host_call, request, [](RunLines& r) { r.host = {"copy section NT"}; },
       OwnLoss::kNone},
      {"nothing", set_value, value, [](RunLines&) {}, OwnLoss::kNone},
  };
  for (const auto& c : cases) {
    RunLines faulty = clean;
    c.faulty(faulty);
    EXPECT_EQ(LossOf(c.fault, c.write, clean, faulty), c.loss) << c.name;
  }
}

// Another call with the same effect makes the loss no one call's own.
TEST(MatrixTest, ARowOfTwoFaultsDoesNotFold) {
  const RunLines clean = CleanLines();
  RunLines lost = clean;
  Without({2})(lost);
  const Judged own{EffectOf(clean, lost), OwnLoss::kValue};
  const Fault set_value = OsFault(faults::Function::kRegSetValueExA);
  const Fault open = OsFault(faults::Function::kRegOpenKeyExA);
  const Effect before{clean.outcomes, {}, {}, {}, {}};
  const std::vector<MatrixRow> alone = RowsOf({set_value}, {own}, before);
  const std::vector<MatrixRow> shared = RowsOf({set_value, open}, {own, {own.effect, OwnLoss::kNone}}, before);
  ASSERT_EQ(alone.size(), 1u);
  ASSERT_EQ(shared.size(), 1u);
  EXPECT_EQ(alone[0].own_loss, OwnLoss::kValue);
  EXPECT_EQ(shared[0].own_loss, OwnLoss::kNone);
}

}  // namespace
}  // namespace qvi::scenario
