// Runs a scenario on an emulated machine and gathers what it changed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emu/machine.h"
#include "replacement_host/replacement_host.h"
#include "replacement_host/session.h"
#include "scenario/own_write.h"
#include "scenario/scenario.h"
#include "scenario/trace.h"

namespace qvi::scenario {

struct RunOptions {
  // The machine folder; it persists, so runs can be chained on it. Without
  // one a fresh temporary machine is used and removed afterwards.
  std::optional<std::filesystem::path> machine_dir;
  // Called for each message box as it is shown (e.g. to wait for Enter).
  std::function<void(const emu::MessageBoxRecord&)> presenter;
  // Full key paths ("HKEY_LOCAL_MACHINE\\...", machine text) whose state at
  // the end RunResult::registry_after keeps, for expectations to check: a
  // copy of the whole registry would cost as much memory as the store.
  std::vector<std::string> registry_keys;
  // The most bytes of drive files one snapshot holds; files beyond it are
  // compared by size and hash, and the report says so.
  std::uint64_t snapshot_cap = 64u << 20;
  // The scenario's registry already read into a store: a fresh machine takes
  // its trees in place of the scenario's registry text, and leaves the store
  // empty (the matrix reads a large seed once and hands each forked run its
  // own copy).
  emu::RegistryStore* seed_registry = nullptr;
  // Records every call the snap-in makes in RunResult::trace. Off, no
  // recorder stands between the snap-in and the platform.
  bool trace = false;
  // Notes what each registry and INI write of the run wrote, in
  // RunResult::own_writes (the matrix's clean run).
  bool own_writes = false;
  // The caller is a process that ends after this run: the machine is closed
  // as always (saved, unlocked, a temporary folder removed), but its
  // registry's trees are left standing rather than taken apart key by key,
  // which for a large registry costs half as much as reading it. Never for a
  // caller that lives on, nor under a leak checker.
  bool leave_registry_standing = false;
};

struct RegistryChange {
  // kSetValue makes a value the key did not have; kChangeValue gives one it
  // had other data or another type.
  enum class Op { kCreateKey, kDeleteKey, kSetValue, kChangeValue, kDeleteValue };
  Op op = Op::kCreateKey;
  std::string key;  // full path, "HKEY_LOCAL_MACHINE\..."
  // For value changes; `value.data` is empty for a deleted value.
  emu::RegistryValue value;
  // kChangeValue and kDeleteValue: the value as it was.
  std::optional<emu::RegistryValue> before;
};

struct FileChange {
  std::string path;  // Windows path
  std::optional<std::string> before;  // absent when the file was created
  std::optional<std::string> after;   // absent when the file was removed
};

// One file the host copied before qviPostSetup, or failed to copy.
struct CopyOutcome {
  std::string section;      // as the snap-in selected it
  std::string file;         // its name in copy_files
  std::string destination;  // Windows path; "" when no directory was bound
  std::string failure;      // why it was not copied; "" when it was
};

// One fault the scenario injects (a platform_failures or host.failures
// entry) and the calls it failed.
struct InjectedFault {
  std::string field;        // "platform_failures[0]", "host.failures[1]"
  std::string call;         // "RegCreateKeyA", "QviPublic 22 GetPlatform"
  int occurrence = 1;       // 0: every call
  std::int32_t code = 0;    // the Win32 code or the automation error number
  std::string description;  // what the code means (machine text); "" when it has no name
  int calls = 0;            // how often the snap-in made that call
  // The event of each call the fault failed, in call order; empty when it
  // never fired.
  std::vector<std::string> fired_in;
};

// What one event changed.
struct EventChanges {
  std::vector<RegistryChange> registry;
  std::vector<FileChange> files;
};

struct RunResult {
  std::string scenario;
  std::string machine_folder;  // "" for a temporary machine
  bool fresh_machine = true;
  std::string computer_name;
  std::vector<rhost::EventOutcome> events;
  std::vector<rhost::HostCall> host_calls;
  rhost::HostState host_state;
  // The host's copies, in the order made; a failed one is also a warning.
  std::vector<CopyOutcome> copies;
  std::vector<RegistryChange> registry_changes;
  std::vector<FileChange> files;
  std::vector<std::string> log;  // lines appended to any ods.txt
  std::vector<emu::MessageBoxRecord> message_boxes;
  // The scenario's faults in its order, platform_failures first.
  std::vector<InjectedFault> injected_faults;
  // The machine as the run left it: the keys RunOptions::registry_keys named
  // that exist (in the order named), and every file.
  std::vector<emu::RegistryKey> registry_after;
  std::map<std::string, std::string> files_after;  // Windows path -> bytes
  // How many times the snap-in had called each operating-system function
  // when each event ended, in event order; a function not yet called is
  // absent.
  std::vector<std::map<faults::Function, int>> os_calls_after_event;
  // The changes again, event by event (in event order): what each event did
  // to the machine as the one before it left it.
  std::vector<EventChanges> changes_per_event;
  // On an existing machine, what the scenario's seeds added before the run
  // (machine text): registry keys and values as "[KEY]" and "[KEY] "name"=data",
  // files by Windows path. None of it is among the run's changes.
  std::vector<std::string> seeded;
  // What the scenario asked for and did not get: a setting the existing
  // machine overrides, a fault that never fired, an operation the snap-in
  // never calls, a computer name Windows would refuse. Each names its field.
  std::vector<std::string> warnings;
  // With RunOptions::trace: every call the snap-in made, to the platform and
  // the host, in the order made.
  bool traced = false;
  std::vector<TracedCall> trace;
  // With RunOptions::own_writes: the successful writes in call order.
  std::vector<RecordedWrite> own_writes;
};

// Opens (or makes) the machine, seeds it, raises the scenario's events through
// the replacement host, saving the machine after each event, and compares the
// machine before and after. A failed event is part of the result, and so is
// a copy or a DISPID 28 action the machine cannot carry out (a relative
// destination, a drive it lacks). Throws emu::MachineError or emu::PathError
// for a machine or seed that cannot be used, ScenarioError for a seed that
// cannot be applied (naming the scenario and the seed's field).
RunResult RunScenario(const Scenario& scenario, const RunOptions& options);

struct LifeCycleResult {
  // The steps that ran, in order; fewer than planned when one stopped.
  std::vector<RunResult> steps;
  std::size_t planned_steps = 0;
  // Why the life cycle stopped before its end, naming the step: "" when
  // every step ran. The machine is then as the last finished step left it.
  std::string stopped;
  // What stopped it was bad input (a step's seed or machine), not an internal
  // fault.
  bool stopped_by_input = false;
  // The machine after the last step against the machine before the first
  // (seeded): what the life cycle leaves behind.
  std::vector<RegistryChange> left_registry;
  std::vector<FileChange> left_files;
};

// A life cycle under way: one machine (RunOptions::machine_dir, else a
// temporary one) kept open, and so locked, from the seeding to the end, the
// life cycle's seeds first, then each step with its own seeds added where
// absent, as runs chained on the machine would add them.
class LifeCycleRun {
 public:
  // Opens (or makes) and seeds the machine. Throws as RunScenario does.
  LifeCycleRun(const Scenario& cycle, const RunOptions& options);
  // The same life cycle so far, on a temporary machine of its own: the drive
  // files copied, the registry taken from `from` (which keeps an empty one;
  // its trees are left standing for a forked process that shares them).
  explicit LifeCycleRun(LifeCycleRun& from);
  ~LifeCycleRun();
  LifeCycleRun(const LifeCycleRun&) = delete;
  LifeCycleRun& operator=(const LifeCycleRun&) = delete;

  // Runs the next step. Throws as RunScenario does; the machine then stays
  // as far as the step got.
  void RunStep(const Scenario& step);
  std::size_t steps_done() const;
  // Marks the life cycle as stopped (LifeCycleResult::stopped).
  void Stop(const std::string& why, bool by_input);
  // The steps so far and what they left behind.
  LifeCycleResult Result() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Runs the steps from run.steps_done() on; a step that throws stops the life
// cycle, named with the machine's state (LifeCycleResult::stopped).
void RunRemainingSteps(LifeCycleRun& run, const std::vector<Scenario>& steps);

// A whole life cycle (LifeCycleRun, RunRemainingSteps); the steps before a
// stop keep their reports. Throws as RunScenario does before the first step.
LifeCycleResult RunLifeCycle(const Scenario& scenario, const RunOptions& options);

// How the machine in `after` differs from the one in `before`, or without
// `before` from a pristine machine of the same settings. Throws
// emu::MachineError for a folder that holds no machine.
std::pair<std::vector<RegistryChange>, std::vector<FileChange>> DiffMachines(
    const std::filesystem::path& after, const std::optional<std::filesystem::path>& before);

// The changes between two registry snapshots: deleted keys first (each key
// of a removed tree, parents first), then created keys with their values and
// changed or removed values of kept keys, in tree order; values in creation
// order. Names compare without regard to letter case, as Windows does.
std::vector<RegistryChange> DiffRegistry(const std::vector<emu::RegistryKey>& before,
                                         const std::vector<emu::RegistryKey>& after);
// The same changes, told from what the store recorded since its
// StartRecording(): no copy of the registry from before is needed.
std::vector<RegistryChange> DiffRegistry(const emu::RegistryStore& store);

// The files that differ between two snapshots (Windows path -> bytes), in
// path order: created, changed and removed ones.
std::vector<FileChange> DiffFiles(const std::map<std::string, std::string>& before,
                                  const std::map<std::string, std::string>& after);

// Whether a snapshot's entry for a file (RunResult::files_after) is the
// file's bytes, not a line standing for a file beyond the snapshot cap or
// one that could not be read.
bool SnapshotHoldsBytes(const std::string& entry);

// Whether `path` (a Windows path) names a debug log: an ods.txt.
bool IsLogFile(const std::string& path);
// The lines appended to every ods.txt among `files`.
std::vector<std::string> LogLines(const std::vector<FileChange>& files);

// Lines added at the end of a log file, each ended by CR LF (a bare LF stays
// inside its line); when `after` does not extend `before`, all of its lines.
std::vector<std::string> AppendedLines(const std::string& before, const std::string& after);

}  // namespace qvi::scenario
