// Any "expect" section is either refused with a ScenarioError or checked
// against a run without anything else escaping; and what a run observed,
// written as expectations, is always met by that run.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "scenario/check.h"
#include "scenario/run.h"
#include "scenario/scenario.h"

namespace {

using namespace qvi::scenario;

// One run of the typical installation, keeping every key it changed.
const RunResult& Installation() {
  static const RunResult run = [] {
    const Scenario scenario = LoadScenario("install-nt");
    RunOptions options;
    for (const RegistryChange& change : RunScenario(scenario, {}).registry_changes) {
      options.registry_keys.push_back(change.key);
    }
    RunResult result = RunScenario(scenario, options);
    // Written out and read back, as an approval file goes.
    nlohmann::ordered_json written = ObservedExpectations(result);
    const Expectations observed = nlohmann::json::parse(written.dump()).get<Expectations>();
    if (!CheckExpectations(observed, result).unmet.empty()) std::abort();
    return result;
  }();
  return run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const RunResult& run = Installation();
  // Read as a scenario file reads it: duplicate keys and deep nesting refused.
  const std::string text =
      R"({"events": [], "expect": )" + std::string(reinterpret_cast<const char*>(data), size) + "\n}";
  try {
    const Scenario scenario = ParseScenario(text, "fuzz.json", "fuzz-expectations");
    if (!scenario.expect) return 0;
    const ExpectationResults results = CheckExpectations(*scenario.expect, run);
    if (results.unmet.size() > results.checked) std::abort();
  } catch (const ScenarioError&) {
  }
  return 0;
}
