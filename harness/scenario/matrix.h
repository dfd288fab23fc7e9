// The single-fault matrix: a scenario run once clean, then once for every
// host call and every operating-system call the clean run made, each failing
// alone, with how each run's end differs from the clean one. Faults with the
// same effect are grouped in one row.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "scenario/run.h"
#include "scenario/scenario.h"
#include "scenario/shard.h"

namespace qvi::scenario {

// What every failing host call of the matrix gives.
inline constexpr std::int32_t kAutomationError = 440;
inline constexpr const char* kAutomationErrorText = "Automation error";

// One call made to fail.
struct Fault {
  bool host = true;  // a host call, else an operating-system call
  host::Control control = host::Control::kQviPublic;
  host::DispId dispid = 0;
  faults::Function function = faults::Function::kRegCreateKeyA;
  int occurrence = 1;      // the n-th such call of the run
  std::int32_t code = 0;   // the Win32 code or the automation error number
  std::string event;       // the event the call was made in
  std::size_t step = 0;    // in a life cycle, the step (from 1) the call was made in
  // "QviPublic 22 GetPlatform #1 (440 Automation error)", "RegCreateKeyA #3 (5
  // access denied)": the code with what it means.
  std::string Label() const;
  // Where the call was made: "qviSetup", or "step 2 qviSetup".
  std::string Place() const;
};

// How one event ended.
struct EventEnd {
  std::string event;
  bool failed = false;
  std::string reason;  // UTF-8
  bool operator==(const EventEnd&) const = default;
  std::string Text() const;  // "qviSetup completed", "qviSetup failed <reason>"
};

// How bad a fault's effect is, the worst first.
enum class Severity {
  kOutcomeChanged,  // an event ended otherwise than in the clean run
  kStateLost,       // registry, files or log lines of the clean run are missing or differ
  kHostChanged,     // the requests the host was left with differ
  kStateAdded,      // only registry, files or log lines the clean run lacks
  kNone,
};
const char* SeverityName(Severity severity);

// How a run's end differs from the clean run's, line by line ("- " what the
// clean run had and this one lacks, "+ " what only this one has).
struct Effect {
  std::vector<EventEnd> outcomes;  // every event's outcome
  std::vector<std::string> registry;
  std::vector<std::string> files;
  std::vector<std::string> log;
  std::vector<std::string> host;  // the host's state: directories, sections, icons, ...
  bool operator==(const Effect&) const = default;
  bool None(const Effect& clean) const;
  Severity SeverityAgainst(const Effect& clean) const;
};

// A fault whose only effect is that what the failed call itself writes is
// missing, told from the call's arguments in the clean run.
enum class OwnLoss {
  kNone,
  kValue,         // a RegSetValueExA: the value it sets
  kKeyTree,       // a RegCreateKeyA: the key it makes (and the missing ones above it) and all below it
  kProfileEntry,  // a WritePrivateProfileStringA: the entry (or section) it writes
  kHostRequest,   // a host operation: the request it makes
};
// "loses the value it writes", ...; "" for kNone.
const char* OwnLossText(OwnLoss loss);

struct MatrixRow {
  std::vector<Fault> faults;
  Effect effect;
  Severity severity = Severity::kNone;
  // A row of one fault that lost only its own write; such rows fold into
  // one line of the readable matrix.
  OwnLoss own_loss = OwnLoss::kNone;
};

struct Matrix {
  std::string scenario;
  Effect clean;  // the clean run's outcomes; no differences
  std::size_t runs = 0;
  // The worst first; among rows of a severity, the one that loses the most
  // state first, then in the order of their first fault.
  std::vector<MatrixRow> rows;
  // The part of the faults this matrix ran (MatrixOptions::shard).
  Shard shard;
};

// Which faults to run (empty: all).
struct MatrixFilter {
  std::string event;     // the event the call is made in, "qviSetup"
  std::string function;  // an operating-system function or a host operation, "RegCreateKeyA", "GetPlatform"
};

struct MatrixOptions {
  int jobs = 1;
  MatrixFilter filter;
  // Of the faults the filter selects, in the matrix's order, only this part;
  // the clean run is made whatever the part.
  Shard shard;
  // A machine folder every run starts from a copy of (it is never changed);
  // without one each run has a fresh temporary machine.
  std::optional<std::filesystem::path> machine_dir;
  // Called just before each faulty run, in the process that makes it: lets
  // a test end one run abnormally.
  std::function<void(const Fault&)> before_fault;
};

// The Win32 code a failing call of `function` typically gives.
std::int32_t TypicalCode(faults::Function function);

// Runs the matrix, `options.jobs` runs at a time, each on a temporary machine
// of its own. Throws ScenarioError when the filter selects no call. On POSIX
// the scenario's registry is read once and every run is a forked process
// that starts from it; a run that dies is a fault whose run failed.
//
// On a life cycle each call of each step fails once: the steps before it run
// clean, the rest after it, and a row's effect is every step's outcomes, log
// and host requests and what the life cycle leaves behind (registry and
// files against the machine before the first step). On POSIX the runs of a
// step fork from one process that ran the steps before it.
Matrix RunMatrix(const Scenario& scenario, const MatrixOptions& options);

// How a run made apart from the matrix ends against the clean one, as a
// matrix row tells it: a row's fault pasted into its scenario and run gives
// the row's effect.
Effect DifferenceBetween(const RunResult& clean, const RunResult& faulty);
Effect DifferenceBetween(const LifeCycleResult& clean, const LifeCycleResult& faulty);

// How the readable matrix is shown.
struct MatrixView {
  // Every row whole; else a line a row, and the rows of one own loss and
  // call folded into one line.
  bool all = false;
  // Only rows of this severity or worse; the counts stay the whole matrix's.
  Severity worst_shown = Severity::kNone;
};

// The severity a name gives: SeverityName's, or its first word ("outcome",
// "state" or "lost", "host", "added", "none").
std::optional<Severity> SeverityFromName(std::string_view name);
// The names SeverityFromName takes, for a message: "outcome, lost, host, added, none".
std::string SeverityKeywords();

std::string FormatMatrix(const Matrix& matrix, const MatrixView& view = {.all = true});
// The matrix as one self-contained HTML page: the counts by severity, then
// each row (a folded kind holding its rows), its whole effect to unfold.
std::string HtmlMatrix(const Matrix& matrix, const MatrixView& view);
// Rows of severities the view hides are left out.
nlohmann::ordered_json MatrixJson(const Matrix& matrix, const MatrixView& view = {});

}  // namespace qvi::scenario
