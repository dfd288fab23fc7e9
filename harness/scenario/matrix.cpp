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
#include "scenario/matrix_lines.h"
#include "scenario/report.h"
#include "scenario/temp_machine.h"

namespace qvi::scenario {

namespace {

using faults::Function;

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

Judged Judge(const RunLines& clean, const Fault& fault, const std::optional<OwnWrite>& write, const RunLines& faulty) {
  return {EffectOf(clean, faulty), write ? LossOf(fault, *write, clean, faulty) : OwnLoss::kNone};
}

Judged RunFailure(const std::string& reason) { return {{{{"(the run itself)", true, reason}}, {}, {}, {}, {}}}; }

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

std::vector<MatrixRow> RowsOf(const std::vector<Fault>& faults, const std::vector<Judged>& judged,
                              const Effect& clean) {
  std::vector<MatrixRow> rows;
  for (std::size_t i = 0; i < faults.size(); ++i) {
    const Effect& effect = judged[i].effect;
    const auto row = std::find_if(rows.begin(), rows.end(), [&](const MatrixRow& r) { return r.effect == effect; });
    if (row == rows.end()) {
      rows.push_back({{faults[i]}, effect, effect.SeverityAgainst(clean), judged[i].loss});
    } else {
      // Another call with the same effect: the loss is no longer one call's own.
      row->faults.push_back(faults[i]);
      row->own_loss = OwnLoss::kNone;
    }
  }
  std::stable_sort(rows.begin(), rows.end(), [](const MatrixRow& a, const MatrixRow& b) {
    if (a.severity != b.severity) return a.severity < b.severity;
    return a.severity == Severity::kStateLost && LostLines(a.effect) > LostLines(b.effect);
  });
  return rows;
}

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
RunResult RunOn(const Scenario& s, const MatrixOptions& options, emu::RegistryStore* seed, bool own_writes = false) {
  RunOptions run_options;
  run_options.seed_registry = seed;
  run_options.own_writes = own_writes;
  if (!options.machine_dir) return RunScenario(s, run_options);
  TempMachineFolder copy("matrix");
  CopyMachineFolder(*options.machine_dir, copy.path());
  run_options.machine_dir = copy.path();
  return RunScenario(s, run_options);
}

Matrix Assemble(const Scenario& scenario, const RunLines& clean, const std::vector<Fault>& faults,
                const std::vector<Judged>& judged) {
  Matrix matrix;
  matrix.scenario = scenario.name;
  matrix.clean.outcomes = clean.outcomes;
  matrix.runs = faults.size() + 1;
  matrix.rows = RowsOf(faults, judged, matrix.clean);
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

// What the call a fault fails wrote in the clean run `run` (the run of the
// fault's step in a life cycle).
std::optional<OwnWrite> OwnWriteOf(const Fault& f, const RunResult& run) {
  if (f.host) {
    const auto line = OwnHostRequest(run.host_calls, f.control, f.dispid, f.occurrence, run.host_state);
    if (!line) return std::nullopt;
    OwnWrite write;
    write.host_line = (f.step > 0 ? "step " + std::to_string(f.step) + " " : "") + *line;
    return write;
  }
  for (const RecordedWrite& recorded : run.own_writes) {
    if (recorded.function == f.function && recorded.occurrence == f.occurrence) return recorded.write;
  }
  return std::nullopt;
}

// What a run gives the matrix: its lines, and from the clean run the faults
// it offers and what each failed call wrote.
struct Ran {
  RunLines lines;
  std::vector<Fault> faults;
  std::vector<std::optional<OwnWrite>> writes;
};

template <typename Result>
Ran CleanRan(const Scenario& scenario, const Result& result, const std::vector<const RunResult*>& runs,
             const MatrixOptions& options) {
  Ran ran;
  ran.faults = SelectedFaults(scenario, runs, options.filter, options.shard);
  for (const Fault& f : ran.faults) ran.writes.push_back(OwnWriteOf(f, *runs[f.step > 0 ? f.step - 1 : 0]));
  ran.lines = LinesOf(result, WatchedFiles(ran.writes));
  return ran;
}

// A life cycle's start: its machine made, copied from the given folder or
// fresh from the seed read.
std::unique_ptr<LifeCycleRun> StartCycle(const Scenario& cycle, const MatrixOptions& options,
                                         emu::RegistryStore* seed, std::optional<TempMachineFolder>& copy,
                                         bool own_writes = false) {
  RunOptions start;
  start.seed_registry = seed;
  start.own_writes = own_writes;
  if (options.machine_dir) {
    copy.emplace("matrix");
    CopyMachineFolder(*options.machine_dir, copy->path());
    start.machine_dir = copy->path();
  }
  return std::make_unique<LifeCycleRun>(cycle, start);
}

Ran CleanCycle(const Scenario& cycle, const MatrixOptions& options, emu::RegistryStore* seed) {
  std::optional<TempMachineFolder> copy;
  const auto run = StartCycle(cycle, options, seed, copy, true);
  RunRemainingSteps(*run, cycle.steps);
  const LifeCycleResult result = run->Result();
  if (!result.stopped.empty()) throw std::runtime_error("the clean run of " + cycle.name + ": " + result.stopped);
  std::vector<const RunResult*> steps;
  for (const RunResult& step : result.steps) steps.push_back(&step);
  return CleanRan(cycle, result, steps, options);
}

// The life cycle with `fault` made in its step, from `base`, which has run
// the steps before it, on a copy of its machine.
RunLines FaultyCycle(LifeCycleRun& base, const Scenario& cycle, const Fault& fault,
                     const std::vector<std::string>& watched) {
  LifeCycleRun mine(base);
  std::vector<Scenario> steps = cycle.steps;
  steps[fault.step - 1] = Faulted(steps[fault.step - 1], fault);
  RunRemainingSteps(mine, steps);
  return LinesOf(mine.Result(), watched);
}

#ifdef _WIN32

Matrix RunCycleMatrixInProcess(const Scenario& cycle, const MatrixOptions& options) {
  const Ran clean = CleanCycle(cycle, options, nullptr);
  const std::vector<std::string> watched = WatchedFiles(clean.writes);
  std::vector<Judged> judged;
  for (std::size_t i = 0; i < clean.faults.size(); ++i) {
    const Fault& f = clean.faults[i];
    try {
      std::optional<TempMachineFolder> copy;
      const auto base = StartCycle(cycle, options, nullptr, copy);
      while (base->steps_done() + 1 < f.step) base->RunStep(cycle.steps[base->steps_done()]);
      if (options.before_fault) options.before_fault(f);
      judged.push_back(Judge(clean.lines, f, clean.writes[i], FaultyCycle(*base, cycle, f, watched)));
    } catch (const std::exception& error) {
      judged.push_back(RunFailure(error.what()));
    }
  }
  return Assemble(cycle, clean.lines, clean.faults, judged);
}

#endif

#ifndef _WIN32

void PackOptional(Packer& out, const std::optional<std::string>& text) {
  out.Number(text ? 1 : 0);
  out.Text(text.value_or(""));
}

std::optional<std::string> UnpackOptional(Unpacker& in) {
  const bool present = in.Number() != 0;
  std::string text = in.Text();
  return present ? std::optional(std::move(text)) : std::nullopt;
}

void PackLines(Packer& out, const RunLines& lines) {
  out.Number(lines.outcomes.size());
  for (const EventEnd& e : lines.outcomes) {
    out.Text(e.event);
    out.Number(e.failed ? 1 : 0);
    out.Text(e.reason);
  }
  for (const auto* list : {&lines.registry, &lines.files, &lines.log, &lines.host, &lines.file_paths}) {
    out.Texts(*list);
  }
  for (const RegistryTarget& target : lines.registry_targets) {
    out.Number(static_cast<std::uint64_t>(target.op));
    out.Text(target.key);
    PackOptional(out, target.value);
  }
  out.Number(lines.profiles.size());
  for (const ProfileFile& file : lines.profiles) {
    out.Text(file.path);
    PackOptional(out, file.before);
    PackOptional(out, file.after);
  }
}

RunLines UnpackLines(Unpacker& in) {
  RunLines lines;
  lines.outcomes.resize(in.Number());
  for (EventEnd& e : lines.outcomes) {
    e.event = in.Text();
    e.failed = in.Number() != 0;
    e.reason = in.Text();
  }
  for (auto* list : {&lines.registry, &lines.files, &lines.log, &lines.host, &lines.file_paths}) *list = in.Texts();
  lines.registry_targets.resize(lines.registry.size());
  for (RegistryTarget& target : lines.registry_targets) {
    target.op = static_cast<RegistryChange::Op>(in.Number());
    target.key = in.Text();
    target.value = UnpackOptional(in);
  }
  lines.profiles.resize(in.Number());
  for (ProfileFile& file : lines.profiles) {
    file.path = in.Text();
    file.before = UnpackOptional(in);
    file.after = UnpackOptional(in);
  }
  return lines;
}

void PackWrites(Packer& out, const std::vector<std::optional<OwnWrite>>& writes) {
  out.Number(writes.size());
  for (const auto& write : writes) {
    out.Number(write ? 1 : 0);
    if (!write) continue;
    for (const std::string* text : {&write->key, &write->file, &write->section, &write->host_line}) out.Text(*text);
    PackOptional(out, write->value);
    PackOptional(out, write->entry);
  }
}

std::vector<std::optional<OwnWrite>> UnpackWrites(Unpacker& in) {
  std::vector<std::optional<OwnWrite>> writes(in.Number());
  for (auto& write : writes) {
    if (in.Number() == 0) continue;
    write.emplace();
    for (std::string* text : {&write->key, &write->file, &write->section, &write->host_line}) *text = in.Text();
    write->value = UnpackOptional(in);
    write->entry = UnpackOptional(in);
  }
  return writes;
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
    PackWrites(out, ran.writes);
  });
}

// The effect of the faulty run of the clean run's fault `i` from its child's end.
Judged JudgedEnd(const Ran& clean, std::size_t i, const ChildEnd& end) {
  if (!end.replied) return RunFailure(end.failure);
  Unpacker reply(end.reply);
  if (const auto thrown = ThrownInReply(reply)) return RunFailure(*thrown);
  return Judge(clean.lines, clean.faults[i], clean.writes[i], UnpackLines(reply));
}

// The clean run's lines and faults; what it threw is thrown here.
Ran CleanFromEnd(const Scenario& scenario, const ChildEnd& end) {
  if (!end.replied) throw std::runtime_error("the clean run of " + scenario.name + ": " + end.failure);
  Unpacker in(end.reply);
  RethrowFromReply(in);
  Ran clean;
  clean.lines = UnpackLines(in);
  clean.faults = UnpackFaults(in);
  clean.writes = UnpackWrites(in);
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
                                     const RunResult run = RunOn(seed.light, options, seed_registry, true);
                                     return CleanRan(scenario, run, {&run}, options);
                                   });
                                 })[0]);
  const std::vector<std::string> watched = WatchedFiles(clean.writes);
  const std::vector<ChildEnd> ends = RunInChildren(clean.faults.size(), options.jobs, [&](std::size_t i) {
    seed.store.LeaveTreesStanding();
    return Reply([&] {
      if (options.before_fault) options.before_fault(clean.faults[i]);
      return Ran{LinesOf(RunOn(Faulted(seed.light, clean.faults[i]), options, seed_registry), watched), {}, {}};
    });
  });
  std::vector<Judged> judged;
  for (std::size_t i = 0; i < ends.size(); ++i) judged.push_back(JudgedEnd(clean, i, ends[i]));
  return Assemble(scenario, clean.lines, clean.faults, judged);
}

Matrix RunCycleMatrixForked(const Scenario& cycle, const MatrixOptions& options) {
  ReadSeed seed;
  Read(seed, cycle, options);
  emu::RegistryStore* seed_registry = seed.seeded ? &seed.store : nullptr;
  const Ran clean = CleanFromEnd(cycle, RunInChildren(1, 1, [&](std::size_t) {
                                   seed.store.LeaveTreesStanding();
                                   return Reply([&] { return CleanCycle(seed.light, options, seed_registry); });
                                 })[0]);
  const std::vector<std::string> watched = WatchedFiles(clean.writes);
  std::vector<Judged> judged(clean.faults.size());
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
          return Ran{FaultyCycle(*base, seed.light, clean.faults[mine[i]], watched), {}, {}};
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
        judged[i] = RunFailure("the runs of step " + std::to_string(step) + ": " + step_end.failure);
        continue;
      }
      ChildEnd end;
      end.replied = in.Number() != 0;
      (end.replied ? end.reply : end.failure) = in.Text();
      judged[i] = JudgedEnd(clean, i, end);
    }
  }
  return Assemble(cycle, clean.lines, clean.faults, judged);
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
  const RunResult clean_run = RunOn(scenario, options, nullptr, true);
  const Ran clean = CleanRan(scenario, clean_run, {&clean_run}, options);
  const std::vector<Fault>& faults = clean.faults;
  const std::vector<std::string> watched = WatchedFiles(clean.writes);
  std::vector<Judged> judged(faults.size());
  std::atomic<std::size_t> next{0};
  const auto worker = [&] {
    for (std::size_t i = next++; i < faults.size(); i = next++) {
      try {
        if (options.before_fault) options.before_fault(faults[i]);
        const RunLines faulty = LinesOf(RunOn(Faulted(scenario, faults[i]), options, nullptr), watched);
        judged[i] = Judge(clean.lines, faults[i], clean.writes[i], faulty);
      } catch (const std::exception& error) {
        judged[i] = RunFailure(error.what());
      }
    }
  };
  std::vector<std::thread> threads;
  for (int t = 1; t < std::max(options.jobs, 1); ++t) threads.emplace_back(worker);
  worker();
  for (std::thread& thread : threads) thread.join();
  return Assemble(scenario, clean.lines, faults, judged);
#endif
}

}  // namespace

Matrix RunMatrix(const Scenario& scenario, const MatrixOptions& options) {
  Matrix matrix = RunSelectedFaults(scenario, options);
  matrix.shard = options.shard;
  return matrix;
}

Effect DifferenceBetween(const RunResult& clean, const RunResult& faulty) {
  return EffectOf(LinesOf(clean, {}), LinesOf(faulty, {}));
}

Effect DifferenceBetween(const LifeCycleResult& clean, const LifeCycleResult& faulty) {
  return EffectOf(LinesOf(clean, {}), LinesOf(faulty, {}));
}

}  // namespace qvi::scenario
