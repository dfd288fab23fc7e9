#include "flow/flow_run.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>

#include "emu/reg_text.h"
#include "emu/registry_store.h"
#include "flow/win32_registry.h"
#include "runtime/code_page.h"
#include "scenario/exit_codes.h"
#include "scenario/report.h"

namespace qvi::flow {

namespace {

const std::vector<std::string> kProductTrees = {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn",
                                                "HKEY_CURRENT_USER\\SOFTWARE\\Halvorn"};

std::optional<std::string> Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The debug log the snap-in writes: at the root of the host's "System"
// directory.
std::string LogPath(const rhost::HostConfig& host) {
  for (const auto& [key, list] : host.directories) {
    if (code_page::EqualsNoCase(key, "System") && !list.empty()) return list.front().ToString().substr(0, 3) + "ods.txt";
  }
  return "C:\\ods.txt";
}

std::vector<emu::RegistryKey> Snapshot(platform::win32api::Win32Platform& os, const std::vector<std::string>& trees) {
  std::vector<emu::RegistryKey> keys;
  for (const std::string& tree : trees) {
    for (auto& key : SnapshotTree(os, os, tree)) keys.push_back(std::move(key));
  }
  return keys;
}

std::map<std::string, std::string> ReadFiles(const std::vector<std::string>& files) {
  std::map<std::string, std::string> contents;
  for (const std::string& file : files) {
    if (const auto bytes = Read(file)) contents[file] = *bytes;
  }
  return contents;
}

}  // namespace

int DriverMain(const char* program, const std::function<int()>& run) {
  try {
    return run();
  } catch (const std::exception& error) {
    std::cerr << program << ": " << error.what() << "\n";
    return scenario::ExitStatusOf(error);
  } catch (...) {
    std::cerr << program << ": internal error\n";
  }
  return scenario::kExitInternalError;
}

std::optional<FlowArgs> ParseFlowArgs(const std::vector<std::string>& args, const std::string& program,
                                      const std::set<std::string>& flags, const std::set<std::string>& options) {
  if (args.empty()) {
    std::cerr << "usage: " << program << " SCENARIO [--watch KEY]...";
    for (const std::string& flag : flags) std::cerr << " [" << flag << "]";
    for (const std::string& option : options) std::cerr << " [" << option << " VALUE]";
    std::cerr << "\n";
    return std::nullopt;
  }
  FlowArgs parsed{args[0], kProductTrees, {}, {}};
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (flags.count(args[i]) != 0) {
      parsed.flags.insert(args[i]);
    } else if (args[i] == "--watch" && i + 1 < args.size()) {
      parsed.watched.push_back(args[++i]);
    } else if (options.count(args[i]) != 0 && i + 1 < args.size()) {
      parsed.options[args[i]] = args[i + 1];
      ++i;
    } else {
      std::cerr << program << ": unexpected argument " << args[i] << "\n";
      return std::nullopt;
    }
  }
  return parsed;
}

MachineRun::MachineRun(const scenario::Scenario& scenario, std::vector<std::string> watched)
    : scenario_(scenario), watched_(std::move(watched)) {
  for (const std::string& tree : kProductTrees) RemoveTree(os_, tree);
  files_ = {LogPath(scenario.host)};
  for (const scenario::SeedFile& seed : scenario.files) files_.push_back(seed.path);
  // This computer is the machine: one that cannot be made ready is the run's
  // failure, not the scenario's.
  try {
    for (const std::string& file : files_) std::filesystem::remove(file);
    std::filesystem::create_directories(scenario.machine.windows_directory);
  } catch (const std::filesystem::filesystem_error& error) {
    throw std::runtime_error(std::string("the machine cannot be made ready: ") + error.what());
  }

  if (scenario.registry_seed) {
    if (!WriteKeys(os_, scenario.registry_seed->Take()->Snapshot())) {
      throw SeedError("the registry seed cannot be written");
    }
  } else if (!scenario.registry.empty()) {
    emu::RegistryStore seed;
    emu::ImportRegText(seed, scenario.registry, scenario.name + " registry seed");
    if (!WriteKeys(os_, seed.Snapshot())) throw SeedError("the registry seed cannot be written");
  }
  for (const scenario::SeedFile& seed : scenario.files) {
    std::filesystem::create_directories(std::filesystem::path(seed.path).parent_path());
    std::ofstream(seed.path, std::ios::binary) << seed.content;
  }
  registry_before_ = Snapshot(os_, watched_);
  files_before_ = ReadFiles(files_);
}

nlohmann::ordered_json MachineRun::Finish(scenario::RunResult result) {
  result.scenario = scenario_.name;
  char name[64];
  std::uint32_t size = sizeof name;
  if (os_.GetComputerNameA(name, &size)) result.computer_name = std::string(name, size);
  const auto registry_after = Snapshot(os_, watched_);
  result.registry_changes = scenario::DiffRegistry(registry_before_, registry_after);
  result.files = scenario::DiffFiles(files_before_, ReadFiles(files_));
  result.log = scenario::LogLines(result.files);
  nlohmann::ordered_json report = scenario::ReportJson(result);
  report["registry_after"] = nlohmann::ordered_json::array();
  for (const emu::RegistryKey& key : registry_after) {
    nlohmann::ordered_json values = nlohmann::ordered_json::array();
    for (const emu::RegistryValue& value : key.values) {
      values.push_back({{"name", code_page::ToUtf8(value.name)},
                        {"type", scenario::RegistryTypeName(value.type)},
                        {"data", code_page::ToUtf8(scenario::RegistryDataText(value))},
                        {"size", value.data.size()}});
    }
    report["registry_after"].push_back({{"key", code_page::ToUtf8(key.path)}, {"values", std::move(values)}});
  }
  return report;
}

}  // namespace qvi::flow
