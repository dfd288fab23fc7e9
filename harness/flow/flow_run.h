// A scenario run on the real Win32 API of the machine it runs on (under
// Wine, its prefix), reported as `qvihost run SCENARIO --json` reports a run
// on the emulated machine. The drivers differ only in how they raise the
// events: qviflow through the replacement host in process, qvicom through COM.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "emu/emu_types.h"
#include "platform/win32/win32_platform.h"
#include "scenario/run.h"
#include "scenario/scenario.h"

namespace qvi::flow {

// The machine cannot be prepared (a registry seed that cannot be written):
// the run's fault, not the scenario's.
class SeedError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A driver's main: runs `run` and returns its exit status, or turns what
// escapes it into one, with the reason on standard error behind `program`. A
// scenario that cannot be read is bad input (scenario::kExitBadInput);
// anything else (a machine that cannot be prepared, a host kit or control
// that cannot be loaded, any other failure) is the run's own
// (scenario::kExitInternalError).
int DriverMain(const char* program, const std::function<int()>& run);

// "SCENARIO [--watch KEY]... [FLAG]... [OPTION VALUE]...", FLAG one of
// `flags`, OPTION one of `options`.
struct FlowArgs {
  std::string scenario;
  std::vector<std::string> watched;  // the product family's trees first
  std::set<std::string> flags;
  std::map<std::string, std::string> options;
};
// Null, with the reason on standard error, for arguments that do not fit.
std::optional<FlowArgs> ParseFlowArgs(const std::vector<std::string>& args, const std::string& program,
                                      const std::set<std::string>& flags = {},
                                      const std::set<std::string>& options = {});

// So that the run starts as on a fresh machine, the constructor removes the
// product family's registry trees (HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER
// \SOFTWARE\Halvorn), the scenario's seed files and the debug log, then
// applies the seeds and takes the machine's picture. Registry changes are
// reported for those trees and for each watched tree, which keeps what the
// machine held before; the watched trees as the run left them follow in
// "registry_after". The computer name is the machine's own.
class MachineRun {
 public:
  // Throws SeedError when a seed cannot be applied.
  MachineRun(const scenario::Scenario& scenario, std::vector<std::string> watched);

  platform::win32api::Win32Platform& os() { return os_; }

  // The report, `result` giving the events, the host calls and the host's
  // state.
  nlohmann::ordered_json Finish(scenario::RunResult result);

 private:
  const scenario::Scenario& scenario_;
  std::vector<std::string> watched_;
  platform::win32api::Win32Platform os_;
  std::vector<std::string> files_;
  std::vector<emu::RegistryKey> registry_before_;
  std::map<std::string, std::string> files_before_;
};

}  // namespace qvi::flow
