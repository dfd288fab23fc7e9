// What the matrix keeps of a run to compare it with the clean one: its end as
// lines (little enough to send from a forked child), and beside them what
// each registry and file line is about, so that a fault's effect can be held
// against the failed call's own write.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "scenario/matrix.h"
#include "scenario/own_write.h"
#include "scenario/run.h"

namespace qvi::scenario {

// What a registry line tells: the change, its key and, for a value's line,
// the value's name (machine text).
struct RegistryTarget {
  RegistryChange::Op op = RegistryChange::Op::kCreateKey;
  std::string key;
  std::optional<std::string> value;
};

// An INI file a clean run's write names: its bytes before the run (or the
// life cycle) and at its end, none where there was no file.
struct ProfileFile {
  std::string path;
  std::optional<std::string> before;
  std::optional<std::string> after;
};

struct RunLines {
  std::vector<EventEnd> outcomes;
  std::vector<std::string> registry;
  std::vector<std::string> files;
  std::vector<std::string> log;
  std::vector<std::string> host;
  std::vector<RegistryTarget> registry_targets;  // one a registry line
  std::vector<std::string> file_paths;           // one a files line (machine text)
  std::vector<ProfileFile> profiles;             // the `watched` files, in their order
};

// `watched`: the INI files (Windows paths) whose bytes to keep.
RunLines LinesOf(const RunResult& run, const std::vector<std::string>& watched);
// A life cycle's lines: each step's outcomes, log and host requests behind
// its number, and what the life cycle leaves behind.
RunLines LinesOf(const LifeCycleResult& cycle, const std::vector<std::string>& watched);

Effect EffectOf(const RunLines& clean, const RunLines& faulty);

// The files the writes name, each once.
std::vector<std::string> WatchedFiles(const std::vector<std::optional<OwnWrite>>& writes);

// A faulty run's effect, and whether it is only the loss of what the failed
// call itself writes.
struct Judged {
  Effect effect;
  OwnLoss loss = OwnLoss::kNone;
};

// The faults grouped by effect into rows, the worst first (matrix.h); a
// row of one fault keeps that fault's own loss.
std::vector<MatrixRow> RowsOf(const std::vector<Fault>& faults, const std::vector<Judged>& judged,
                              const Effect& clean);

// Whether the faulty run of `fault` ended as the clean one but for the loss
// of what the call itself writes (`write`, from the clean run): which loss,
// or OwnLoss::kNone when anything else differs.
OwnLoss LossOf(const Fault& fault, const OwnWrite& write, const RunLines& clean, const RunLines& faulty);

}  // namespace qvi::scenario
