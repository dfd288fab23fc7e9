#include "run.h"

#include <algorithm>
#include <map>
#include <system_error>

#include "fault_injection.h"
#include "platform/emu/file_io.h"
#include "runtime/code_page.h"
#include "temp_machine.h"

namespace qvi::cli {

namespace fs = std::filesystem;

namespace {

// Files larger than this are shown in the report by size and time, so a huge
// file on a drive costs no memory.
constexpr std::uintmax_t kMaxSnapshotBytes = 16u << 20;

// What the report keeps of one file: its bytes, or for a large one a line that
// changes whenever the file does.
std::string SnapshotOf(const fs::path& file, std::uintmax_t size) {
  if (size > kMaxSnapshotBytes) {
    const emu::FileStamp stamp = emu::StampOf(file);
    return "(" + std::to_string(stamp.size) + " bytes, not shown; modified " + std::to_string(stamp.modified_ns) +
           ", file " + std::to_string(stamp.identity) + ")";
  }
  try {
    return emu::ReadWholeFile(file, kMaxSnapshotBytes).value_or("");
  } catch (const emu::MachineError&) {
    return "(not readable)";  // swapped for something else while listed
  }
}

// Every regular file on the machine's drives, by Windows path. Links are
// neither followed nor listed: what they point to is not on the machine.
std::map<std::string, std::string> SnapshotFiles(const emu::Machine& machine) {
  std::map<std::string, std::string> files;
  for (const auto& drive : fs::directory_iterator(machine.folder())) {
    if (!drive.is_directory() || drive.is_symlink() || drive.path().filename().string().rfind("drive_", 0) != 0) {
      continue;
    }
    for (const auto& entry : fs::recursive_directory_iterator(drive.path())) {
      std::error_code ec;
      const auto status = entry.symlink_status(ec);
      if (ec || !fs::is_regular_file(status)) continue;
      files[machine.WindowsPathOf(entry.path())] = SnapshotOf(entry.path(), entry.file_size(ec));
    }
  }
  return files;
}

// Splits "HKEY_LOCAL_MACHINE\SOFTWARE\x" into its root handle and the rest.
std::pair<platform::HKey, std::string> SplitRoot(const std::string& path) {
  const auto slash = path.find('\\');
  const auto root = platform::RootKeyByName(path.substr(0, slash));
  if (!root) throw emu::MachineError("registry key under no known root: " + path);
  return {*root, slash == std::string::npos ? "" : path.substr(slash + 1)};
}

// Adds what `seed` holds and `machine` lacks, value by value, so a machine
// that has lived through earlier runs keeps what those runs left.
void SeedRegistryWhereAbsent(emu::Machine& machine, const std::string& reg_text, const std::string& source) {
  TempMachineFolder scratch_folder("seed");
  auto scratch = emu::Machine::Open(scratch_folder.path(), std::nullopt, emu::Durability::kProcessOnly);
  scratch->ImportReg(reg_text, source);
  const auto present = machine.SnapshotRegistry();
  std::map<std::string, const emu::RegistryKey*> by_path;
  for (const auto& key : present) by_path[code_page::Lower(key.path)] = &key;

  for (const auto& key : scratch->SnapshotRegistry()) {
    const auto existing = by_path.find(code_page::Lower(key.path));
    const auto [root, sub_key] = SplitRoot(key.path);
    platform::HKey handle = platform::kNoKey;
    if (machine.RegCreateKeyA(root, sub_key.c_str(), &handle) != platform::win32::kSuccess) {
      throw emu::MachineError(source + ": cannot create " + key.path);
    }
    for (const auto& value : key.values) {
      const bool has_value =
          existing != by_path.end() &&
          std::any_of(existing->second->values.begin(), existing->second->values.end(),
                      [&](const emu::RegistryValue& v) { return code_page::EqualsNoCase(v.name, value.name); });
      if (has_value) continue;
      machine.RegSetValueExA(handle, value.name.c_str(), 0, value.type, value.data.data(),
                             static_cast<std::uint32_t>(value.data.size()));
    }
    if (!platform::IsPredefinedKey(handle)) machine.RegCloseKey(handle);
  }
}

void Seed(emu::Machine& machine, const Scenario& scenario, bool fresh) {
  const std::string source = (scenario.name.empty() ? std::string("scenario") : scenario.name) + " registry seed";
  if (!scenario.registry.empty()) {
    if (fresh) {
      machine.ImportReg(scenario.registry, source);
    } else {
      SeedRegistryWhereAbsent(machine, scenario.registry, source);
    }
  }
  for (const SeedFile& file : scenario.files) {
    const fs::path place = machine.MapPath(file.path);
    if (!fresh && fs::exists(place)) continue;
    std::error_code ec;
    fs::create_directories(place.parent_path(), ec);
    if (ec) throw emu::MachineError(place.parent_path().string() + ": cannot create: " + ec.message());
    // With the seeded registry, in one commit: a killed run leaves both or
    // neither, and a seed is never cut off.
    machine.WriteFileOnSave(place, file.content);
  }
}

}  // namespace

std::vector<RegistryChange> DiffRegistry(const std::vector<emu::RegistryKey>& before,
                                         const std::vector<emu::RegistryKey>& after) {
  using Op = RegistryChange::Op;
  std::map<std::string, const emu::RegistryKey*> old_keys;
  std::map<std::string, const emu::RegistryKey*> new_keys;
  for (const auto& key : before) old_keys[code_page::Lower(key.path)] = &key;
  for (const auto& key : after) new_keys[code_page::Lower(key.path)] = &key;

  std::vector<RegistryChange> changes;
  for (const auto& key : before) {
    if (!new_keys.contains(code_page::Lower(key.path))) changes.push_back({Op::kDeleteKey, key.path, {}});
  }
  const auto find_value = [](const emu::RegistryKey& key, const std::string& name) -> const emu::RegistryValue* {
    for (const auto& value : key.values) {
      if (code_page::EqualsNoCase(value.name, name)) return &value;
    }
    return nullptr;
  };
  for (const auto& key : after) {
    const auto old = old_keys.find(code_page::Lower(key.path));
    if (old == old_keys.end()) {
      changes.push_back({Op::kCreateKey, key.path, {}});
      for (const auto& value : key.values) changes.push_back({Op::kSetValue, key.path, value});
      continue;
    }
    for (const auto& value : key.values) {
      const emu::RegistryValue* was = find_value(*old->second, value.name);
      if (was == nullptr || was->type != value.type || was->data != value.data) {
        changes.push_back({Op::kSetValue, key.path, value});
      }
    }
    for (const auto& value : old->second->values) {
      if (find_value(key, value.name) == nullptr) {
        changes.push_back({Op::kDeleteValue, key.path, {value.name, value.type, {}}});
      }
    }
  }
  return changes;
}

std::vector<FileChange> DiffFiles(const std::map<std::string, std::string>& before,
                                  const std::map<std::string, std::string>& after) {
  std::vector<FileChange> changes;
  for (const auto& [path, bytes] : after) {
    const auto old = before.find(path);
    if (old == before.end()) {
      changes.push_back({path, std::nullopt, bytes});
    } else if (old->second != bytes) {
      changes.push_back({path, old->second, bytes});
    }
  }
  for (const auto& [path, bytes] : before) {
    if (!after.contains(path)) changes.push_back({path, bytes, std::nullopt});
  }
  std::sort(changes.begin(), changes.end(), [](const FileChange& a, const FileChange& b) { return a.path < b.path; });
  return changes;
}

std::vector<std::string> LogLines(const std::vector<FileChange>& files) {
  std::vector<std::string> log;
  for (const FileChange& file : files) {
    const auto name_at = file.path.find_last_of('\\');
    const std::string name = name_at == std::string::npos ? file.path : file.path.substr(name_at + 1);
    if (!code_page::EqualsNoCase(name, "ods.txt") || !file.after) continue;
    for (auto& line : AppendedLines(file.before.value_or(""), *file.after)) log.push_back(std::move(line));
  }
  return log;
}

std::vector<std::string> AppendedLines(const std::string& before, const std::string& after) {
  const std::string tail = after.rfind(before, 0) == 0 ? after.substr(before.size()) : after;
  std::vector<std::string> lines;
  std::size_t start = 0;
  // A log line ends with CR LF; a bare LF belongs to a message of several
  // lines written as one.
  while (start < tail.size()) {
    std::size_t end = tail.find("\r\n", start);
    if (end == std::string::npos) end = tail.size();
    lines.push_back(tail.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

RunResult RunScenario(const Scenario& scenario, const RunOptions& options) {
  std::optional<TempMachineFolder> scratch;
  fs::path folder;
  if (options.machine_dir) {
    folder = *options.machine_dir;
  } else {
    scratch.emplace();
    folder = scratch->path();
  }
  const bool fresh = !fs::exists(folder / "machine.ini") && !fs::exists(folder / "registry.reg");

  // A kept machine must survive a power cut; a temporary one is deleted at
  // the end and need not wait for the disk.
  auto machine = emu::Machine::Open(folder, scenario.machine,
                                    scratch ? emu::Durability::kProcessOnly : emu::Durability::kFlushed);
  Seed(*machine, scenario, fresh);
  machine->Save();
  if (options.presenter) machine->SetMessageBoxPresenter(options.presenter);

  const auto registry_before = machine->SnapshotRegistry();
  const auto files_before = SnapshotFiles(*machine);

  rhost::HostConfig config = scenario.host;
  if (!fresh) {
    // The host's own notion of the service control's answers follows the
    // machine it runs on, which keeps its name across chained runs.
    const std::string name = machine->settings().computer_name;
    if (config.unc_computer_name == host::Variant("\\\\" + scenario.machine.computer_name + "\\")) {
      config.unc_computer_name = "\\\\" + name + "\\";
    }
    if (config.drive_prefix == host::Variant("\\\\" + scenario.machine.computer_name)) {
      config.drive_prefix = "\\\\" + name;
    }
  }
  rhost::ReplacementHost host(std::move(config));

  // Always through the fault injector: it counts the calls, which tell what
  // a single-fault matrix can fail.
  testing::FaultInjectingPlatform faulty(*machine);
  for (const PlatformFailure& failure : scenario.platform_failures) {
    faulty.FailCall(failure.function, failure.occurrence, failure.code);
  }

  rhost::Session session(host, faulty);
  std::vector<std::map<testing::Function, int>> os_calls;
  for (const ScenarioEvent& event : scenario.events) {
    session.Raise(event.event, event.argument);
    machine->Save();
    std::map<testing::Function, int> counts;
    for (const testing::Function function : testing::AllFunctions()) counts[function] = faulty.CallCount(function);
    os_calls.push_back(std::move(counts));
  }

  RunResult result;
  result.scenario = scenario.name;
  result.machine_folder = options.machine_dir ? folder.string() : "";
  result.fresh_machine = fresh;
  result.computer_name = machine->settings().computer_name;
  result.events = session.outcomes();
  result.host_calls = host.calls();
  result.host_state = host.state();
  result.registry_after = machine->SnapshotRegistry();
  result.files_after = SnapshotFiles(*machine);
  result.registry_changes = DiffRegistry(registry_before, result.registry_after);
  result.files = DiffFiles(files_before, result.files_after);
  result.log = LogLines(result.files);
  result.message_boxes = machine->message_boxes();
  result.os_calls_after_event = std::move(os_calls);
  return result;
}

}  // namespace qvi::cli
