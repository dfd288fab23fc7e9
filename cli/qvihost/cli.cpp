#include "cli.h"

#include <iostream>
#include <optional>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "report.h"
#include "run.h"
#include "scenario.h"

namespace qvi::cli {

namespace {

constexpr const char* kDefaultScenario = "install-nt";

struct RunRequest {
  std::string scenario = kDefaultScenario;
  std::string machine;
  bool json = false;
  bool interactive = false;
};

int Run(const RunRequest& request, Console& console) {
  const Scenario scenario = LoadScenario(request.scenario);
  RunOptions options;
  if (!request.machine.empty()) {
    options.machine_dir = request.machine;
  } else if (scenario.machine_folder) {
    options.machine_dir = scenario.machine_folder;
  }
  if (request.interactive) {
    if (console.interactive_terminal) {
      options.presenter = [&console](const emu::MessageBoxRecord& box) {
        console.err << "\n+-- " << box.caption << " --\n" << box.text << "\n+-- [OK: press Enter] " << std::flush;
        std::string ignored;
        std::getline(console.in, ignored);
      };
    } else {
      console.err << "qvihost: --interactive needs a terminal on standard input; message boxes are only reported\n";
    }
  }
  const RunResult result = RunScenario(scenario, options);
  if (request.json) {
    console.out << ReportJson(result).dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
  } else {
    console.out << FormatReport(result);
  }
  return kExitOk;
}

int List(Console& console) {
  for (const std::string& name : EmbeddedScenarioNames()) {
    const Scenario scenario = ParseScenario(*EmbeddedScenarioText(name), name);
    console.out << name << std::string(name.size() < 12 ? 12 - name.size() : 1, ' ') << scenario.description << "\n";
  }
  return kExitOk;
}

int Show(const std::string& name, Console& console) {
  const auto text = EmbeddedScenarioText(name);
  if (!text) throw ScenarioError(name + ": no embedded scenario of that name (see qvihost list)");
  console.out << *text;
  return kExitOk;
}

}  // namespace

int RunCli(const std::vector<std::string>& args, Console console) {
  CLI::App app{"Runs the QviConsole snap-in under a replacement setup host on an emulated Windows machine.\n"
               "Without a command, runs the install-nt scenario on a fresh machine and prints the report.",
               "qvihost"};
  app.require_subcommand(0, 1);
  app.set_version_flag("--version", std::string("qvihost ") + QVI_VERSION);

  RunRequest request;
  CLI::App* run = app.add_subcommand("run", "Run a scenario (an embedded one or a JSON file) and report what it did");
  run->add_option("scenario", request.scenario, "Embedded scenario name (see list) or path of a JSON scenario file")
      ->required();
  run->add_option("--machine", request.machine,
                  "Machine folder to run on; it persists, so runs can be chained. Default: the scenario's "
                  "machine.folder, else a fresh temporary machine");
  run->add_flag("--json", request.json, "Print one JSON document instead of the readable report");
  run->add_flag("--interactive", request.interactive,
                "Show each message box on the terminal and wait for Enter (when standard input is a terminal)");

  CLI::App* list = app.add_subcommand("list", "Name the embedded scenarios");
  std::string show_name;
  CLI::App* show = app.add_subcommand("show", "Print an embedded scenario, to copy and edit");
  show->add_option("name", show_name, "Embedded scenario name")->required();

  std::vector<const char*> argv{"qvihost"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error, console.out, console.err);
    return code == 0 ? kExitOk : kExitBadInput;
  }

  try {
    if (*list) return List(console);
    if (*show) return Show(show_name, console);
    return Run(request, console);
  } catch (const ScenarioError& error) {
    console.err << "qvihost: " << error.what() << "\n";
    return kExitBadInput;
  } catch (const emu::MachineError& error) {
    console.err << "qvihost: " << error.what() << "\n";
    return kExitBadInput;
  } catch (const emu::PathError& error) {
    console.err << "qvihost: " << error.what() << "\n";
    return kExitBadInput;
  } catch (const std::exception& error) {
    console.err << "qvihost: internal error: " << error.what() << "\n";
    return kExitInternalError;
  } catch (...) {
    console.err << "qvihost: internal error\n";
    return kExitInternalError;
  }
}

}  // namespace qvi::cli
