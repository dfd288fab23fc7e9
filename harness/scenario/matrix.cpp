#include "scenario/matrix.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <sstream>
#include <thread>

#include "replacement_host/operation_names.h"
#include "runtime/code_page.h"
#include "scenario/report.h"

namespace qvi::scenario {

namespace {

using faults::Function;

constexpr std::int32_t kAutomationError = 440;

std::vector<std::string> Outcomes(const RunResult& run) {
  std::vector<std::string> out;
  for (const rhost::EventOutcome& e : run.events) {
    out.push_back(std::string(EventName(e.event)) + (e.failed ? " failed " + e.reason : " completed"));
  }
  return out;
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

Effect EffectOf(const RunResult& clean, const RunResult& faulty) {
  return {Outcomes(faulty), Difference(RegistryLines(clean), RegistryLines(faulty)),
          Difference(FileLines(clean), FileLines(faulty)), Difference(clean.log, faulty.log),
          Difference(HostLines(clean), HostLines(faulty))};
}

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

Matrix RunMatrix(const Scenario& scenario, int jobs) {
  const RunResult clean = RunScenario(scenario, {});
  const std::vector<Fault> faults = FaultsOf(clean);
  std::vector<Effect> effects(faults.size());
  std::atomic<std::size_t> next{0};
  const auto worker = [&] {
    for (std::size_t i = next++; i < faults.size(); i = next++) {
      Scenario faulted = scenario;
      faulted.machine_folder.reset();
      const Fault& f = faults[i];
      if (f.host) {
        faulted.host.failures.push_back({f.control, f.dispid, f.occurrence, f.code, "Automation error"});
      } else {
        faulted.platform_failures.push_back({f.function, f.occurrence, f.code});
      }
      try {
        effects[i] = EffectOf(clean, RunScenario(faulted, {}));
      } catch (const std::exception& error) {
        effects[i].outcomes = {std::string("the run itself failed: ") + error.what()};
      }
    }
  };
  std::vector<std::thread> threads;
  for (int t = 1; t < std::max(jobs, 1); ++t) threads.emplace_back(worker);
  worker();
  for (std::thread& thread : threads) thread.join();

  Matrix matrix;
  matrix.scenario = scenario.name;
  matrix.clean.outcomes = Outcomes(clean);
  matrix.runs = faults.size() + 1;
  for (std::size_t i = 0; i < faults.size(); ++i) {
    const auto row = std::find_if(matrix.rows.begin(), matrix.rows.end(),
                                  [&](const MatrixRow& r) { return r.effect == effects[i]; });
    if (row == matrix.rows.end()) {
      matrix.rows.push_back({{faults[i]}, effects[i]});
    } else {
      row->faults.push_back(faults[i]);
    }
  }
  return matrix;
}

std::string FormatMatrix(const Matrix& m) {
  std::ostringstream out;
  out << "Single-fault matrix of " << m.scenario << ": " << m.runs - 1 << " faults, " << m.rows.size()
      << " distinct effects\n";
  out << "Clean run:";
  for (const std::string& outcome : m.clean.outcomes) out << " " << outcome << ";";
  out << "\n";
  std::size_t number = 0;
  for (const MatrixRow& row : m.rows) {
    out << "\n[" << ++number << "] " << row.faults.size() << (row.faults.size() == 1 ? " fault" : " faults")
        << (row.effect.None(m.clean) ? ", no effect" : "") << "\n";
    for (const Fault& f : row.faults) out << "    " << f.Label() << " in " << f.event << "\n";
    if (row.effect.outcomes != m.clean.outcomes) {
      out << "  events:";
      for (const std::string& outcome : row.effect.outcomes) out << " " << outcome << ";";
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
  json doc = {{"scenario", m.scenario}, {"faults", m.runs - 1}, {"clean_outcomes", m.clean.outcomes}};
  doc["rows"] = json::array();
  for (const MatrixRow& row : m.rows) {
    json faults = json::array();
    for (const Fault& f : row.faults) faults.push_back({{"call", f.Label()}, {"event", f.event}});
    doc["rows"].push_back({{"faults", faults},
                           {"outcomes", row.effect.outcomes},
                           {"registry", row.effect.registry},
                           {"files", row.effect.files},
                           {"log", row.effect.log},
                           {"host", row.effect.host}});
  }
  return doc;
}

}  // namespace qvi::scenario
