// qviflow SCENARIO [--watch KEY]...
//
// Runs a scenario's events through the replacement host on the real Win32 API
// of the Windows machine it runs on (under Wine, its prefix), and prints the
// run as `qvihost run SCENARIO --json` prints a run on the emulated machine.
//
// So that the run starts as on a fresh machine, it first removes the product
// family's registry trees (HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER
// \SOFTWARE\Halvorn), the scenario's seed files and the debug log, then
// applies the seeds. Registry changes are reported for those trees and for
// each tree given with --watch, which keeps what the machine held before; the
// watched trees as the run left them follow in "registry_after". The computer
// name is the machine's own.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cli.h"
#include "platform/emu/reg_text.h"
#include "platform/emu/registry_store.h"
#include "platform/win32/win32_platform.h"
#include "report.h"
#include "runtime/code_page.h"
#include "run.h"
#include "scenario.h"
#include "session.h"
#include "win32_registry.h"

namespace {

using namespace qvi;

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
    for (auto& key : flow::SnapshotTree(os, os, tree)) keys.push_back(std::move(key));
  }
  return keys;
}

int Run(const std::vector<std::string>& args) {
  if (args.empty()) {
    std::cerr << "usage: qviflow SCENARIO [--watch KEY]...\n";
    return cli::kExitBadInput;
  }
  std::vector<std::string> watched = kProductTrees;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] != "--watch" || i + 1 == args.size()) {
      std::cerr << "qviflow: unexpected argument " << args[i] << "\n";
      return cli::kExitBadInput;
    }
    watched.push_back(args[++i]);
  }
  const cli::Scenario scenario = cli::LoadScenario(args[0]);
  platform::win32api::Win32Platform os;

  // As fresh as the emulated machine a scenario starts on.
  for (const std::string& tree : kProductTrees) flow::RemoveTree(os, tree);
  const std::string log_path = LogPath(scenario.host);
  std::vector<std::string> files = {log_path};
  for (const cli::SeedFile& seed : scenario.files) files.push_back(seed.path);
  for (const std::string& file : files) std::filesystem::remove(file);
  std::filesystem::create_directories(scenario.machine.windows_directory);

  if (!scenario.registry.empty()) {
    emu::RegistryStore seed;
    emu::ImportRegText(seed, scenario.registry, scenario.name + " registry seed");
    if (!flow::WriteKeys(os, seed.Snapshot())) {
      std::cerr << "qviflow: the registry seed cannot be written\n";
      return cli::kExitInternalError;
    }
  }
  for (const cli::SeedFile& seed : scenario.files) {
    std::filesystem::create_directories(std::filesystem::path(seed.path).parent_path());
    std::ofstream(seed.path, std::ios::binary) << seed.content;
  }

  const auto registry_before = Snapshot(os, watched);
  std::map<std::string, std::string> files_before;
  for (const std::string& file : files) {
    if (const auto bytes = Read(file)) files_before[file] = *bytes;
  }

  rhost::ReplacementHost host(scenario.host);
  rhost::Session session(host, os);
  for (const cli::ScenarioEvent& event : scenario.events) session.Raise(event.event, event.argument);

  std::map<std::string, std::string> files_after;
  for (const std::string& file : files) {
    if (const auto bytes = Read(file)) files_after[file] = *bytes;
  }
  cli::RunResult result;
  result.scenario = scenario.name;
  char name[64];
  std::uint32_t size = sizeof name;
  if (os.GetComputerNameA(name, &size)) result.computer_name = std::string(name, size);
  result.events = session.outcomes();
  result.host_calls = host.calls();
  result.host_state = host.state();
  const auto registry_after = Snapshot(os, watched);
  result.registry_changes = cli::DiffRegistry(registry_before, registry_after);
  result.files = cli::DiffFiles(files_before, files_after);
  result.log = cli::LogLines(result.files);
  nlohmann::ordered_json report = cli::ReportJson(result);
  report["registry_after"] = nlohmann::ordered_json::array();
  for (const emu::RegistryKey& key : registry_after) {
    nlohmann::ordered_json values = nlohmann::ordered_json::array();
    for (const emu::RegistryValue& value : key.values) {
      values.push_back({{"name", code_page::ToUtf8(value.name)},
                        {"type", cli::RegistryTypeName(value.type)},
                        {"data", code_page::ToUtf8(cli::RegistryDataText(value))},
                        {"size", value.data.size()}});
    }
    report["registry_after"].push_back({{"key", code_page::ToUtf8(key.path)}, {"values", std::move(values)}});
  }
  std::cout << report.dump(2) << "\n";
  return cli::kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& error) {
    std::cerr << "qviflow: " << error.what() << "\n";
    return qvi::cli::kExitBadInput;
  }
}
