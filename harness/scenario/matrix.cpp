#include "scenario/matrix.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "emu/reg_text.h"

#include "replacement_host/operation_names.h"
#include "runtime/code_page.h"
#include "scenario/forked.h"
#include "scenario/report.h"
#include "scenario/temp_machine.h"

namespace qvi::scenario {

namespace {

using faults::Function;

constexpr std::int32_t kAutomationError = 440;
constexpr const char* kAutomationErrorText = "Automation error";

std::vector<EventEnd> Outcomes(const RunResult& run) {
  std::vector<EventEnd> out;
  for (const rhost::EventOutcome& e : run.events) {
    out.push_back({std::string(EventName(e.event)), e.failed, e.failed ? code_page::ToUtf8(e.reason) : ""});
  }
  return out;
}

bool Selected(const Fault& f, const MatrixFilter& filter) {
  if (!filter.event.empty() && f.event != filter.event) return false;
  if (filter.function.empty()) return true;
  return f.host ? rhost::OperationName(f.control, f.dispid) == filter.function
                : faults::FunctionName(f.function) == filter.function;
}

std::size_t LostLines(const Effect& effect) {
  std::size_t lost = 0;
  for (const auto* lines : {&effect.registry, &effect.files, &effect.log}) {
    for (const std::string& line : *lines) lost += line.starts_with("- ") ? 1 : 0;
  }
  return lost;
}

std::vector<std::string> RegistryLines(const std::vector<RegistryChange>& changes) {
  std::vector<std::string> lines;
  for (const RegistryChange& c : changes) {
    std::string line = c.key;
    switch (c.op) {
      case RegistryChange::Op::kCreateKey: line = "create " + line; break;
      case RegistryChange::Op::kDeleteKey: line = "delete " + line; break;
      case RegistryChange::Op::kSetValue:
        line = "set " + line + " \"" + c.value.name + "\" " + RegistryTypeName(c.value.type) + " \"" +
               RegistryDataText(c.value) + "\"";
        break;
      case RegistryChange::Op::kChangeValue:
        line = "change " + line + " \"" + c.value.name + "\" " + RegistryTypeName(c.value.type) + " \"" +
               RegistryDataText(c.value) + "\" was " + RegistryTypeName(c.before->type) + " \"" +
               RegistryDataText(*c.before) + "\"";
        break;
      case RegistryChange::Op::kDeleteValue: line = "delete " + line + " \"" + c.value.name + "\""; break;
    }
    lines.push_back(code_page::ToUtf8(line));
  }
  return lines;
}

std::vector<std::string> FileLines(const std::vector<FileChange>& files) {
  std::vector<std::string> lines;
  for (const FileChange& f : files) {
    lines.push_back(code_page::ToUtf8(f.path) + (f.after ? " " + std::to_string(f.after->size()) + " bytes" : " removed"));
  }
  return lines;
}

std::vector<std::string> HostLines(const RunResult& run) {
  std::vector<std::string> lines;
  const rhost::HostState& s = run.host_state;
  lines.push_back("settings file " + s.settings_file);
  for (const auto& [name, path] : s.destination_dirs) lines.push_back("destination " + name + " = " + path);
  for (const std::string& section : s.copy_sections) lines.push_back("copy section " + section);
  for (const rhost::IconRequest& icon : s.icons) {
    lines.push_back("icon " + ShownValue(icon.title) + " -> " + ShownValue(icon.target) + " in " + ShownValue(icon.folder));
  }
  for (const std::string& folder : s.removed_folders) lines.push_back("removed folder " + folder);
  for (const rhost::DirectoryOperation& op : s.directory_operations) {
    lines.push_back("directory operation " + std::to_string(op.operation) + " " + ShownValue(op.directory));
  }
  for (std::string& line : lines) line = code_page::ToUtf8(line);
  return lines;
}

// "- " for lines only `clean` has, "+ " for lines only `faulty` has, as
// multisets so a line made twice counts twice.
std::vector<std::string> Difference(std::vector<std::string> clean, std::vector<std::string> faulty) {
  std::sort(clean.begin(), clean.end());
  std::sort(faulty.begin(), faulty.end());
  std::vector<std::string> only_clean;
  std::vector<std::string> only_faulty;
  std::set_difference(clean.begin(), clean.end(), faulty.begin(), faulty.end(), std::back_inserter(only_clean));
  std::set_difference(faulty.begin(), faulty.end(), clean.begin(), clean.end(), std::back_inserter(only_faulty));
  std::vector<std::string> out;
  for (const std::string& line : only_clean) out.push_back("- " + line);
  for (const std::string& line : only_faulty) out.push_back("+ " + line);
  return out;
}

std::vector<std::string> LogLines(const RunResult& run) {
  std::vector<std::string> lines;
  for (const std::string& line : run.log) lines.push_back(code_page::ToUtf8(line));
  return lines;
}

// What the matrix keeps of a run: little enough to send from a child.
struct RunLines {
  std::vector<EventEnd> outcomes;
  std::vector<std::string> registry;
  std::vector<std::string> files;
  std::vector<std::string> log;
  std::vector<std::string> host;
};

RunLines LinesOf(const RunResult& run) {
  return {Outcomes(run), RegistryLines(run.registry_changes), FileLines(run.files), LogLines(run), HostLines(run)};
}

// A life cycle's lines: each step's outcomes, log and host requests behind
// its number, and what the life cycle leaves behind.
RunLines LinesOf(const LifeCycleResult& cycle) {
  RunLines lines;
  for (std::size_t i = 0; i < cycle.steps.size(); ++i) {
    const std::string step = "step " + std::to_string(i + 1) + " ";
    RunLines own = LinesOf(cycle.steps[i]);
    for (EventEnd& e : own.outcomes) {
      e.event = step + e.event;
      lines.outcomes.push_back(std::move(e));
    }
    for (const std::string& line : own.log) lines.log.push_back(step + line);
    for (const std::string& line : own.host) lines.host.push_back(step + line);
  }
  if (!cycle.stopped.empty()) lines.outcomes.push_back({"(the life cycle)", true, cycle.stopped});
  lines.registry = RegistryLines(cycle.left_registry);
  lines.files = FileLines(cycle.left_files);
  return lines;
}

Effect EffectOf(const RunLines& clean, const RunLines& faulty) {
  return {faulty.outcomes, Difference(clean.registry, faulty.registry), Difference(clean.files, faulty.files),
          Difference(clean.log, faulty.log), Difference(clean.host, faulty.host)};
}

Effect RunFailure(const std::string& reason) { return {{{"(the run itself)", true, reason}}, {}, {}, {}, {}}; }

std::vector<Fault> FaultsOf(const RunResult& clean) {
  std::vector<Fault> faults;
  std::map<std::pair<host::Control, host::DispId>, int> seen;
  for (const rhost::HostCall& call : clean.host_calls) {
    Fault fault;
    fault.control = call.control;
    fault.dispid = call.dispid;
    fault.occurrence = ++seen[{call.control, call.dispid}];
    fault.code = kAutomationError;
    fault.event = call.event;
    faults.push_back(fault);
  }
  std::map<Function, int> before;
  for (std::size_t e = 0; e < clean.os_calls_after_event.size(); ++e) {
    for (const auto& [function, count] : clean.os_calls_after_event[e]) {
      for (int n = before[function] + 1; n <= count; ++n) {
        Fault fault;
        fault.host = false;
        fault.function = function;
        fault.occurrence = n;
        fault.code = TypicalCode(function);
        fault.event = std::string(EventName(clean.events[e].event));
        faults.push_back(fault);
      }
      before[function] = count;
    }
  }
  return faults;
}

}  // namespace

std::string Fault::Label() const {
  std::string text = host ? std::string(rhost::ControlName(control)) + " " + std::to_string(dispid) + " " +
                                std::string(rhost::OperationName(control, dispid))
                          : std::string(faults::FunctionName(function));
  const std::string meaning = host ? kAutomationErrorText : std::string(faults::CodeName(code));
  return text + " #" + std::to_string(occurrence) + " (" + std::to_string(code) +
         (meaning.empty() ? "" : " " + meaning) + ")";
}

std::string Fault::Place() const { return step == 0 ? event : "step " + std::to_string(step) + " " + event; }

std::string EventEnd::Text() const { return event + (failed ? " failed " + reason : " completed"); }

const char* SeverityName(Severity severity) {
  switch (severity) {
    case Severity::kOutcomeChanged: return "outcome changed";
    case Severity::kStateLost: return "state silently lost";
    case Severity::kHostChanged: return "host requests changed";
    case Severity::kStateAdded: return "state added";
    case Severity::kNone: return "no effect";
  }
  return "";
}

Severity Effect::SeverityAgainst(const Effect& clean) const {
  if (outcomes != clean.outcomes) return Severity::kOutcomeChanged;
  if (LostLines(*this) > 0) return Severity::kStateLost;
  if (!host.empty()) return Severity::kHostChanged;
  if (!registry.empty() || !files.empty() || !log.empty()) return Severity::kStateAdded;
  return Severity::kNone;
}

bool Effect::None(const Effect& clean) const {
  return outcomes == clean.outcomes && registry.empty() && files.empty() && log.empty() && host.empty();
}

std::int32_t TypicalCode(Function function) {
  switch (function) {
    case Function::kRegOpenKeyExA: return platform::win32::kFileNotFound;
    case Function::kRegCloseKey: return platform::win32::kInvalidHandle;
    case Function::kRegConnectRegistryA: return platform::win32::kBadNetPath;
    case Function::kGetPrivateProfileStringA: return platform::win32::kFileNotFound;
    case Function::kGetComputerNameA: return platform::win32::kBufferOverflow;
    case Function::kAppendLine: return platform::win32::kDiskFull;
    default: return platform::win32::kAccessDenied;
  }
}

namespace {

Scenario Faulted(const Scenario& scenario, const Fault& f) {
  Scenario faulted = scenario;
  faulted.machine_folder.reset();
  if (f.host) {
    faulted.host.failures.push_back({f.control, f.dispid, f.occurrence, f.code, kAutomationErrorText});
  } else {
    faulted.platform_failures.push_back({f.function, f.occurrence, f.code});
  }
  return faulted;
}

// Each run on a machine of its own: a copy of the given one, or a fresh one.
RunResult RunOn(const Scenario& s, const MatrixOptions& options, emu::RegistryStore* seed) {
  RunOptions run_options;
  run_options.seed_registry = seed;
  if (!options.machine_dir) return RunScenario(s, run_options);
  TempMachineFolder copy("matrix");
  CopyMachineFolder(*options.machine_dir, copy.path());
  run_options.machine_dir = copy.path();
  return RunScenario(s, run_options);
}

Matrix Assemble(const Scenario& scenario, const RunLines& clean, const std::vector<Fault>& faults,
                const std::vector<Effect>& effects) {
  Matrix matrix;
  matrix.scenario = scenario.name;
  matrix.clean.outcomes = clean.outcomes;
  matrix.runs = faults.size() + 1;
  for (std::size_t i = 0; i < faults.size(); ++i) {
    const auto row = std::find_if(matrix.rows.begin(), matrix.rows.end(),
                                  [&](const MatrixRow& r) { return r.effect == effects[i]; });
    if (row == matrix.rows.end()) {
      matrix.rows.push_back({{faults[i]}, effects[i], effects[i].SeverityAgainst(matrix.clean)});
    } else {
      row->faults.push_back(faults[i]);
    }
  }
  std::stable_sort(matrix.rows.begin(), matrix.rows.end(), [](const MatrixRow& a, const MatrixRow& b) {
    if (a.severity != b.severity) return a.severity < b.severity;
    return a.severity == Severity::kStateLost && LostLines(a.effect) > LostLines(b.effect);
  });
  return matrix;
}

std::vector<Fault> SelectedFaults(const Scenario& scenario, const std::vector<const RunResult*>& runs,
                                  const MatrixFilter& filter, const Shard& shard) {
  std::vector<Fault> faults;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    for (Fault& f : FaultsOf(*runs[i])) {
      f.step = runs.size() > 1 || !scenario.steps.empty() ? i + 1 : 0;
      if (Selected(f, filter)) faults.push_back(f);
    }
  }
  if (faults.empty() && (!filter.event.empty() || !filter.function.empty())) {
    throw ScenarioError("the clean run of " + scenario.name + " made no call that the filter selects (event \"" +
                        filter.event + "\", function \"" + filter.function + "\")");
  }
  // A part may hold no fault at all: a matrix of more parts than faults.
  std::vector<Fault> part;
  for (std::size_t i = 0; i < faults.size(); ++i) {
    if (shard.Holds(i)) part.push_back(std::move(faults[i]));
  }
  return part;
}

// What a run gives the matrix: its lines and the faults it offers.
struct Ran {
  RunLines lines;
  std::vector<Fault> faults;
};

// A life cycle's start: its machine made, copied from the given folder or
// fresh from the seed read.
std::unique_ptr<LifeCycleRun> StartCycle(const Scenario& cycle, const MatrixOptions& options,
                                         emu::RegistryStore* seed, std::optional<TempMachineFolder>& copy) {
  RunOptions start;
  start.seed_registry = seed;
  if (options.machine_dir) {
    copy.emplace("matrix");
    CopyMachineFolder(*options.machine_dir, copy->path());
    start.machine_dir = copy->path();
  }
  return std::make_unique<LifeCycleRun>(cycle, start);
}

Ran CleanCycle(const Scenario& cycle, const MatrixOptions& options, emu::RegistryStore* seed) {
  std::optional<TempMachineFolder> copy;
  const auto run = StartCycle(cycle, options, seed, copy);
  RunRemainingSteps(*run, cycle.steps);
  const LifeCycleResult result = run->Result();
  if (!result.stopped.empty()) throw std::runtime_error("the clean run of " + cycle.name + ": " + result.stopped);
  std::vector<const RunResult*> steps;
  for (const RunResult& step : result.steps) steps.push_back(&step);
  return {LinesOf(result), SelectedFaults(cycle, steps, options.filter, options.shard)};
}

// The life cycle with `fault` made in its step, from `base`, which has run
// the steps before it, on a copy of its machine.
RunLines FaultyCycle(LifeCycleRun& base, const Scenario& cycle, const Fault& fault) {
  LifeCycleRun mine(base);
  std::vector<Scenario> steps = cycle.steps;
  steps[fault.step - 1] = Faulted(steps[fault.step - 1], fault);
  RunRemainingSteps(mine, steps);
  return LinesOf(mine.Result());
}

#ifdef _WIN32

Matrix RunCycleMatrixInProcess(const Scenario& cycle, const MatrixOptions& options) {
  const Ran clean = CleanCycle(cycle, options, nullptr);
  std::vector<Effect> effects;
  for (const Fault& f : clean.faults) {
    try {
      std::optional<TempMachineFolder> copy;
      const auto base = StartCycle(cycle, options, nullptr, copy);
      while (base->steps_done() + 1 < f.step) base->RunStep(cycle.steps[base->steps_done()]);
      if (options.before_fault) options.before_fault(f);
      effects.push_back(EffectOf(clean.lines, FaultyCycle(*base, cycle, f)));
    } catch (const std::exception& error) {
      effects.push_back(RunFailure(error.what()));
    }
  }
  return Assemble(cycle, clean.lines, clean.faults, effects);
}

#endif

#ifndef _WIN32

void PackLines(Packer& out, const RunLines& lines) {
  out.Number(lines.outcomes.size());
  for (const EventEnd& e : lines.outcomes) {
    out.Text(e.event);
    out.Number(e.failed ? 1 : 0);
    out.Text(e.reason);
  }
  for (const auto* list : {&lines.registry, &lines.files, &lines.log, &lines.host}) out.Texts(*list);
}

RunLines UnpackLines(Unpacker& in) {
  RunLines lines;
  lines.outcomes.resize(in.Number());
  for (EventEnd& e : lines.outcomes) {
    e.event = in.Text();
    e.failed = in.Number() != 0;
    e.reason = in.Text();
  }
  for (auto* list : {&lines.registry, &lines.files, &lines.log, &lines.host}) *list = in.Texts();
  return lines;
}

void PackFaults(Packer& out, const std::vector<Fault>& faults) {
  out.Number(faults.size());
  for (const Fault& f : faults) {
    for (const std::int64_t n : {std::int64_t{f.host}, static_cast<std::int64_t>(f.control), std::int64_t{f.dispid},
                                 static_cast<std::int64_t>(f.function), std::int64_t{f.occurrence}, std::int64_t{f.code},
                                 static_cast<std::int64_t>(f.step)}) {
      out.Number(static_cast<std::uint64_t>(n));
    }
    out.Text(f.event);
  }
}

std::vector<Fault> UnpackFaults(Unpacker& in) {
  std::vector<Fault> faults(in.Number());
  for (Fault& f : faults) {
    f.host = in.Number() != 0;
    f.control = static_cast<host::Control>(in.Number());
    f.dispid = static_cast<host::DispId>(in.Number());
    f.function = static_cast<faults::Function>(in.Number());
    f.occurrence = static_cast<int>(in.Number());
    f.code = static_cast<std::int32_t>(in.Number());
    f.step = static_cast<std::size_t>(in.Number());
    f.event = in.Text();
  }
  return faults;
}

std::string Reply(const std::function<Ran()>& run) {
  return PackedReply([&](Packer& out) {
    const Ran ran = run();
    PackLines(out, ran.lines);
    PackFaults(out, ran.faults);
  });
}

// The effect of a faulty run from its child's end.
Effect EffectOfEnd(const RunLines& clean, const ChildEnd& end) {
  if (!end.replied) return RunFailure(end.failure);
  Unpacker reply(end.reply);
  if (const auto thrown = ThrownInReply(reply)) return RunFailure(*thrown);
  return EffectOf(clean, UnpackLines(reply));
}

// The clean run's lines and faults; what it threw is thrown here.
Ran CleanFromEnd(const Scenario& scenario, const ChildEnd& end) {
  if (!end.replied) throw std::runtime_error("the clean run of " + scenario.name + ": " + end.failure);
  Unpacker in(end.reply);
  RethrowFromReply(in);
  Ran clean;
  clean.lines = UnpackLines(in);
  clean.faults = UnpackFaults(in);
  return clean;
}

// The scenario's registry read once, for every run to fork from; the
// scenario the runs are handed, without the text each would copy.
struct ReadSeed {
  emu::RegistryStore store;
  bool seeded = false;
  Scenario light;
};

void Read(ReadSeed& seed, const Scenario& scenario, const MatrixOptions& options) {
  seed.light = scenario;
  seed.seeded = !options.machine_dir && (scenario.registry_seed || !scenario.registry.empty());
  if (!seed.seeded) return;
  const std::string source = scenario.source.empty() ? scenario.name : scenario.source;
  const char* field = scenario.registry_seed ? "machine.registry_file" : "machine.registry";
  try {
    if (scenario.registry_seed) {
      seed.store.TakeTrees(*scenario.registry_seed->Take());
    } else {
      emu::ImportRegText(seed.store, scenario.registry, "seed");
    }
  } catch (const emu::MachineError& error) {
    throw ScenarioError(source + ": field " + field + ": " + error.what());
  }
  std::string().swap(seed.light.registry);
  seed.light.registry_seed.reset();
  CollapseIntoHugePages();
}

Matrix RunMatrixForked(const Scenario& scenario, const MatrixOptions& options) {
  ReadSeed seed;
  Read(seed, scenario, options);
  emu::RegistryStore* seed_registry = seed.seeded ? &seed.store : nullptr;
  const Ran clean = CleanFromEnd(scenario, RunInChildren(1, 1, [&](std::size_t) {
                                   seed.store.LeaveTreesStanding();
                                   return Reply([&] {
                                     const RunResult run = RunOn(seed.light, options, seed_registry);
                                     return Ran{LinesOf(run),
                                                SelectedFaults(scenario, {&run}, options.filter, options.shard)};
                                   });
                                 })[0]);
  const std::vector<ChildEnd> ends = RunInChildren(clean.faults.size(), options.jobs, [&](std::size_t i) {
    seed.store.LeaveTreesStanding();
    return Reply([&] {
      if (options.before_fault) options.before_fault(clean.faults[i]);
      return Ran{LinesOf(RunOn(Faulted(seed.light, clean.faults[i]), options, seed_registry)), {}};
    });
  });
  std::vector<Effect> effects;
  for (const ChildEnd& end : ends) effects.push_back(EffectOfEnd(clean.lines, end));
  return Assemble(scenario, clean.lines, clean.faults, effects);
}

Matrix RunCycleMatrixForked(const Scenario& cycle, const MatrixOptions& options) {
  ReadSeed seed;
  Read(seed, cycle, options);
  emu::RegistryStore* seed_registry = seed.seeded ? &seed.store : nullptr;
  const Ran clean = CleanFromEnd(cycle, RunInChildren(1, 1, [&](std::size_t) {
                                   seed.store.LeaveTreesStanding();
                                   return Reply([&] { return CleanCycle(seed.light, options, seed_registry); });
                                 })[0]);
  std::vector<Effect> effects(clean.faults.size());
  for (std::size_t step = 1; step <= cycle.steps.size(); ++step) {
    std::vector<std::size_t> mine;
    for (std::size_t i = 0; i < clean.faults.size(); ++i) {
      if (clean.faults[i].step == step) mine.push_back(i);
    }
    if (mine.empty()) continue;
    // One process runs the steps before this one and forks the runs of its
    // faults from there; it sends back their ends.
    const ChildEnd step_end = RunInChildren(1, 1, [&](std::size_t) {
      seed.store.LeaveTreesStanding();
      std::optional<TempMachineFolder> copy;
      const auto base = StartCycle(seed.light, options, seed_registry, copy);
      while (base->steps_done() + 1 < step) base->RunStep(seed.light.steps[base->steps_done()]);
      const std::vector<ChildEnd> ends = RunInChildren(mine.size(), options.jobs, [&](std::size_t i) {
        return Reply([&] {
          if (options.before_fault) options.before_fault(clean.faults[mine[i]]);
          return Ran{FaultyCycle(*base, seed.light, clean.faults[mine[i]]), {}};
        });
      });
      Packer out;
      for (const ChildEnd& end : ends) {
        out.Number(end.replied ? 1 : 0);
        out.Text(end.replied ? end.reply : end.failure);
      }
      return std::move(out.bytes());
    })[0];
    Unpacker in(step_end.reply);
    for (const std::size_t i : mine) {
      if (!step_end.replied) {
        effects[i] = RunFailure("the runs of step " + std::to_string(step) + ": " + step_end.failure);
        continue;
      }
      ChildEnd end;
      end.replied = in.Number() != 0;
      (end.replied ? end.reply : end.failure) = in.Text();
      effects[i] = EffectOfEnd(clean.lines, end);
    }
  }
  return Assemble(cycle, clean.lines, clean.faults, effects);
}

#endif

Matrix RunSelectedFaults(const Scenario& scenario, const MatrixOptions& options) {
  if (options.machine_dir && !std::filesystem::is_directory(*options.machine_dir)) {
    throw ScenarioError(options.machine_dir->string() + ": no machine folder there");
  }
  // Before its copies are made: copying takes the folder's lock.
  if (options.machine_dir) emu::RefuseForeignFolder(*options.machine_dir);
#ifndef _WIN32
  return scenario.steps.empty() ? RunMatrixForked(scenario, options) : RunCycleMatrixForked(scenario, options);
#else
  if (!scenario.steps.empty()) return RunCycleMatrixInProcess(scenario, options);
  // Without fork every run reads the seed again.
  const RunResult clean_run = RunOn(scenario, options, nullptr);
  const RunLines clean = LinesOf(clean_run);
  const std::vector<Fault> faults = SelectedFaults(scenario, {&clean_run}, options.filter, options.shard);
  std::vector<Effect> effects(faults.size());
  std::atomic<std::size_t> next{0};
  const auto worker = [&] {
    for (std::size_t i = next++; i < faults.size(); i = next++) {
      try {
        if (options.before_fault) options.before_fault(faults[i]);
        effects[i] = EffectOf(clean, LinesOf(RunOn(Faulted(scenario, faults[i]), options, nullptr)));
      } catch (const std::exception& error) {
        effects[i] = RunFailure(error.what());
      }
    }
  };
  std::vector<std::thread> threads;
  for (int t = 1; t < std::max(options.jobs, 1); ++t) threads.emplace_back(worker);
  worker();
  for (std::thread& thread : threads) thread.join();
  return Assemble(scenario, clean, faults, effects);
#endif
}

}  // namespace

Matrix RunMatrix(const Scenario& scenario, const MatrixOptions& options) {
  Matrix matrix = RunSelectedFaults(scenario, options);
  matrix.shard = options.shard;
  return matrix;
}

Effect DifferenceBetween(const RunResult& clean, const RunResult& faulty) {
  return EffectOf(LinesOf(clean), LinesOf(faulty));
}

Effect DifferenceBetween(const LifeCycleResult& clean, const LifeCycleResult& faulty) {
  return EffectOf(LinesOf(clean), LinesOf(faulty));
}

namespace {

// "creation completed; qviSetup failed 440: Automation error".
std::string JoinedOutcomes(const std::vector<EventEnd>& outcomes) {
  std::string text;
  for (const EventEnd& outcome : outcomes) text += (text.empty() ? "" : "; ") + outcome.Text();
  return text;
}

// A log line of several lines keeps its row readable: the lines after the
// first are indented by `indent` columns, beneath its text, rather than
// starting at the margin where they would read as lines of the matrix.
std::string ContinuedLines(const std::string& line, std::size_t indent) {
  std::string text;
  for (std::size_t i = 0; i < line.size(); ++i) {
    text += line[i];
    if (line[i] == '\n' && i + 1 < line.size()) text.append(indent, ' ');
  }
  return text;
}

}  // namespace

std::string FormatMatrix(const Matrix& m) {
  std::ostringstream out;
  out << "Single-fault matrix of " << m.scenario;
  if (m.shard.count > 1) out << " (part " << m.shard.index + 1 << " of " << m.shard.count << ")";
  out << ": " << m.runs - 1 << " faults, " << m.rows.size() << " distinct effects\n";
  out << "Clean run: " << JoinedOutcomes(m.clean.outcomes);
  out << "\nBy severity (rows, faults):";
  for (const Severity severity : {Severity::kOutcomeChanged, Severity::kStateLost, Severity::kHostChanged,
                                  Severity::kStateAdded, Severity::kNone}) {
    std::size_t rows = 0, faults = 0;
    for (const MatrixRow& row : m.rows) {
      if (row.severity != severity) continue;
      ++rows;
      faults += row.faults.size();
    }
    out << (severity == Severity::kOutcomeChanged ? " " : ", ") << SeverityName(severity) << " " << rows << " ("
        << faults << ")";
  }
  out << "\n";
  std::size_t number = 0;
  for (const MatrixRow& row : m.rows) {
    out << "\n[" << ++number << "] " << row.faults.size() << (row.faults.size() == 1 ? " fault" : " faults")
        << ", " << SeverityName(row.severity) << "\n";
    for (const Fault& f : row.faults) out << "    " << f.Label() << " in " << f.Place() << "\n";
    if (row.effect.outcomes != m.clean.outcomes) {
      out << "  events: " << JoinedOutcomes(row.effect.outcomes) << "\n";
    }
    for (const auto& [name, lines] : {std::pair<const char*, const std::vector<std::string>*>{"registry", &row.effect.registry},
                                      {"files", &row.effect.files},
                                      {"log", &row.effect.log},
                                      {"host", &row.effect.host}}) {
      for (const std::string& line : *lines)
        out << "  " << name << " " << ContinuedLines(line, std::strlen(name) + 5) << "\n";
    }
  }
  return out.str();
}

nlohmann::ordered_json MatrixJson(const Matrix& m) {
  using json = nlohmann::ordered_json;
  const auto outcomes = [](const std::vector<EventEnd>& ends) {
    json list = json::array();
    for (const EventEnd& e : ends) {
      json entry = {{"event", e.event}, {"outcome", e.failed ? "failed" : "completed"}};
      if (e.failed) entry["reason"] = e.reason;
      list.push_back(std::move(entry));
    }
    return list;
  };
  // "- " and "+ " lines as what the clean run had and this one lacks, and
  // what only this one has.
  const auto difference = [](const std::vector<std::string>& lines) {
    json lost = json::array();
    json added = json::array();
    for (const std::string& line : lines) (line.starts_with("- ") ? lost : added).push_back(line.substr(2));
    return json{{"lost", std::move(lost)}, {"added", std::move(added)}};
  };
  json doc = {{"scenario", m.scenario}, {"faults", m.runs - 1}, {"clean_outcomes", outcomes(m.clean.outcomes)}};
  // Only for a part, so that a whole matrix's document is as it always was.
  if (m.shard.count > 1) doc["part"] = {{"index", m.shard.index + 1}, {"count", m.shard.count}};
  doc["rows"] = json::array();
  for (const MatrixRow& row : m.rows) {
    // Each fault as a scenario's "host.failures" or "platform_failures"
    // entry, to paste there and run the fault alone.
    json faults = json::array();
    for (const Fault& f : row.faults) {
      json fault = {{"event", f.event}};
      // A life cycle's fault goes into that step's entry of "steps".
      if (f.step > 0) fault["step"] = f.step;
      if (f.host) {
        fault["operation"] = rhost::OperationName(f.control, f.dispid);
        fault["failure"] = {{"control", rhost::ControlName(f.control)},
                            {"dispid", f.dispid},
                            {"occurrence", f.occurrence},
                            {"number", f.code},
                            {"description", kAutomationErrorText}};
      } else {
        fault["platform_failure"] = {
            {"function", faults::FunctionName(f.function)}, {"occurrence", f.occurrence}, {"code", f.code}};
      }
      faults.push_back(std::move(fault));
    }
    json entry = {{"severity", SeverityName(row.severity)}, {"faults", std::move(faults)},
                  {"outcomes", outcomes(row.effect.outcomes)}};
    entry["differences"] = {{"registry", difference(row.effect.registry)},
                            {"files", difference(row.effect.files)},
                            {"log", difference(row.effect.log)},
                            {"host", difference(row.effect.host)}};
    doc["rows"].push_back(std::move(entry));
  }
  return doc;
}

}  // namespace qvi::scenario
