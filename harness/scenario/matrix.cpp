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

#ifndef _WIN32
#include <poll.h>
#include <sys/wait.h>
#ifdef __linux__
#include <sys/mman.h>
#include <sys/prctl.h>

#include <cstdio>

#include <csignal>
#endif
#include <unistd.h>
#endif

#include "emu/reg_text.h"

#include "replacement_host/operation_names.h"
#include "runtime/code_page.h"
#include "scenario/report.h"
#include "scenario/temp_machine.h"

namespace qvi::scenario {

namespace {

using faults::Function;

constexpr std::int32_t kAutomationError = 440;

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

std::vector<std::string> RegistryLines(const RunResult& run) {
  std::vector<std::string> lines;
  for (const RegistryChange& c : run.registry_changes) {
    std::string line = c.key;
    switch (c.op) {
      case RegistryChange::Op::kCreateKey: line = "create " + line; break;
      case RegistryChange::Op::kDeleteKey: line = "delete " + line; break;
      case RegistryChange::Op::kSetValue:
        line = "set " + line + " \"" + c.value.name + "\" " + RegistryTypeName(c.value.type) + " \"" +
               RegistryDataText(c.value) + "\"";
        break;
      case RegistryChange::Op::kDeleteValue: line = "delete " + line + " \"" + c.value.name + "\""; break;
    }
    lines.push_back(code_page::ToUtf8(line));
  }
  return lines;
}

std::vector<std::string> FileLines(const RunResult& run) {
  std::vector<std::string> lines;
  for (const FileChange& f : run.files) {
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
  return {Outcomes(run), RegistryLines(run), FileLines(run), LogLines(run), HostLines(run)};
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
  return text + " #" + std::to_string(occurrence) + " (" + std::to_string(code) + ")";
}

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
    faulted.host.failures.push_back({f.control, f.dispid, f.occurrence, f.code, "Automation error"});
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

std::vector<Fault> SelectedFaults(const Scenario& scenario, const RunResult& clean, const MatrixFilter& filter) {
  std::vector<Fault> faults;
  for (const Fault& f : FaultsOf(clean)) {
    if (Selected(f, filter)) faults.push_back(f);
  }
  if (faults.empty() && (!filter.event.empty() || !filter.function.empty())) {
    throw ScenarioError("the clean run of " + scenario.name + " made no call that the filter selects (event \"" +
                        filter.event + "\", function \"" + filter.function + "\")");
  }
  return faults;
}

#ifndef _WIN32

// A run's reply from its child process, as bytes: counts and
// length-prefixed strings.
class Packer {
 public:
  void Number(std::uint64_t n) { out_.append(reinterpret_cast<const char*>(&n), sizeof n); }
  void Text(std::string_view s) {
    Number(s.size());
    out_.append(s);
  }
  void Texts(const std::vector<std::string>& lines) {
    Number(lines.size());
    for (const std::string& line : lines) Text(line);
  }
  std::string& bytes() { return out_; }

 private:
  std::string out_;
};

class Unpacker {
 public:
  explicit Unpacker(std::string_view in) : in_(in) {}
  std::uint64_t Number() {
    std::uint64_t n = 0;
    if (in_.size() < sizeof n) throw std::runtime_error("a run's reply is cut short");
    std::memcpy(&n, in_.data(), sizeof n);
    in_.remove_prefix(sizeof n);
    return n;
  }
  std::string Text() {
    const std::uint64_t size = Number();
    if (in_.size() < size) throw std::runtime_error("a run's reply is cut short");
    std::string s(in_.substr(0, size));
    in_.remove_prefix(size);
    return s;
  }
  std::vector<std::string> Texts() {
    std::vector<std::string> lines(Number());
    for (std::string& line : lines) line = Text();
    return lines;
  }
  bool done() const { return in_.empty(); }

 private:
  std::string_view in_;
};

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

// How a run that threw is told to the parent: which kind of error, so that
// the clean run's failure reaches the caller as it would have in-process.
enum class Thrown : std::uint64_t { kNone, kScenario, kMachine, kPath, kOther };

[[noreturn]] void Rethrow(Thrown kind, const std::string& what) {
  switch (kind) {
    case Thrown::kScenario: throw ScenarioError(what);
    case Thrown::kMachine: throw emu::MachineError(what);
    case Thrown::kPath: throw emu::PathError(what);
    default: throw std::runtime_error(what);
  }
}

// Runs `body` in a child process forked from this one; the reply is what
// it returns. Each child ends with _exit: it neither flushes the parent's
// buffered output a second time nor takes apart the machine it inherited.
struct ChildEnd {
  bool replied = false;
  std::string reply;
  std::string failure;  // why there is no reply
};

std::vector<ChildEnd> RunInChildren(std::size_t count, int jobs, const std::function<std::string(std::size_t)>& body) {
  struct Running {
    pid_t pid;
    int fd;
    std::size_t index;
  };
  std::vector<ChildEnd> ends(count);
  std::vector<Running> running;
  std::size_t next = 0;
  const auto start = [&](std::size_t index) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) throw std::runtime_error(std::string("cannot make a pipe: ") + std::strerror(errno));
    const pid_t pid = fork();
    if (pid < 0) {
      close(pipe_fds[0]);
      close(pipe_fds[1]);
      throw std::runtime_error(std::string("cannot start a run: ") + std::strerror(errno));
    }
    if (pid == 0) {
#ifdef __linux__
      // A run outlives no matrix that was stopped.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
      close(pipe_fds[0]);
      std::string reply;
      // Nothing may unwind past here: the child would go on as the parent.
      try {
        reply = body(index);
      } catch (...) {
        _exit(4);
      }
      for (std::size_t sent = 0; sent < reply.size();) {
        const ssize_t n = write(pipe_fds[1], reply.data() + sent, reply.size() - sent);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) _exit(3);
        sent += static_cast<std::size_t>(n);
      }
      _exit(0);
    }
    close(pipe_fds[1]);
    running.push_back({pid, pipe_fds[0], index});
  };
  const auto finish = [&](std::size_t at) {
    const Running child = running[at];
    running.erase(running.begin() + static_cast<std::ptrdiff_t>(at));
    close(child.fd);
    int status = 0;
    while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    ChildEnd& end = ends[child.index];
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
      end.replied = true;
    } else if (WIFSIGNALED(status)) {
      const char* name = strsignal(WTERMSIG(status));
      end.failure = "the run was ended by signal " + std::to_string(WTERMSIG(status)) + " (" +
                    (name ? name : "unknown") + ") before it reported";
    } else {
      end.failure = "the run exited with status " + std::to_string(WEXITSTATUS(status)) + " before it reported";
    }
    if (!end.replied) end.reply.clear();
  };
  while (next < count || !running.empty()) {
    while (next < count && running.size() < static_cast<std::size_t>(std::max(jobs, 1))) start(next++);
    std::vector<pollfd> fds;
    for (const Running& child : running) fds.push_back({child.fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error(std::string("cannot wait for the runs: ") + std::strerror(errno));
    }
    // From the last, so that finishing one leaves the others' places alone.
    for (std::size_t at = fds.size(); at-- > 0;) {
      if (fds[at].revents == 0) continue;
      char piece[1 << 16];
      const ssize_t n = read(fds[at].fd, piece, sizeof piece);
      if (n < 0 && errno == EINTR) continue;
      if (n > 0) {
        ends[running[at].index].reply.append(piece, static_cast<std::size_t>(n));
      } else {
        finish(at);
      }
    }
  }
  return ends;
}

#ifdef __linux__
// Backs this process's large anonymous mappings (the heap with the seed
// read into it) with huge pages, so that each fork copies a page table
// entry for 2 MB instead of one for each 4 KB: with a seed of 400,000
// keys, copying the page tables was most of a forked run's cost. A child's
// write still copies only the small page it touches. Best effort: a system
// without huge pages forks as before.
void CollapseIntoHugePages() {
  constexpr int kCollapse = 25;  // MADV_COLLAPSE, Linux 6.1
  constexpr std::uintptr_t kHuge = 2 << 20;
  std::FILE* maps = std::fopen("/proc/self/maps", "r");
  if (!maps) return;
  char line[512];
  while (std::fgets(line, sizeof line, maps)) {
    unsigned long from = 0;
    unsigned long to = 0;
    char perms[5] = {};
    char path[256] = {};
    if (std::sscanf(line, "%lx-%lx %4s %*s %*s %*s %255s", &from, &to, perms, path) < 3) continue;
    const bool anonymous = path[0] == '\0' || std::strcmp(path, "[heap]") == 0;
    if (!anonymous || std::strncmp(perms, "rw", 2) != 0 || to - from < 2 * kHuge) continue;
    const std::uintptr_t first = (from + kHuge - 1) & ~(kHuge - 1);
    const std::uintptr_t last = to & ~(kHuge - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, kCollapse);
  }
  std::fclose(maps);
}
#endif

// A run in a child process: its lines, or the error it threw.
std::string Reply(const std::function<RunResult()>& run, bool with_faults, const MatrixFilter& filter,
                  const Scenario& scenario) {
  Packer out;
  try {
    const RunResult result = run();
    RunLines lines = LinesOf(result);
    std::vector<Fault> faults;
    if (with_faults) faults = SelectedFaults(scenario, result, filter);
    out.Number(static_cast<std::uint64_t>(Thrown::kNone));
    PackLines(out, lines);
    out.Number(faults.size());
    for (const Fault& f : faults) {
      for (const std::int64_t n : {std::int64_t{f.host}, static_cast<std::int64_t>(f.control), std::int64_t{f.dispid},
                                   static_cast<std::int64_t>(f.function), std::int64_t{f.occurrence},
                                   std::int64_t{f.code}}) {
        out.Number(static_cast<std::uint64_t>(n));
      }
      out.Text(f.event);
    }
  } catch (const std::exception& error) {
    Thrown kind = Thrown::kOther;
    if (dynamic_cast<const ScenarioError*>(&error)) kind = Thrown::kScenario;
    if (dynamic_cast<const emu::MachineError*>(&error)) kind = Thrown::kMachine;
    if (dynamic_cast<const emu::PathError*>(&error)) kind = Thrown::kPath;
    out = Packer();
    out.Number(static_cast<std::uint64_t>(kind));
    out.Text(error.what());
  }
  return std::move(out.bytes());
}

Matrix RunMatrixForked(const Scenario& scenario, const MatrixOptions& options) {
  // The seed is read once here; every run forks from this process and takes
  // its own copy-on-write image of it.
  emu::RegistryStore seed;
  const bool seeded = !options.machine_dir && !scenario.registry.empty();
  if (seeded) {
    const std::string source = scenario.source.empty() ? scenario.name : scenario.source;
    try {
      emu::ImportRegText(seed, scenario.registry, "seed");
    } catch (const emu::MachineError& error) {
      throw ScenarioError(source + ": field machine.registry: " + error.what());
    }
  }
  emu::RegistryStore* seed_registry = seeded ? &seed : nullptr;
  // The runs are handed the seed read, not its text, which each would copy.
  Scenario light = scenario;
  if (seeded) std::string().swap(light.registry);
#ifdef __linux__
  if (seeded) CollapseIntoHugePages();
#endif

  const ChildEnd clean_end = RunInChildren(1, 1, [&](std::size_t) {
    seed.LeaveTreesStanding();
    return Reply([&] { return RunOn(light, options, seed_registry); }, true, options.filter, scenario);
  })[0];
  if (!clean_end.replied) throw std::runtime_error("the clean run of " + scenario.name + ": " + clean_end.failure);
  Unpacker in(clean_end.reply);
  if (const auto kind = static_cast<Thrown>(in.Number()); kind != Thrown::kNone) Rethrow(kind, in.Text());
  const RunLines clean = UnpackLines(in);
  std::vector<Fault> faults(in.Number());
  for (Fault& f : faults) {
    f.host = in.Number() != 0;
    f.control = static_cast<host::Control>(in.Number());
    f.dispid = static_cast<host::DispId>(in.Number());
    f.function = static_cast<faults::Function>(in.Number());
    f.occurrence = static_cast<int>(in.Number());
    f.code = static_cast<std::int32_t>(in.Number());
    f.event = in.Text();
  }

  const std::vector<ChildEnd> ends = RunInChildren(faults.size(), options.jobs, [&](std::size_t i) {
    seed.LeaveTreesStanding();
    return Reply(
        [&] {
          if (options.before_fault) options.before_fault(faults[i]);
          return RunOn(Faulted(light, faults[i]), options, seed_registry);
        },
        false, options.filter, scenario);
  });
  std::vector<Effect> effects(faults.size());
  for (std::size_t i = 0; i < faults.size(); ++i) {
    if (!ends[i].replied) {
      effects[i] = RunFailure(ends[i].failure);
      continue;
    }
    Unpacker reply(ends[i].reply);
    if (const auto kind = static_cast<Thrown>(reply.Number()); kind != Thrown::kNone) {
      effects[i] = RunFailure(reply.Text());
    } else {
      effects[i] = EffectOf(clean, UnpackLines(reply));
    }
  }
  return Assemble(scenario, clean, faults, effects);
}

#endif

}  // namespace

Matrix RunMatrix(const Scenario& scenario, const MatrixOptions& options) {
  if (options.machine_dir && !std::filesystem::is_directory(*options.machine_dir)) {
    throw ScenarioError(options.machine_dir->string() + ": no machine folder there");
  }
#ifndef _WIN32
  return RunMatrixForked(scenario, options);
#else
  // Without fork every run reads the seed again.
  const RunResult clean_run = RunOn(scenario, options, nullptr);
  const RunLines clean = LinesOf(clean_run);
  const std::vector<Fault> faults = SelectedFaults(scenario, clean_run, options.filter);
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

std::string FormatMatrix(const Matrix& m) {
  std::ostringstream out;
  out << "Single-fault matrix of " << m.scenario << ": " << m.runs - 1 << " faults, " << m.rows.size()
      << " distinct effects\n";
  out << "Clean run:";
  for (const EventEnd& outcome : m.clean.outcomes) out << " " << outcome.Text() << ";";
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
    for (const Fault& f : row.faults) out << "    " << f.Label() << " in " << f.event << "\n";
    if (row.effect.outcomes != m.clean.outcomes) {
      out << "  events:";
      for (const EventEnd& outcome : row.effect.outcomes) out << " " << outcome.Text() << ";";
      out << "\n";
    }
    for (const auto& [name, lines] : {std::pair<const char*, const std::vector<std::string>*>{"registry", &row.effect.registry},
                                      {"files", &row.effect.files},
                                      {"log", &row.effect.log},
                                      {"host", &row.effect.host}}) {
      for (const std::string& line : *lines) out << "  " << name << " " << line << "\n";
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
  doc["rows"] = json::array();
  for (const MatrixRow& row : m.rows) {
    // Each fault as a scenario's "host.failures" or "platform_failures"
    // entry, to paste there and run the fault alone.
    json faults = json::array();
    for (const Fault& f : row.faults) {
      json fault = {{"event", f.event}};
      if (f.host) {
        fault["operation"] = rhost::OperationName(f.control, f.dispid);
        fault["failure"] = {{"control", rhost::ControlName(f.control)}, {"dispid", f.dispid},
                            {"occurrence", f.occurrence}, {"number", f.code}, {"description", "Automation error"}};
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
