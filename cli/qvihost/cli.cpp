#include "qvihost/cli.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "qvihost/output_file.h"
#include "qvihost/run_tests.h"
#include "scenario/approval.h"
#include "scenario/check.h"
#include "scenario/exit_codes.h"
#include "scenario/matrix.h"
#include "scenario/report.h"
#include "scenario/run.h"
#include "scenario/scenario.h"
#include "scenario/shard.h"
#include "scenario/test_runner.h"

namespace qvi::cli {

// The command line is a thin layer over the scenario library.
using namespace qvi::scenario;

namespace {

constexpr const char* kDefaultScenario = "install-nt";

struct RunRequest {
  std::string scenario = kDefaultScenario;
  std::string machine;
  bool machine_given = false;
  bool json = false;
  bool interactive = false;
  std::string save_expect;
  std::string html;
  bool trace = false;
};

// The part --shard names, else the one the environment names, else all.
Shard ShardOf(const std::optional<std::string>& option, const Console& console) {
  if (option) return ParseShard(*option, "--shard");
  return ShardFromEnvironment(console.test_total_shards, console.test_shard_index).value_or(Shard{});
}

// The scenario's text with what the run observed as its expectations, for
// --save-expect; over the scenario file itself only while it is as read.
std::string Approved(const RunRequest& request, const Scenario& scenario, const ObservedDocument& observed) {
  std::error_code ec;
  if (std::filesystem::equivalent(request.save_expect, request.scenario, ec)) {
    std::ifstream in(request.scenario, std::ios::binary);
    if (std::string(std::istreambuf_iterator<char>(in), {}) != scenario.text) {
      throw ScenarioError(request.save_expect + ": changed since the run read it; the approval is not written");
    }
  }
  return ApprovedText(scenario.text, observed, request.scenario);
}

int Run(const RunRequest& request, Console& console) {
  const Scenario scenario = LoadScenario(request.scenario);
  // Someone who runs an approved scenario may take its silence for a pass.
  const bool expects = scenario.expect || std::any_of(scenario.steps.begin(), scenario.steps.end(),
                                                      [](const Scenario& step) { return step.expect.has_value(); });
  if (expects) {
    console.err << "qvihost: warning: " << request.scenario
                << ": the \"expect\" section is not checked by run; use qvihost test\n";
  }
  RunOptions options;
  options.trace = request.trace;
  options.leave_registry_standing = console.process_ends_after;
  // An empty path is a variable that was never set, not a wish for a
  // temporary machine: the run would leave nothing behind to chain on.
  if (request.machine_given && request.machine.empty()) throw ScenarioError("--machine: an empty path");
  if (request.machine_given) {
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
  // The files' places are tried before the machine is touched.
  std::optional<OutputFile> html;
  std::optional<OutputFile> save_expect;
  if (!request.html.empty()) html.emplace(request.html);
  if (!request.save_expect.empty()) save_expect.emplace(request.save_expect);
  const auto dump = [](const nlohmann::ordered_json& doc) {
    return doc.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
  };
  if (!scenario.steps.empty()) {
    const LifeCycleResult result = RunLifeCycle(scenario, options);
    for (const RunResult& step : result.steps) PrintWarnings(step.warnings, request.scenario, console);
    console.out << (request.json ? dump(LifeCycleJson(result, scenario.name)) : FormatLifeCycle(result));
    if (html) html->Commit(HtmlLifeCycle(result, scenario.name));
    if (!result.stopped.empty()) {
      // The finished steps' reports stand; the stop is the status.
      console.err << "qvihost: " << request.scenario << ": " << result.stopped << "\n";
      return result.stopped_by_input ? kExitBadInput : kExitInternalError;
    }
    if (save_expect) save_expect->Commit(Approved(request, scenario, ObservedOf(result)));
    return kExitOk;
  }
  const RunResult result = RunScenario(scenario, options);
  PrintWarnings(result.warnings, request.scenario, console);
  if (html) html->Commit(HtmlReport(result));
  if (save_expect) save_expect->Commit(Approved(request, scenario, ObservedOf(result)));
  console.out << (request.json ? dump(ReportJson(result)) : FormatReport(result));
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
  if (const auto text = EmbeddedScenarioText(name)) {
    console.out << *text;
  } else {
    console.out << MergedScenarioText(name);
  }
  return kExitOk;
}

// Each command's options, its help flag among them, are added when the
// command is met on the command line: a run builds only the options it can be
// given.
constexpr const char* kHelpFlag = "-h,--help";
constexpr const char* kHelpText = "Print this help message and exit";

struct MatrixRequest {
  std::string scenario;
  std::string machine;
  MatrixOptions options;
  bool json = false;
  std::optional<std::string> shard;
  MatrixView view;
  std::string severity;
  std::string html;
};

struct DiffRequest {
  std::string first;
  std::string second;
};

CLI::App* AddRun(CLI::App& app, RunRequest& r) {
  CLI::App* run = app.add_subcommand("run", "Run a scenario (an embedded one or a JSON file) and report what it did");
  run->preparse_callback([run, &r](std::size_t) {
    run->set_help_flag(kHelpFlag, kHelpText);
    run->add_option("scenario", r.scenario, "Embedded scenario name (see list) or path of a JSON scenario file")
        ->required();
    run->add_option("--machine", r.machine,
                    "Machine folder to run on; it persists, so runs can be chained. Default: the scenario's "
                    "machine.folder, else a fresh temporary machine")
        ->option_text("DIR")
        ->each([&r](const std::string&) { r.machine_given = true; });
    run->add_flag("--json", r.json, "Print one JSON document instead of the readable report");
    run->add_flag("--interactive", r.interactive,
                  "Show each message box on the terminal and wait for Enter (when standard input is a terminal)");
    run->add_option("--html", r.html, "Also write the readable report as a self-contained HTML page to FILE")
        ->option_text("FILE");
    run->add_option("--save-expect", r.save_expect,
                    "Write the scenario with this run's observations as its \"expect\" section to FILE, to review "
                    "and commit")
        ->option_text("FILE");
    run->add_flag("--trace", r.trace,
                  "Add every call the snap-in made, to the operating system and the host, in the order made, with "
                  "its arguments and result (a \"Trace\" section, JSON trace)");
  });
  return run;
}

CLI::App* AddMatrix(CLI::App& app, MatrixRequest& r) {
  CLI::App* matrix = app.add_subcommand(
      "matrix", "Run a scenario once clean, then once for every host and operating-system call it made, each "
                "failing alone, and show how each fault changes the end (faults with the same effect share a row)");
  matrix->preparse_callback([matrix, &r](std::size_t) {
    matrix->set_help_flag(kHelpFlag, kHelpText);
    matrix->add_option("scenario", r.scenario, "Embedded scenario name or JSON scenario file")->required();
    matrix
        ->add_option("--jobs", r.options.jobs,
                     "Runs at a time, each on a temporary machine of its own. Default: 1")
        ->check(CLI::Range(1, 64))
        ->option_text("N");
    matrix
        ->add_option("--machine", r.machine,
                     "Machine folder every run starts from a copy of (the folder itself is not changed). Default: "
                     "the scenario's machine.folder, else a fresh temporary machine")
        ->option_text("DIR");
    matrix->add_option("--event", r.options.filter.event, "Only fail calls made in this event (e.g. qviSetup)")
        ->option_text("EVENT");
    matrix
        ->add_option("--function", r.options.filter.function,
                     "Only fail this operating-system function or host operation (e.g. RegCreateKeyA, GetPlatform)")
        ->option_text("FUNCTION");
    matrix->add_flag("--json", r.json, "Print one JSON document instead of the readable matrix");
    matrix
        ->add_option("--shard", r.shard,
                     "Run only part K of N (K/N, from 1) of the faults: those whose place i has i % N == K - 1; "
                     "the clean run is always made. Default: TEST_SHARD_INDEX (from 0) of TEST_TOTAL_SHARDS, "
                     "else all")
        ->option_text("K/N");
    matrix->add_flag("--all", r.view.all,
                     "Show every row whole; by default a row is one line, and the rows whose one fault only lost "
                     "what that call writes fold into one line for each call");
    matrix
        ->add_option("--severity", r.severity,
                     "Show only the rows of this severity or worse: outcome, lost, host, added or none (the counts "
                     "stay the whole matrix's). Default: none, every row")
        ->option_text("LEVEL")
        ->check(CLI::Validator(
            [](const std::string& level) {
              return SeverityFromName(level) ? std::string()
                                             : "\"" + level + "\" is no severity; one of " + SeverityKeywords();
            },
            ""));
    matrix->add_option("--html", r.html, "Also write the matrix as a self-contained HTML page to FILE")
        ->option_text("FILE");
  });
  return matrix;
}

CLI::App* AddTest(CLI::App& app, TestRequest& r) {
  CLI::App* test = app.add_subcommand(
      "test", "Run scenario files and life cycles and check their expectations (exit 0 all met, 1 some not, 2 bad "
              "input, 3 internal error)");
  test->preparse_callback([test, &r](std::size_t) {
    test->set_help_flag(kHelpFlag, kHelpText);
    test->add_option("paths", r.paths, "Scenario files, or folders of them")->required();
    test->add_option("--junit", r.junit, "Also write the results as JUnit XML to FILE")->option_text("FILE");
    test->add_option("--html", r.html, "Also write the results as a self-contained HTML page to FILE")
        ->option_text("FILE");
    test->add_option("--shard", r.shard,
                     "Run only part K of N (K/N, from 1): the tests whose place i in the plan has i % N == K - 1. "
                     "Default: TEST_SHARD_INDEX (from 0) of TEST_TOTAL_SHARDS, else all")
        ->option_text("K/N");
    test->add_option("--received", r.received,
                     "Write each failed scenario's received file (NAME.received.json: the scenario with what the "
                     "run observed as its expectations) to DIR. Default: beside the scenario")
        ->option_text("DIR");
    test->add_flag("--accept", r.accept,
                   "Write what each failed scenario observed into it as its expectations, then check it again");
    test->add_flag("--review", r.review,
                   "Show each failed scenario's differences and ask whether to accept them (needs a terminal on "
                   "standard input)");
    test->add_flag("--pass-with-no-tests", r.pass_with_no_tests,
                   "Pass when the paths hold no scenario with an \"expect\" section (else exit 2)");
    test->add_option("--annotations", r.annotations,
                     "Also print each unmet expectation as a CI annotation on its line of the scenario file; FORMAT "
                     "is github")
        ->check(CLI::IsMember({"github"}))
        ->option_text("FORMAT");
  });
  return test;
}

CLI::App* AddDiff(CLI::App& app, DiffRequest& r) {
  CLI::App* diff = app.add_subcommand(
      "diff", "Print how the machine in MACHINE-B differs from the one in MACHINE-A, or with one folder, how it "
              "differs from a pristine machine of its settings (registry and files, as the report writes them)");
  diff->preparse_callback([diff, &r](std::size_t) {
    diff->set_help_flag(kHelpFlag, kHelpText);
    diff->add_option("MACHINE-A", r.first, "Machine folder: the one compared against, or alone the one compared")
        ->required()
        ->option_text("DIR");
    diff->add_option("MACHINE-B", r.second, "Machine folder compared with MACHINE-A")->option_text("DIR");
  });
  return diff;
}

CLI::App* AddShow(CLI::App& app, std::string& name) {
  CLI::App* show = app.add_subcommand(
      "show", "Print an embedded scenario, to copy and edit, or a scenario file with its bases merged in");
  show->preparse_callback([show, &name](std::size_t) {
    show->set_help_flag(kHelpFlag, kHelpText);
    show->add_option("scenario", name, "Embedded scenario name or JSON scenario file")->required();
  });
  return show;
}

int Matrix(MatrixRequest& r, Console& console) {
  r.options.shard = ShardOf(r.shard, console);
  if (!r.severity.empty()) r.view.worst_shown = *SeverityFromName(r.severity);
  // The page's place is tried before any run.
  std::optional<OutputFile> html;
  if (!r.html.empty()) html.emplace(r.html);
  const Scenario scenario = LoadScenario(r.scenario);
  if (!r.machine.empty()) {
    r.options.machine_dir = r.machine;
  } else if (scenario.machine_folder) {
    r.options.machine_dir = scenario.machine_folder;
  }
  const qvi::scenario::Matrix result = RunMatrix(scenario, r.options);
  if (html) html->Commit(HtmlMatrix(result, r.view));
  console.out << (r.json ? MatrixJson(result, r.view).dump(2) + "\n" : FormatMatrix(result, r.view));
  return kExitOk;
}

// An empty MACHINE-B is a folder named wrongly, not a wish for a pristine machine.
int Diff(const DiffRequest& r, bool second_given, Console& console) {
  const auto [registry, files] = second_given ? DiffMachines(r.second, std::filesystem::path(r.first))
                                              : DiffMachines(r.first, std::nullopt);
  console.out << FormatDifferences(registry, files);
  return kExitOk;
}

}  // namespace

static int RunCommand(const std::vector<std::string>& args, Console& console) {
  CLI::App app{"Runs the QviConsole snap-in under a replacement setup host on an emulated Windows machine.\n"
               "Without a command, runs the install-nt scenario on a fresh machine and prints the report.\n"
               "A scenario file with \"steps\" is a life cycle: its steps run in order on one machine.\n"
               "Exit status: 0 done, 1 checks failed (test), 2 bad input, 3 internal error.\n"
               "Scenarios, expectations and the matrix: docs/scenarios.md.",
               "qvihost"};
  app.require_subcommand(0, 1);
  // The program's own help flag is set once the commands are made, as they
  // would each copy it.
  app.set_help_flag();
  RunRequest run_request;
  MatrixRequest matrix_request;
  TestRequest test_request;
  DiffRequest diff_request;
  std::string show_name;
  AddRun(app, run_request);
  CLI::App* matrix = AddMatrix(app, matrix_request);
  CLI::App* test = AddTest(app, test_request);
  CLI::App* diff = AddDiff(app, diff_request);
  CLI::App* list = app.add_subcommand("list", "Name the embedded scenarios");
  list->preparse_callback([list](std::size_t) { list->set_help_flag(kHelpFlag, kHelpText); });
  CLI::App* show = AddShow(app, show_name);
  app.set_help_flag(kHelpFlag, kHelpText);
  app.set_version_flag("--version", std::string("qvihost ") + QVI_VERSION);
  std::vector<const char*> argv{"qvihost"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::ParseError& error) {
    // Help and version are the parser's "errors" that succeed.
    if (error.get_exit_code() == 0) return app.exit(error, console.out, console.err) == 0 ? kExitOk : kExitBadInput;
    // Like every other message, named by the program and the command met.
    std::string who = "qvihost";
    for (const CLI::App* command : app.get_subcommands()) who += " " + command->get_name();
    console.err << who << ": " << error.what() << "\nRun with --help for more information.\n";
    return kExitBadInput;
  }

  try {
    if (*list) return List(console);
    if (*show) return Show(show_name, console);
    if (*diff) return Diff(diff_request, diff->count("MACHINE-B") != 0, console);
    if (*test) return Test(test_request, ShardOf(test_request.shard, console), console);
    if (*matrix) return Matrix(matrix_request, console);
    return Run(run_request, console);
  } catch (const std::exception& error) {
    const int status = ExitStatusOf(error);
    console.err << "qvihost: " << (status == kExitInternalError ? "internal error: " : "") << error.what() << "\n";
    return status;
  } catch (...) {
    console.err << "qvihost: internal error\n";
    return kExitInternalError;
  }
}

int RunCli(const std::vector<std::string>& args, Console console) {
  const int code = RunCommand(args, console);
  // A report cut short by a full disk or a closed pipe must not pass for a
  // whole one: whoever reads it (a person, a CI job) is told by the status.
  if (!console.out.flush()) {
    console.err << "qvihost: standard output: the report could not be written whole\n";
    return code == kExitOk ? kExitInternalError : code;
  }
  return code;
}

}  // namespace qvi::cli
