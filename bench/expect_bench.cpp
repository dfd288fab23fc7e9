// Checking expectations at scale: one registry value expected per key, all
// kept keys and an exact section over them, and many entries of one INI file.
// The times should grow with the count, not its square (40,000 registry
// expectations were once 100 s).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "scenario/check.h"
#include "scenario/run.h"

namespace {

using qvi::scenario::CheckExpectations;
using qvi::scenario::Expectations;
using qvi::scenario::RegistryChange;
using qvi::scenario::RunResult;

std::string KeyPath(std::int64_t i) { return "HKEY_LOCAL_MACHINE\\SOFTWARE\\Product\\Key" + std::to_string(i); }

void BM_Scaling_CheckRegistryExpectations(benchmark::State& state) {
  RunResult run;
  nlohmann::json expect = {{"registry", {{{"key", "HKEY_LOCAL_MACHINE\\SOFTWARE"}, {"match", "exactly"}}}}};
  for (std::int64_t i = 0; i < state.range(0); ++i) {
    const qvi::emu::RegistryValue value{"Count", 1, {'7', 0}};
    run.registry_after.push_back({KeyPath(i), {value}});
    run.registry_changes.push_back({RegistryChange::Op::kCreateKey, KeyPath(i), {}, {}});
    run.registry_changes.push_back({RegistryChange::Op::kSetValue, KeyPath(i), value, {}});
    expect["registry"].push_back({{"key", KeyPath(i)}, {"present", true}});
    expect["registry"].push_back({{"key", KeyPath(i)}, {"value", "Count"}, {"type", "REG_SZ"}, {"data", "7"}});
  }
  const Expectations typed = expect.get<Expectations>();
  for (auto _ : state) {
    const auto results = CheckExpectations(typed, run);
    if (!results.unmet.empty()) state.SkipWithError("an expectation not met");
  }
}
BENCHMARK(BM_Scaling_CheckRegistryExpectations)->Arg(1000)->Arg(10000)->Arg(40000)->Unit(benchmark::kMillisecond);

void BM_Scaling_CheckIniExpectations(benchmark::State& state) {
  RunResult run;
  nlohmann::json expect = {{"ini", nlohmann::json::array()}};
  std::string ini = "[Section]\r\n";
  for (std::int64_t i = 0; i < state.range(0); ++i) {
    ini += "Key" + std::to_string(i) + "=" + std::to_string(i) + "\r\n";
    expect["ini"].push_back(
        {{"file", "C:\\WINNT\\big.ini"}, {"section", "Section"}, {"key", "Key" + std::to_string(i)}, {"value", std::to_string(i)}});
  }
  run.files_after["C:\\WINNT\\big.ini"] = ini;
  const Expectations typed = expect.get<Expectations>();
  for (auto _ : state) {
    const auto results = CheckExpectations(typed, run);
    if (!results.unmet.empty()) state.SkipWithError("an expectation not met");
  }
}
BENCHMARK(BM_Scaling_CheckIniExpectations)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
