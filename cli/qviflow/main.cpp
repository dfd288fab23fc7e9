// qviflow SCENARIO [--watch KEY]...
//
// Runs a scenario's events through the replacement host on the real Win32 API
// of the Windows machine it runs on (under Wine, its prefix), and prints the
// run as `qvihost run SCENARIO --json` prints a run on the emulated machine
// (flow_run.h: how the machine is prepared and what is reported).
#include <iostream>
#include <string>
#include <vector>

#include "flow/flow_run.h"
#include "replacement_host/session.h"
#include "scenario/exit_codes.h"
#include "scenario/scenario.h"

namespace {

using namespace qvi;

int Run(const std::vector<std::string>& args) {
  const auto parsed = flow::ParseFlowArgs(args, "qviflow");
  if (!parsed) return scenario::kExitBadInput;
  const scenario::Scenario scenario = scenario::LoadScenario(parsed->scenario);
  flow::MachineRun machine(scenario, parsed->watched);

  rhost::ReplacementHost host(scenario::HostConfigFor(scenario, scenario.machine.computer_name));
  rhost::Session session(host, machine.os());
  for (const scenario::ScenarioEvent& event : scenario.events) session.Raise(event.event, event.argument);

  scenario::RunResult result;
  result.events = session.outcomes();
  result.host_calls = host.calls();
  result.host_state = host.state();
  // A report that could not be written is no success.
  std::cout << machine.Finish(std::move(result)).dump(2) << "\n" << std::flush;
  if (!std::cout) {
    std::cerr << "qviflow: cannot write the report to standard output\n";
    return scenario::kExitInternalError;
  }
  return scenario::kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  return qvi::flow::DriverMain("qviflow", [&] { return Run(std::vector<std::string>(argv + 1, argv + argc)); });
}
