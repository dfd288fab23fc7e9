#include "scenario/test_runner.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>

#include "scenario/forked.h"
#include "scenario/temp_machine.h"

namespace qvi::scenario {

namespace {

namespace fs = std::filesystem;

bool HasExpectations(const Scenario& scenario) {
  if (scenario.expect) return true;
  return std::any_of(scenario.steps.begin(), scenario.steps.end(),
                     [](const Scenario& step) { return step.expect.has_value(); });
}

// The keys every check of the test looks at, for the runs to keep.
std::vector<std::string> KeysToKeep(const Scenario& scenario) {
  std::vector<std::string> keys;
  const auto add = [&keys](const MachineExpectations& expect) {
    for (std::string& key : ExpectedRegistryKeys(expect)) keys.push_back(std::move(key));
  };
  if (scenario.expect) add(*scenario.expect);
  if (scenario.expect && scenario.expect->left_behind) add(*scenario.expect->left_behind);
  for (const Scenario& step : scenario.steps) {
    if (step.expect) add(*step.expect);
  }
  return keys;
}

bool Failed(const std::vector<GroupResults>& groups) {
  return std::any_of(groups.begin(), groups.end(), [](const GroupResults& g) { return !g.results.unmet.empty(); });
}

ScenarioTest CheckRun(const Scenario& scenario, const RunOptions& options) {
  ScenarioTest test;
  if (scenario.steps.empty()) {
    const RunResult run = RunScenario(scenario, options);
    test.warnings = run.warnings;
    test.groups = CheckGroups(*scenario.expect, run);
    if (Failed(test.groups)) test.observed = ObservedOf(run);
  } else {
    const LifeCycleResult run = RunLifeCycle(scenario, options);
    if (!run.stopped.empty()) {
      const std::string what = scenario.name + ": " + run.stopped;
      if (run.stopped_by_input) throw ScenarioError(what);
      throw std::runtime_error(what);
    }
    for (const RunResult& step : run.steps) test.warnings.insert(test.warnings.end(), step.warnings.begin(), step.warnings.end());
    std::vector<Expectations> steps;
    for (const Scenario& step : scenario.steps) steps.push_back(step.expect.value_or(Expectations{}));
    test.groups = CheckLifeCycle(scenario.expect.value_or(Expectations{}), steps, run);
    if (Failed(test.groups)) test.observed = ObservedOf(run);
  }
  for (const GroupResults& group : test.groups) test.results.Add(group.results);
  return test;
}

#ifndef _WIN32

void Pack(Packer& out, const ExpectationResults& results) {
  out.Number(results.checked);
  out.Number(results.unmet.size());
  for (const UnmetExpectation& u : results.unmet) {
    out.Text(u.where);
    out.Text(u.expected);
    out.Text(u.seen);
    out.Texts(u.diff);
  }
}

ExpectationResults UnpackResults(Unpacker& in) {
  ExpectationResults results;
  results.checked = in.Number();
  results.unmet.resize(in.Number());
  for (UnmetExpectation& u : results.unmet) {
    u.where = in.Text();
    u.expected = in.Text();
    u.seen = in.Text();
    u.diff = in.Texts();
  }
  return results;
}

std::string PackedObserved(const ObservedDocument& observed) {
  return nlohmann::ordered_json{{"expect", observed.expect}, {"steps", observed.steps}}.dump();
}

ObservedDocument UnpackedObserved(const std::string& packed) {
  const nlohmann::ordered_json document = nlohmann::ordered_json::parse(packed);
  return {document.at("expect"), document.at("steps").get<std::vector<nlohmann::ordered_json>>()};
}

// CheckRun in a child process forked from this one, which holds the
// scenario's registry seed read: scenarios that share a seed read it once.
ScenarioTest CheckRunForked(const Scenario& scenario, const RunOptions& options) {
  const ChildEnd end = RunInChildren(1, 1, [&](std::size_t) {
    options.seed_registry->LeaveTreesStanding();
    return PackedReply([&](Packer& out) {
      const ScenarioTest test = CheckRun(scenario, options);
      out.Texts(test.warnings);
      out.Number(test.groups.size());
      for (const GroupResults& group : test.groups) {
        out.Text(group.group);
        out.Number(std::bit_cast<std::uint64_t>(group.seconds));
        Pack(out, group.results);
      }
      out.Text(test.observed ? PackedObserved(*test.observed) : "");
    });
  })[0];
  if (!end.replied) throw std::runtime_error("the run of " + scenario.name + ": " + end.failure);
  Unpacker in(end.reply);
  RethrowFromReply(in);
  ScenarioTest test;
  test.warnings = in.Texts();
  test.groups.resize(in.Number());
  for (GroupResults& group : test.groups) {
    group.group = in.Text();
    group.seconds = std::bit_cast<double>(in.Number());
    group.results = UnpackResults(in);
    test.results.Add(group.results);
  }
  if (const std::string observed = in.Text(); !observed.empty()) test.observed = UnpackedObserved(observed);
  return test;
}

#endif

}  // namespace

bool IsReceivedFile(const std::string& file) { return file.ends_with(".received.json"); }

TestPlan PlanTests(const std::vector<std::string>& paths, SeedCache& seeds, bool no_tests_pass) {
  TestPlan plan;
  for (const std::string& path : paths) {
    const bool folder = fs::is_directory(path);
    std::vector<std::string> files;
    if (folder) {
      for (const auto& entry : fs::directory_iterator(path)) {
        const std::string file = entry.path().string();
        if (entry.is_regular_file() && entry.path().extension() == ".json" && !IsReceivedFile(file)) {
          files.push_back(file);
        }
      }
      std::sort(files.begin(), files.end());
      if (files.empty() && !no_tests_pass) throw ScenarioError(path + ": a folder without scenario files");
    } else {
      files.push_back(path);
    }
    for (const std::string& file : files) {
      Scenario scenario = LoadScenario(file, &seeds);
      if (HasExpectations(scenario)) {
        plan.tests.emplace_back(file, std::move(scenario));
      } else if (folder) {
        plan.skipped.push_back(file);
      } else {
        throw ScenarioError(file + ": no \"expect\" section to check");
      }
    }
  }
  if (plan.tests.empty() && !no_tests_pass) {
    throw ScenarioError("no test to run: none of the " + std::to_string(plan.skipped.size()) +
                        " scenario files found has an \"expect\" section");
  }
  return plan;
}

void RunTests(const TestPlan& plan, const std::function<void(ScenarioTest)>& done) {
#ifndef _WIN32
  // Each seed is taken once, here, and every run seeded from it is a forked
  // process that starts from it; it is let go after the last of them.
  std::map<const RegistrySeed*, std::pair<std::unique_ptr<emu::RegistryStore>, std::size_t>> seeds_read;
  for (std::size_t i = 0; i < plan.tests.size(); ++i) {
    const Scenario& scenario = plan.tests[i].second;
    if (scenario.registry_seed && scenario.steps.empty()) seeds_read[scenario.registry_seed.get()].second = i;
  }
#endif
  for (std::size_t index = 0; index < plan.tests.size(); ++index) {
    const auto& [file, scenario] = plan.tests[index];
    RunOptions options;
    options.registry_keys = KeysToKeep(scenario);
    // On a copy: a check that changed its machine would start the next one
    // from another state. A folder not made yet is a fresh machine.
    std::optional<TempMachineFolder> copy;
    if (scenario.machine_folder && fs::is_directory(*scenario.machine_folder)) {
      copy.emplace("test");
      CopyMachineFolder(*scenario.machine_folder, copy->path());
      options.machine_dir = copy->path();
    }
    const auto start = std::chrono::steady_clock::now();
    ScenarioTest test;
#ifndef _WIN32
    if (scenario.registry_seed && scenario.steps.empty()) {
      auto& [store, last] = seeds_read.at(scenario.registry_seed.get());
      if (!store) {
        try {
          store = scenario.registry_seed->Take();
        } catch (const emu::MachineError& error) {
          throw ScenarioError(file + ": field machine.registry_file: " + error.what());
        }
        CollapseIntoHugePages();
      }
      options.seed_registry = store.get();
      test = CheckRunForked(scenario, options);
      if (index == last) store.reset();
    } else {
      test = CheckRun(scenario, options);
    }
#else
    test = CheckRun(scenario, options);
#endif
    test.index = index;
    test.file = file;
    test.name = scenario.name;
    test.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    done(std::move(test));
  }
}

}  // namespace qvi::scenario
