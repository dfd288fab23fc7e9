#include "scenario/run.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string_view>
#include <system_error>
#include <unordered_map>

#include "emu/digest.h"
#include "emu/file_io.h"
#include "emu/reg_text.h"
#include "emu/registry_store.h"
#include "emu/root_keys.h"
#include "faults/fault_injection.h"
#include "replacement_host/operation_names.h"
#include "runtime/code_page.h"
#include "scenario/exit_codes.h"
#include "scenario/temp_machine.h"

namespace qvi::scenario {

namespace fs = std::filesystem;

namespace {

// Files larger than this are shown in the report by size and time, so a huge
// file on a drive costs no memory.
constexpr std::uintmax_t kMaxSnapshotBytes = 16u << 20;

constexpr std::string_view kByHash = " bytes, not shown; beyond the snapshot cap, compared by hash ";

std::string HashLine(std::uint64_t size, std::uint64_t hash) {
  return "(" + std::to_string(size) + std::string(kByHash) + emu::DigestHex(hash) + ")";
}

constexpr std::string_view kByStamp = " bytes, not shown; modified ";
constexpr std::string_view kNotReadable = "(not readable)";

bool IsHashLine(const std::string& shown) {
  return shown.size() > kByHash.size() + 18 && shown.front() == '(' && shown.back() == ')' &&
         shown.compare(shown.size() - 17 - kByHash.size(), kByHash.size(), kByHash) == 0;
}

// What the report keeps of one file: its bytes, or for a large one a line that
// changes whenever the file does. `budget` is what the snapshot may still hold
// of files' bytes: a file that no longer fits is streamed through a hash, so
// many mid-sized files cost no more memory than the cap.
std::string SnapshotOf(const fs::path& file, std::uint64_t& budget) {
  std::string bytes;
  try {
    emu::FileReader reader(file, std::numeric_limits<std::uint64_t>::max());
    // Gone since it was listed: as if it had never been there.
    if (!reader.exists()) return "";
    if (reader.size() <= kMaxSnapshotBytes) {
      const std::uint64_t keep = std::min<std::uint64_t>(budget, kMaxSnapshotBytes);
      if (reader.size() <= keep) bytes.reserve(static_cast<std::size_t>(reader.size()) + 1);
      while (bytes.size() <= keep && reader.ReadMore(bytes, 1 << 16)) {
      }
      if (bytes.size() <= keep) {
        budget -= bytes.size();
        return bytes;
      }
      // Grown past what may be held, or never fitting: hashed from here on.
      std::uint64_t hash = emu::Digest(emu::kDigestStart, bytes);
      std::uint64_t size = bytes.size();
      std::string piece;
      while (reader.ReadMore(piece, 1 << 16)) {
        hash = emu::Digest(hash, piece);
        size += piece.size();
        piece.clear();
      }
      return HashLine(size, hash);
    }
  } catch (const emu::MachineError&) {
    return std::string(kNotReadable);  // swapped for something else while listed
  }
  const emu::FileStamp stamp = emu::StampOf(file);
  return "(" + std::to_string(stamp.size) + std::string(kByStamp) + std::to_string(stamp.modified_ns) +
         ", file " + std::to_string(stamp.identity) + ")";
}

// What a snapshot may still hold of files' bytes, and where it tells of the
// drive folders it could not list.
struct SnapshotLimits {
  std::uint64_t budget;
  std::set<std::string>* unlisted;
};

// Every regular file below `folder`, by Windows path. Links are neither
// followed nor listed: what they point to is not on the machine. A folder the
// run cannot look into is never passed over in silence: told in `unlisted`,
// where the report has a place for it, else refused.
void SnapshotFolder(const emu::Machine& machine, const fs::path& folder, std::map<std::string, std::string>& files,
                    SnapshotLimits& limits) {
  const auto entries = emu::ListFolder(folder);
  if (!entries) {
    if (!limits.unlisted) throw emu::MachineError(folder.string() + ": cannot be listed");
    limits.unlisted->insert(machine.WindowsPathOf(folder));
    return;
  }
  for (const emu::FolderEntry& entry : *entries) {
    const fs::path path = folder / entry.name;
    if (entry.kind == emu::FolderEntry::Kind::kFolder) {
      SnapshotFolder(machine, path, files, limits);
    } else if (entry.kind == emu::FolderEntry::Kind::kFile) {
      files[machine.WindowsPathOf(path)] = SnapshotOf(path, limits.budget);
    }
  }
}

// Every regular file on the machine's drives, by Windows path, holding at
// most `cap` bytes of them.
std::map<std::string, std::string> SnapshotFiles(const emu::Machine& machine,
                                                 std::uint64_t cap = RunOptions{}.snapshot_cap,
                                                 std::set<std::string>* unlisted = nullptr) {
  std::map<std::string, std::string> files;
  SnapshotLimits limits{cap, unlisted};
  const auto drives = emu::ListFolder(machine.folder());
  if (!drives) throw emu::MachineError(machine.folder().string() + ": cannot be listed");
  for (const emu::FolderEntry& drive : *drives) {
    if (drive.kind == emu::FolderEntry::Kind::kFolder && drive.name.rfind("drive_", 0) == 0) {
      SnapshotFolder(machine, machine.folder() / drive.name, files, limits);
    }
  }
  return files;
}

// Splits "HKEY_LOCAL_MACHINE\SOFTWARE\x" into its root handle and the rest.
std::pair<platform::HKey, std::string> SplitRoot(const std::string& path) {
  const auto slash = path.find('\\');
  const auto root = emu::RootKeyByName(path.substr(0, slash));
  if (!root) throw emu::MachineError("registry key under no known root: " + path);
  return {*root, slash == std::string::npos ? "" : path.substr(slash + 1)};
}

// Why a path cannot be used on the machine; a drive it lacks is the
// scenario's to declare.
std::string PathFailure(const emu::PathError& error) {
  const bool drive = dynamic_cast<const emu::UnknownDriveError*>(&error) != nullptr;
  return error.what() + std::string(drive ? " (declare it in machine.drives)" : "");
}

// Adds what `seed` holds and `machine` lacks, value by value, so a machine
// that has lived through earlier runs keeps what those runs left. What it
// adds is told in `added`, as the report writes registry changes.
void SeedRegistryWhereAbsent(emu::Machine& machine, const emu::RegistryStore& seed, const std::string& source,
                             std::vector<std::string>& added) {
  seed.ForEachKey([&](const std::string& path, const std::vector<emu::RegistryValue>& values) {
    const auto [root, sub_key] = SplitRoot(path);
    platform::HKey handle = platform::kNoKey;
    if (machine.RegOpenKeyExA(root, sub_key.c_str(), 0, platform::kKeyAllAccess, &handle) ==
        platform::win32::kSuccess) {
      if (!platform::IsPredefinedKey(handle)) machine.RegCloseKey(handle);
    } else {
      added.push_back("[" + path + "]");
    }
    if (machine.RegCreateKeyA(root, sub_key.c_str(), &handle) != platform::win32::kSuccess) {
      throw emu::MachineError(source + ": cannot create " + path);
    }
    for (const auto& value : values) {
      std::uint32_t size = 0;
      const bool has_value =
          machine.RegQueryValueExA(handle, value.name.c_str(), nullptr, nullptr, &size) == platform::win32::kSuccess;
      if (has_value) continue;
      machine.RegSetValueExA(handle, value.name.c_str(), 0, value.type, value.data.data(),
                             static_cast<std::uint32_t>(value.data.size()));
      added.push_back("[" + path + "] " + emu::RegValueText(value, " "));
    }
    if (!platform::IsPredefinedKey(handle)) machine.RegCloseKey(handle);
  });
}

// Seeds the machine; on an existing one, returns what the seeds added, which
// the report keeps apart from what the run did.
std::vector<std::string> Seed(emu::Machine& machine, const Scenario& scenario, bool fresh,
                              emu::RegistryStore* seed_registry = nullptr) {
  std::vector<std::string> added;
  const std::string source = scenario.source.empty() ? scenario.name : scenario.source;
  const auto fail = [&](const std::string& field, const std::string& message) {
    throw ScenarioError(source + ": field " + field + ": " + message);
  };
  if (fresh && seed_registry) {
    machine.registry().TakeTrees(*seed_registry);
  } else if (seed_registry || scenario.registry_seed || !scenario.registry.empty()) {
    const char* field = scenario.registry_seed ? "machine.registry_file" : "machine.registry";
    try {
      // Read into a store of its own (no machine, no folder), unless read
      // already.
      std::unique_ptr<emu::RegistryStore> read;
      if (!seed_registry && scenario.registry_seed) {
        read = scenario.registry_seed->Take();
      } else if (!seed_registry) {
        read = std::make_unique<emu::RegistryStore>();
        emu::ImportRegText(*read, scenario.registry, "seed");
      }
      emu::RegistryStore& seed = seed_registry ? *seed_registry : *read;
      if (fresh) {
        machine.registry().TakeTrees(seed);
      } else {
        SeedRegistryWhereAbsent(machine, seed, "seed", added);
      }
    } catch (const emu::MachineError& error) {
      fail(field, error.what());
    }
  }
  for (const char letter : scenario.drives) {
    const fs::path drive = machine.folder() / (std::string("drive_") + code_page::ToLower(letter));
    std::error_code ec;
    if (fs::is_directory(drive, ec)) continue;
    fs::create_directory(drive, ec);
    if (ec) fail("machine.drives", drive.string() + ": cannot create: " + ec.message());
    if (!fresh) added.push_back(std::string(1, letter) + ":\\");
  }
  for (std::size_t i = 0; i < scenario.files.size(); ++i) {
    const SeedFile& file = scenario.files[i];
    const std::string field = "machine.files[" + std::to_string(i) + "]";
    fs::path place;
    try {
      place = machine.MapPath(file.path);
    } catch (const emu::PathError& error) {
      fail(field + ".path", PathFailure(error));
    }
    if (!fresh && fs::exists(place)) continue;
    if (!fresh) added.push_back(file.path);
    std::error_code ec;
    fs::create_directories(place.parent_path(), ec);
    if (ec) fail(field + ".path", place.parent_path().string() + ": cannot create: " + ec.message());
    // With the seeded registry, in one commit: a killed run leaves both or
    // neither, and a seed is never cut off.
    machine.WriteFileOnSave(place, file.content);
  }
  return added;
}

// Windows refuses a computer name longer than this (its network name).
constexpr std::size_t kMaxComputerName = 15;

std::vector<std::string> Warnings(const Scenario& scenario, const emu::Machine& machine, bool fresh,
                                  const faults::FaultInjectingPlatform& faulty,
                                  const std::vector<rhost::HostCall>& calls) {
  std::vector<std::string> warnings;
  const emu::MachineSettings& actual = machine.settings();
  for (const std::string& field : scenario.machine_fields) {
    const auto [wanted, used] =
        field == "computer_name"       ? std::pair{scenario.machine.computer_name, actual.computer_name}
        : field == "windows_directory" ? std::pair{scenario.machine.windows_directory, actual.windows_directory}
                                       : std::pair{std::to_string(scenario.machine.code_page),
                                                   std::to_string(actual.code_page)};
    if (!fresh && !code_page::EqualsNoCase(wanted, used)) {
      warnings.push_back("machine." + field + " \"" + code_page::ToUtf8(wanted) + "\" is not used: the existing machine has \"" +
                         code_page::ToUtf8(used) + "\"");
    }
  }
  if (actual.computer_name.size() > kMaxComputerName) {
    warnings.push_back("the computer name \"" + code_page::ToUtf8(actual.computer_name) + "\" is longer than the " +
                       std::to_string(kMaxComputerName) + " characters Windows allows");
  }
  for (std::size_t i = 0; i < scenario.platform_failures.size(); ++i) {
    const PlatformFailure& f = scenario.platform_failures[i];
    const int made = faulty.CallCount(f.function);
    if (made >= std::max(f.occurrence, 1)) continue;
    warnings.push_back("platform_failures[" + std::to_string(i) + "] never fired: the snap-in called " +
                       std::string(faults::FunctionName(f.function)) + " " + std::to_string(made) + " time" +
                       (made == 1 ? "" : "s"));
  }
  const std::vector<rhost::InjectedFailure>& failures = scenario.host.failures;
  for (std::size_t i = 0; i < failures.size(); ++i) {
    const rhost::InjectedFailure& f = failures[i];
    const std::string field = "host.failures[" + std::to_string(i) + "]";
    const std::string control(rhost::ControlName(f.control));
    if (rhost::OperationName(f.control, f.dispid).empty()) {
      warnings.push_back(field + ": the snap-in calls no DISPID " + std::to_string(f.dispid) + " on " + control);
      continue;
    }
    const auto made = std::count_if(calls.begin(), calls.end(), [&](const rhost::HostCall& call) {
      return call.control == f.control && call.dispid == f.dispid;
    });
    if (made >= std::max(f.occurrence, 1)) continue;
    warnings.push_back(field + " never fired: the snap-in called " + control + " " + std::to_string(f.dispid) + " " +
                       std::string(rhost::OperationName(f.control, f.dispid)) + " " + std::to_string(made) +
                       " time" + (made == 1 ? "" : "s"));
  }
  return warnings;
}

// The event the `call`-th call of `function` was made in, from the counts
// after each event.
std::string EventOfCall(const std::vector<std::map<faults::Function, int>>& counts_after_event,
                        const std::vector<rhost::EventOutcome>& events, faults::Function function, int call) {
  for (std::size_t e = 0; e < counts_after_event.size() && e < events.size(); ++e) {
    const auto it = counts_after_event[e].find(function);
    if (it != counts_after_event[e].end() && it->second >= call) return std::string(EventName(events[e].event));
  }
  return "";
}

// Each injected fault with the calls it failed. A host call fails on the
// first of the scenario's failures that names it, as the host decides.
std::vector<InjectedFault> InjectedFaults(const Scenario& scenario, const faults::FaultInjectingPlatform& faulty,
                                          const RunResult& run) {
  std::vector<InjectedFault> traced;
  for (std::size_t i = 0; i < scenario.platform_failures.size(); ++i) {
    const PlatformFailure& f = scenario.platform_failures[i];
    InjectedFault fault{"platform_failures[" + std::to_string(i) + "]",
                        std::string(faults::FunctionName(f.function)),
                        f.occurrence,
                        f.code,
                        std::string(faults::CodeName(f.code)),
                        faulty.CallCount(f.function),
                        {}};
    for (const auto& fired : faulty.fired()) {
      if (fired.fault != i) continue;
      fault.fired_in.push_back(EventOfCall(run.os_calls_after_event, run.events, f.function, fired.call));
    }
    traced.push_back(std::move(fault));
  }
  const std::vector<rhost::InjectedFailure>& failures = scenario.host.failures;
  const std::size_t first_host = traced.size();
  for (std::size_t i = 0; i < failures.size(); ++i) {
    const rhost::InjectedFailure& f = failures[i];
    traced.push_back({"host.failures[" + std::to_string(i) + "]",
                      std::string(rhost::ControlName(f.control)) + " " + std::to_string(f.dispid) + " " +
                          std::string(rhost::OperationName(f.control, f.dispid)),
                      f.occurrence,
                      f.number,
                      f.description,
                      0,
                      {}});
  }
  std::map<std::pair<host::Control, host::DispId>, int> seen;
  for (const rhost::HostCall& call : run.host_calls) {
    const int occurrence = ++seen[{call.control, call.dispid}];
    bool failed = call.failed;
    for (std::size_t i = 0; i < failures.size(); ++i) {
      const rhost::InjectedFailure& f = failures[i];
      if (f.control != call.control || f.dispid != call.dispid) continue;
      InjectedFault& fault = traced[first_host + i];
      ++fault.calls;
      if (failed && (f.occurrence == 0 || f.occurrence == occurrence)) {
        fault.fired_in.push_back(call.event);
        failed = false;
      }
    }
  }
  return traced;
}

}  // namespace

namespace {

// Roots in the order the store lists them, then any other by name.
int RootRank(std::string_view root) {
  if (code_page::EqualsNoCase(root, "HKEY_LOCAL_MACHINE")) return 0;
  if (code_page::EqualsNoCase(root, "HKEY_CURRENT_USER")) return 1;
  return 2;
}

// Tree order: parents before their subkeys, siblings by name without regard
// to letter case. Snapshots come in this order, so two can be walked side by
// side.
int CompareTreeOrder(std::string_view a, std::string_view b) {
  bool root = true;
  while (true) {
    const std::size_t a_end = std::min(a.find('\\'), a.size());
    const std::size_t b_end = std::min(b.find('\\'), b.size());
    const std::string_view a_name = a.substr(0, a_end);
    const std::string_view b_name = b.substr(0, b_end);
    if (root) {
      const int rank = RootRank(a_name) - RootRank(b_name);
      if (rank != 0) return rank;
      root = false;
    }
    if (const int c = code_page::CompareNoCase(a_name, b_name); c != 0) return c;
    const bool a_more = a_end < a.size();
    const bool b_more = b_end < b.size();
    if (!a_more || !b_more) return static_cast<int>(a_more) - static_cast<int>(b_more);
    a.remove_prefix(a_end + 1);
    b.remove_prefix(b_end + 1);
  }
}

// The keys of a snapshot in tree order: the snapshot itself when it already
// is (as the store gives it), else a sorted view.
std::vector<const emu::RegistryKey*> InTreeOrder(const std::vector<emu::RegistryKey>& keys) {
  std::vector<const emu::RegistryKey*> order;
  order.reserve(keys.size());
  for (const auto& key : keys) order.push_back(&key);
  const auto less = [](const emu::RegistryKey* a, const emu::RegistryKey* b) {
    return CompareTreeOrder(a->path, b->path) < 0;
  };
  if (!std::is_sorted(order.begin(), order.end(), less)) std::stable_sort(order.begin(), order.end(), less);
  return order;
}

// Finds a key's values by name without regard to letter case; keys with
// many values are indexed instead of scanned per lookup.
class ValueFinder {
 public:
  explicit ValueFinder(const std::vector<emu::RegistryValue>& values) : values_(values) {
    if (values.size() < 16) return;
    for (const auto& value : values) index_.emplace(code_page::Lower(value.name), &value);
  }
  const emu::RegistryValue* Find(const std::string& name) const {
    if (index_.empty()) {
      for (const auto& value : values_) {
        if (code_page::EqualsNoCase(value.name, name)) return &value;
      }
      return nullptr;
    }
    const auto it = index_.find(code_page::Lower(name));
    return it == index_.end() ? nullptr : it->second;
  }

 private:
  const std::vector<emu::RegistryValue>& values_;
  // The first value of each folded name wins, as a scan would find it.
  std::unordered_map<std::string, const emu::RegistryValue*> index_;
};

// The changes of one key present after: created with its values when it was
// absent before (`was` null), else its set, changed and removed values.
void AddKeyChanges(const std::vector<emu::RegistryValue>* was, const std::string& path,
                   const std::vector<emu::RegistryValue>& values, std::vector<RegistryChange>& changes) {
  using Op = RegistryChange::Op;
  if (was == nullptr) {
    changes.push_back({Op::kCreateKey, path, {}, {}});
    for (const auto& value : values) changes.push_back({Op::kSetValue, path, value, {}});
    return;
  }
  if (*was == values) return;
  const ValueFinder old_values(*was);
  const ValueFinder new_values(values);
  for (const auto& value : values) {
    const emu::RegistryValue* old = old_values.Find(value.name);
    if (old == nullptr) {
      changes.push_back({Op::kSetValue, path, value, {}});
    } else if (old->type != value.type || old->data != value.data) {
      changes.push_back({Op::kChangeValue, path, value, *old});
    }
  }
  for (const auto& value : *was) {
    if (new_values.Find(value.name) == nullptr) {
      changes.push_back({Op::kDeleteValue, path, {value.name, value.type, {}}, value});
    }
  }
}

}  // namespace

std::vector<RegistryChange> DiffRegistry(const std::vector<emu::RegistryKey>& before,
                                         const std::vector<emu::RegistryKey>& after) {
  using Op = RegistryChange::Op;
  // Pair the keys of both snapshots by walking them side by side.
  const auto old_order = InTreeOrder(before);
  const auto new_order = InTreeOrder(after);
  std::unordered_map<const emu::RegistryKey*, const emu::RegistryKey*> old_of;  // new key -> same key before
  std::unordered_map<const emu::RegistryKey*, bool> kept;                        // old key -> still there
  for (std::size_t i = 0, j = 0; i < old_order.size() || j < new_order.size();) {
    const int c = i == old_order.size()   ? 1
                  : j == new_order.size() ? -1
                                          : CompareTreeOrder(old_order[i]->path, new_order[j]->path);
    if (c == 0) {
      old_of.emplace(new_order[j], old_order[i]);
      kept.emplace(old_order[i], true);
    }
    if (c <= 0) ++i;
    if (c >= 0) ++j;
  }

  std::vector<RegistryChange> changes;
  for (const auto& key : before) {
    if (!kept.contains(&key)) changes.push_back({Op::kDeleteKey, key.path, {}, {}});
  }
  for (const auto& key : after) {
    const auto old = old_of.find(&key);
    AddKeyChanges(old == old_of.end() ? nullptr : &old->second->values, key.path, key.values, changes);
  }
  return changes;
}

std::vector<RegistryChange> DiffRegistry(const emu::RegistryStore& store) {
  auto keys = store.RecordedKeys();
  std::vector<RegistryChange> changes;
  const auto by_path = [](const std::string emu::RegistryStore::RecordedKey::*path) {
    return [path](const auto* a, const auto* b) { return CompareTreeOrder(a->*path, b->*path) < 0; };
  };
  std::vector<const emu::RegistryStore::RecordedKey*> gone;
  std::vector<const emu::RegistryStore::RecordedKey*> present;
  for (const auto& key : keys) (key.exists ? present : gone).push_back(&key);
  std::sort(gone.begin(), gone.end(), by_path(&emu::RegistryStore::RecordedKey::path_then));
  std::sort(present.begin(), present.end(), by_path(&emu::RegistryStore::RecordedKey::path_now));
  for (const auto* key : gone) changes.push_back({RegistryChange::Op::kDeleteKey, key->path_then, {}, {}});
  for (const auto* key : present) {
    AddKeyChanges(key->existed ? &key->values_then : nullptr, key->path_now, key->values_now, changes);
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
      // One side held, the other hashed (another file took the cap first):
      // compared as both hashed, and shown so.
      if (IsHashLine(old->second) != IsHashLine(bytes)) {
        const auto hashed = [](const std::string& shown) {
          return IsHashLine(shown) ? shown : HashLine(shown.size(), emu::Digest(emu::kDigestStart, shown));
        };
        if (hashed(old->second) != hashed(bytes)) changes.push_back({path, hashed(old->second), hashed(bytes)});
        continue;
      }
      changes.push_back({path, old->second, bytes});
    }
  }
  for (const auto& [path, bytes] : before) {
    if (!after.contains(path)) changes.push_back({path, bytes, std::nullopt});
  }
  std::sort(changes.begin(), changes.end(), [](const FileChange& a, const FileChange& b) { return a.path < b.path; });
  return changes;
}

bool SnapshotHoldsBytes(const std::string& entry) {
  if (entry.empty() || entry.front() != '(' || entry.back() != ')') return true;
  return !(IsHashLine(entry) || entry == kNotReadable || entry.find(kByStamp) != std::string::npos);
}

bool IsLogFile(const std::string& path) {
  const auto name_at = path.find_last_of('\\');
  return code_page::EqualsNoCase(name_at == std::string::npos ? path : path.substr(name_at + 1), "ods.txt");
}

std::vector<std::string> LogLines(const std::vector<FileChange>& files) {
  std::vector<std::string> log;
  for (const FileChange& file : files) {
    if (!IsLogFile(file.path) || !file.after) continue;
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

namespace {

// The named keys that exist, with their values in creation order: each
// looked up where it stands, so a kept machine reads no other key. A key is
// named by its path as the store spells it, letter case aside.
std::vector<emu::RegistryKey> KeysAsLeft(const emu::RegistryStore& store, const std::vector<std::string>& paths) {
  std::vector<emu::RegistryKey> keys;
  for (const std::string& path : paths) {
    emu::RegistryKey key;
    if (store.ReadKey(path, key) && code_page::EqualsNoCase(key.path, path)) keys.push_back(std::move(key));
  }
  return keys;
}

}  // namespace

namespace {

// Why the host could not copy `copy`, or "" once the file waits for the next
// save. A real host tells its user of a failed copy and goes on.
std::string CopyFailure(emu::Machine& machine, const rhost::PlannedCopy& copy) {
  if (copy.destination.empty()) return "no destination directory \"" + copy.file->directory + "\" was bound";
  fs::path place;
  try {
    place = machine.MapPath(copy.destination);
  } catch (const emu::PathError& error) {
    return PathFailure(error);
  }
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(place, ec);
  // The save would fail on it, and with it everything the run did.
  if (fs::exists(status) && !fs::is_regular_file(status)) return "\"" + copy.destination + "\" is not a file";
  fs::create_directories(place.parent_path(), ec);
  if (ec) return "cannot create the folder of \"" + copy.destination + "\": " + ec.message();
  machine.WriteFileOnSave(place, copy.file->content);
  return "";
}

// What a setup host does between the setup and qviPostSetup: copies the files
// of each copy section selected so far (and not copied before) into their
// destination directories.
void CopySections(emu::Machine& machine, const rhost::HostConfig& config, const rhost::HostState& state,
                  std::vector<std::string>& copied, std::vector<CopyOutcome>& outcomes) {
  const auto done = [&](const std::string& section) {
    return std::any_of(copied.begin(), copied.end(),
                       [&](const std::string& s) { return code_page::EqualsNoCase(s, section); });
  };
  for (const rhost::PlannedCopy& copy : rhost::ResolveCopies(config, state)) {
    if (done(copy.section)) continue;
    outcomes.push_back({copy.section, copy.file->file, copy.destination, CopyFailure(machine, copy)});
  }
  for (const std::string& section : state.copy_sections) {
    if (!done(section)) copied.push_back(section);
  }
  machine.Save();
}

// A path from a drive's root or a share's: what a host removes. A bare name
// would map into the Windows directory, where only INI files are looked for.
bool IsFullPath(const std::string& path) {
  return path.starts_with("\\\\") || (path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) &&
                                      path[1] == ':' && (path[2] == '\\' || path[2] == '/'));
}

// Removes every folder below `folder` left empty, deepest first, then
// `folder` itself if empty; answers how many went. Links are never followed.
int RemoveEmptyFolders(const fs::path& folder) {
  int removed = 0;
  for (const emu::FolderEntry& entry : emu::ListFolder(folder).value_or(std::vector<emu::FolderEntry>{})) {
    if (entry.kind == emu::FolderEntry::Kind::kFolder) removed += RemoveEmptyFolders(folder / entry.name);
  }
  std::error_code ec;
  if (fs::remove(folder, ec)) ++removed;
  return removed;
}

// What is left below `folder`, by Windows path: the first few and how many.
std::string LeftBelow(const emu::Machine& machine, const fs::path& folder, int& count) {
  std::string shown;
  for (const emu::FolderEntry& entry : emu::ListFolder(folder).value_or(std::vector<emu::FolderEntry>{})) {
    const fs::path path = folder / entry.name;
    if (entry.kind == emu::FolderEntry::Kind::kFolder) {
      const std::string below = LeftBelow(machine, path, count);
      if (!below.empty()) shown += (shown.empty() ? "" : ", ") + below;
      continue;
    }
    if (++count <= 3) shown += (shown.empty() ? "" : ", ") + machine.WindowsPathOf(path);
  }
  return shown;
}

std::string Counted(int n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// DISPID 28's action on the machine, as a host carries it out at once.
rhost::DirectoryOutcome ActOnDirectory(emu::Machine& machine, rhost::DirectoryAction action,
                                       const std::string& directory, const rhost::HostConfig& config,
                                       const rhost::HostState& state) {
  using Action = rhost::DirectoryAction;
  if (!IsFullPath(directory)) return {false, "\"" + directory + "\" is not a full path; nothing removed"};
  fs::path folder;
  try {
    folder = machine.MapPath(directory);
  } catch (const emu::PathError& error) {
    return {false, PathFailure(error) + "; nothing removed"};
  }
  // On Windows the snap-in's INI edits are on the disk when the host looks.
  machine.Save();
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(folder, ec);
  if (!fs::exists(status)) return {true, "no such folder"};
  if (!fs::is_directory(status)) return {false, "not a folder; nothing removed"};
  // Windows cannot remove a drive's root, and a host that swept one of its
  // empty folders would take the machine's with it.
  if (folder.parent_path() == machine.folder()) return {false, "a drive's root is never removed; nothing removed"};
  std::string summary;
  if (action == Action::kRemoveTree) {
    emu::RemoveTree(folder);
  } else if (action == Action::kRemoveEmpty) {
    fs::remove(folder, ec);
  } else {
    int files = 0;
    for (const rhost::PlannedCopy& copy : rhost::ResolveCopies(config, state)) {
      fs::path place;
      try {
        if (copy.destination.empty()) continue;
        place = machine.MapPath(copy.destination);
      } catch (const emu::PathError&) {
        continue;  // never copied either
      }
      const fs::path below = place.lexically_relative(folder);
      if (below.empty() || *below.begin() == ".." || below == ".") continue;
      if (fs::is_regular_file(fs::symlink_status(place, ec)) && emu::RemoveFile(place)) ++files;
    }
    const int folders = RemoveEmptyFolders(folder);
    summary = "removed " + Counted(files, "file", "files") + " and " + Counted(folders, "folder", "folders") + "; ";
  }
  if (!fs::exists(fs::symlink_status(folder, ec))) return {true, summary + "gone"};
  int count = 0;
  const std::string left = LeftBelow(machine, folder, count);
  return {false, summary + "left " + Counted(count, "entry", "entries") + (count > 3 ? ", among them " : ": ") + left};
}

// The registry changes of each event in turn, told from the store's record at
// the event's end against the record at the end of the event before: only
// the keys changed since recording began are compared.
class RecordSinceLastEvent {
 public:
  std::vector<RegistryChange> Next(const emu::RegistryStore& store) {
    std::vector<emu::RegistryKey> before;
    std::vector<emu::RegistryKey> after;
    std::map<std::string, std::optional<emu::RegistryKey>> now;
    for (auto& key : store.RecordedKeys()) {
      const std::string id = code_page::Lower(key.path_then.empty() ? key.path_now : key.path_then);
      if (const auto last = last_.find(id); last != last_.end()) {
        if (last->second) before.push_back(*last->second);
      } else if (key.existed) {
        before.push_back({key.path_then, std::move(key.values_then)});
      }
      std::optional<emu::RegistryKey> state;
      if (key.exists) {
        state = emu::RegistryKey{key.path_now, std::move(key.values_now)};
        after.push_back(*state);
      }
      now[id] = std::move(state);
    }
    last_ = std::move(now);
    return DiffRegistry(before, after);
  }

 private:
  std::map<std::string, std::optional<emu::RegistryKey>> last_;  // folded path -> as the last event left it
};

}  // namespace

namespace {

// What the events of a run did, event by event.
struct EventsRun {
  std::vector<std::map<faults::Function, int>> os_calls;
  std::vector<EventChanges> per_event;
  std::vector<rhost::EventOutcome> outcomes;
  std::vector<CopyOutcome> copies;
};

// `os` is what the snap-in calls: the injector `faulty`, or a recorder in
// front of it.
EventsRun RaiseEvents(emu::Machine& machine, const Scenario& scenario, rhost::ReplacementHost& host,
                      faults::FaultInjectingPlatform& faulty, platform::Platform& os, const RunOptions& options,
                      std::map<std::string, std::string> files_since, std::set<std::string>& unlisted) {
  rhost::Session session(host, os);
  EventsRun run;
  RecordSinceLastEvent registry_since;
  std::vector<std::string> copied;
  for (const ScenarioEvent& event : scenario.events) {
    if (event.event == Event::kPostSetup) CopySections(machine, scenario.host, host.state(), copied, run.copies);
    session.Raise(event.event, event.argument);
    machine.Save();
    auto files_now = SnapshotFiles(machine, options.snapshot_cap, &unlisted);
    run.per_event.push_back({registry_since.Next(machine.registry()), DiffFiles(files_since, files_now)});
    files_since = std::move(files_now);
    std::map<faults::Function, int> counts;
    for (const faults::Function function : faults::AllFunctions()) {
      if (const int calls = faulty.CallCount(function); calls > 0) counts[function] = calls;
    }
    run.os_calls.push_back(std::move(counts));
  }
  run.outcomes = session.outcomes();
  return run;
}

// Seeds the open machine, raises the scenario's events on it and gathers
// what they changed.
// `seeded`: what a caller that seeded the machine itself added, or null to
// seed it here.
RunResult RunOnMachine(emu::Machine& machine, bool fresh, const Scenario& scenario, const RunOptions& options,
                       std::vector<std::string>* seeded_by_caller = nullptr) {
  std::vector<std::string> seeded;
  if (seeded_by_caller != nullptr) {
    seeded = std::move(*seeded_by_caller);
  } else {
    // Recorded, so that what the seed adds to a kept machine is appended to
    // its log rather than costing a rewrite of its whole registry.
    if (!fresh) machine.StartRecording();
    seeded = Seed(machine, scenario, fresh, options.seed_registry);
    machine.Save();
  }
  if (options.presenter) machine.SetMessageBoxPresenter(options.presenter);
  // A machine that ran earlier steps has shown their boxes already.
  const std::size_t boxes_before = machine.message_boxes().size();

  machine.StartRecording();
  std::set<std::string> unlisted;
  const auto files_before = SnapshotFiles(machine, options.snapshot_cap, &unlisted);
  // The service control's answers that stand for this computer follow the
  // machine the host runs on, which keeps its own name across chained runs.
  rhost::ReplacementHost host(HostConfigFor(scenario, machine.settings().computer_name));
  host.SetDirectoryActor([&machine](rhost::DirectoryAction action, const std::string& directory,
                                    const rhost::HostConfig& host_config, const rhost::HostState& state) {
    // Nothing may cross the snap-in: a failure is the host's answer 0.
    try {
      return ActOnDirectory(machine, action, directory, host_config, state);
    } catch (const std::exception& error) {
      return rhost::DirectoryOutcome{false, std::string("failed: ") + error.what()};
    }
  });
  // Always through the fault injector: it counts the calls, which tell what
  // a single-fault matrix can fail.
  faults::FaultInjectingPlatform faulty(machine);
  for (const PlatformFailure& failure : scenario.platform_failures) {
    faulty.FailCall(failure.function, failure.occurrence, failure.code);
  }
  std::optional<RecordingPlatform> recorder;
  if (options.trace) recorder.emplace(faulty, host);
  platform::Platform& traced = recorder ? static_cast<platform::Platform&>(*recorder) : faulty;
  std::optional<OwnWriteRecorder> writes;
  if (options.own_writes) writes.emplace(traced, machine);
  EventsRun events = RaiseEvents(machine, scenario, host, faulty,
                                 writes ? static_cast<platform::Platform&>(*writes) : traced, options, files_before,
                                 unlisted);

  RunResult result;
  result.scenario = scenario.name;
  result.fresh_machine = fresh;
  result.computer_name = machine.settings().computer_name;
  result.events = std::move(events.outcomes);
  result.host_calls = host.calls();
  result.host_state = host.state();
  result.copies = std::move(events.copies);
  result.registry_after = KeysAsLeft(machine.registry(), options.registry_keys);
  result.files_after = SnapshotFiles(machine, options.snapshot_cap, &unlisted);
  result.registry_changes = DiffRegistry(machine.registry());
  result.files = DiffFiles(files_before, result.files_after);
  result.log = LogLines(result.files);
  result.message_boxes.assign(machine.message_boxes().begin() + static_cast<std::ptrdiff_t>(boxes_before),
                              machine.message_boxes().end());
  result.os_calls_after_event = std::move(events.os_calls);
  result.changes_per_event = std::move(events.per_event);
  result.seeded = std::move(seeded);
  result.injected_faults = InjectedFaults(scenario, faulty, result);
  result.warnings = Warnings(scenario, machine, fresh, faulty, result.host_calls);
  if (recorder) {
    result.traced = true;
    result.trace = MergeTrace(recorder->calls(), result.host_calls, scenario.host.failures);
  }
  if (writes) result.own_writes = writes->Take();
  for (const CopyOutcome& copy : result.copies) {
    if (copy.failure.empty()) continue;
    result.warnings.push_back("host.copy_files: " +
                              code_page::ToUtf8(copy.section + " \"" + copy.file + "\" not copied: " + copy.failure));
  }
  for (const std::string& folder : unlisted) {
    result.warnings.push_back(code_page::ToUtf8(folder) + ": the folder cannot be listed; files in it are left out of this report");
  }
  return result;
}

}  // namespace

RunResult RunScenario(const Scenario& scenario, const RunOptions& options) {
  std::optional<TempMachineFolder> scratch;
  fs::path folder;
  if (options.machine_dir) {
    folder = *options.machine_dir;
  } else {
    scratch.emplace();
    folder = scratch->path();
  }
  // A kept machine must survive a power cut; a temporary one is deleted at
  // the end, so it neither waits for the disk nor writes the registry and
  // settings that no report shows.
  auto machine = emu::Machine::Open(folder, scenario.machine,
                                    scratch ? emu::Durability::kDiscarded : emu::Durability::kFlushed);
  // Decided under the machine's lock: another run may have made the machine
  // since this one was started.
  const bool fresh = scratch || machine->fresh();
  RunResult result = RunOnMachine(*machine, fresh, scenario, options);
  // Only now: the flag goes with the trees, and seeding swaps them.
  if (options.leave_registry_standing) machine->registry().LeaveTreesStanding();
  result.machine_folder = options.machine_dir ? folder.string() : "";
  return result;
}

namespace {

bool HoldsMachine(const fs::path& folder) {
  return fs::exists(folder / "machine.ini") || fs::exists(folder / "registry.reg");
}

// A key's state before the life cycle's first step and now.
struct KeyEnds {
  std::optional<emu::RegistryKey> first;
  std::optional<emu::RegistryKey> now;
};

}  // namespace

struct LifeCycleRun::Impl {
  std::optional<TempMachineFolder> scratch;
  std::unique_ptr<emu::Machine> machine;
  RunOptions options;
  bool fresh = false;
  std::map<std::string, std::string> files_before;
  // Every key a step (or its seeds) touched, by folded path: the rest is as
  // it was before the first step, so only these need comparing at the end.
  std::map<std::string, KeyEnds> touched;
  LifeCycleResult result;

  // Folds what the store recorded since its last StartRecording() in.
  void Fold() {
    for (auto& key : machine->registry().RecordedKeys()) {
      const std::string id = code_page::Lower(key.path_then.empty() ? key.path_now : key.path_then);
      auto [ends, first_seen] = touched.try_emplace(id);
      if (first_seen && key.existed) ends->second.first = emu::RegistryKey{key.path_then, std::move(key.values_then)};
      ends->second.now.reset();
      if (key.exists) ends->second.now = emu::RegistryKey{key.path_now, std::move(key.values_now)};
    }
  }
};

LifeCycleRun::LifeCycleRun(const Scenario& cycle, const RunOptions& options) : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  if (!options.machine_dir) m.scratch.emplace();
  const fs::path folder = options.machine_dir ? *options.machine_dir : m.scratch->path();
  m.machine = emu::Machine::Open(folder, cycle.machine,
                                 m.scratch ? emu::Durability::kDiscarded : emu::Durability::kFlushed);
  // Decided under the machine's lock, as a single run decides it.
  m.fresh = m.scratch || m.machine->fresh();
  Seed(*m.machine, cycle, m.fresh, options.seed_registry);
  // After the seed's trees are taken: the flag goes with the trees.
  if (options.leave_registry_standing) m.machine->registry().LeaveTreesStanding();
  m.machine->Save();
  m.files_before = SnapshotFiles(*m.machine, options.snapshot_cap);
  m.options = options;
  m.options.seed_registry = nullptr;
  m.result.planned_steps = cycle.steps.size();
}

LifeCycleRun::LifeCycleRun(LifeCycleRun& from) : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  const Impl& f = *from.impl_;
  m.scratch.emplace("cycle");
  // The drive files as they are; the registry taken from the other machine,
  // whose store is left standing for the process that shares it.
  for (const emu::FolderEntry& drive : emu::ListFolder(f.machine->folder()).value_or(std::vector<emu::FolderEntry>{})) {
    if (drive.kind != emu::FolderEntry::Kind::kFolder || drive.name.rfind("drive_", 0) != 0) continue;
    fs::copy(f.machine->folder() / drive.name, m.scratch->path() / drive.name,
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  }
  m.machine = emu::Machine::Open(m.scratch->path(), f.machine->settings(), emu::Durability::kDiscarded);
  from.impl_->machine->registry().LeaveTreesStanding();
  m.machine->registry().TakeTrees(from.impl_->machine->registry());
  m.fresh = f.fresh;
  m.files_before = f.files_before;
  m.touched = f.touched;
  m.result = f.result;
  m.options = f.options;
  m.options.machine_dir.reset();
}

LifeCycleRun::~LifeCycleRun() = default;

void LifeCycleRun::RunStep(const Scenario& step) {
  Impl& m = *impl_;
  // The step's seeds are recorded too: what they add was not there before
  // the first step.
  m.machine->StartRecording();
  std::vector<std::string> seeded = Seed(*m.machine, step, false);
  m.machine->Save();
  m.Fold();
  RunResult result = RunOnMachine(*m.machine, false, step, m.options, &seeded);
  m.Fold();
  result.machine_folder = m.scratch ? "" : m.machine->folder().string();
  if (m.result.steps.empty()) result.fresh_machine = m.fresh;
  m.result.steps.push_back(std::move(result));
}

std::size_t LifeCycleRun::steps_done() const { return impl_->result.steps.size(); }

LifeCycleResult LifeCycleRun::Result() const {
  const Impl& m = *impl_;
  LifeCycleResult result = m.result;
  std::vector<emu::RegistryKey> first;
  std::vector<emu::RegistryKey> now;
  for (const auto& [id, ends] : m.touched) {
    if (ends.first) first.push_back(*ends.first);
    if (ends.now) now.push_back(*ends.now);
  }
  // In the store's order, as a snapshot of the whole registry lists them.
  const auto in_tree_order = [](const emu::RegistryKey& a, const emu::RegistryKey& b) {
    return CompareTreeOrder(a.path, b.path) < 0;
  };
  std::sort(first.begin(), first.end(), in_tree_order);
  std::sort(now.begin(), now.end(), in_tree_order);
  result.left_registry = DiffRegistry(first, now);
  result.left_files = DiffFiles(m.files_before, SnapshotFiles(*m.machine, m.options.snapshot_cap));
  return result;
}

void LifeCycleRun::Stop(const std::string& why, bool by_input) {
  impl_->result.stopped = why;
  impl_->result.stopped_by_input = by_input;
}

namespace {

// A step's error as the life cycle tells it: which step, and where the
// machine was left.
std::string StepFailure(std::size_t done, const Scenario& step, const std::string& what) {
  const std::size_t number = done + 1;
  return "step " + std::to_string(number) + " (" + step.name + "): " + what + "; the machine is as " +
         (number == 1 ? std::string("it was seeded, before the first step")
                      : "step " + std::to_string(number - 1) + " left it");
}

}  // namespace

void RunRemainingSteps(LifeCycleRun& run, const std::vector<Scenario>& steps) {
  for (std::size_t i = run.steps_done(); i < steps.size(); ++i) {
    try {
      run.RunStep(steps[i]);
    } catch (const std::exception& error) {
      run.Stop(StepFailure(i, steps[i], error.what()), IsBadInput(error));
      return;
    }
  }
}

LifeCycleResult RunLifeCycle(const Scenario& scenario, const RunOptions& options) {
  LifeCycleRun run(scenario, options);
  RunRemainingSteps(run, scenario.steps);
  return run.Result();
}

std::pair<std::vector<RegistryChange>, std::vector<FileChange>> DiffMachines(
    const fs::path& after, const std::optional<fs::path>& before) {
  for (const std::optional<fs::path>& folder : {std::optional<fs::path>(after), before}) {
    if (folder && !HoldsMachine(*folder)) throw emu::MachineError(folder->string() + ": no machine there");
  }
  // One machine cannot be opened twice at once, and equals itself.
  if (before && fs::equivalent(after, *before)) return {};
  // Only read: a machine kept as a read-only artifact can be compared.
  const auto machine = emu::Machine::OpenToRead(after);
  std::optional<TempMachineFolder> scratch;
  if (!before) scratch.emplace("pristine");
  const auto other = before ? emu::Machine::OpenToRead(*before)
                            : emu::Machine::Open(scratch->path(), machine->settings(), emu::Durability::kDiscarded);
  return {DiffRegistry(other->registry().Snapshot(), machine->registry().Snapshot()),
          DiffFiles(SnapshotFiles(*other), SnapshotFiles(*machine))};
}

}  // namespace qvi::scenario
