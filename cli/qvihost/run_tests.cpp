#include "qvihost/run_tests.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>

#include "qvihost/junit.h"
#include "qvihost/output_file.h"
#include "scenario/approval.h"
#include "scenario/check.h"
#include "scenario/report.h"
#include "scenario/test_page.h"
#include "scenario/test_runner.h"

namespace qvi::cli {

using namespace qvi::scenario;

namespace {

namespace fs = std::filesystem;

// Thrown from a test's report when the person reviewing quits: the tests
// not run yet are left.
struct ReviewQuit {};

enum class Answer { kAccept, kReject, kSkip, kQuit };

// The file's bytes; none when it cannot be read.
std::optional<std::string> FileText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text{std::istreambuf_iterator<char>(in), {}};
  if (in.bad()) return std::nullopt;
  return text;
}

// Text in a GitHub workflow command: its message, or with `property` the
// value of a property, where a colon or a comma would end it.
std::string GithubEscaped(const std::string& text, bool property) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '%': out += "%25"; break;
      case '\r': out += "%0D"; break;
      case '\n': out += "%0A"; break;
      case ':': out += property ? "%3A" : ":"; break;
      case ',': out += property ? "%2C" : ","; break;
      default: out += c;
    }
  }
  return out;
}

// The answer to "[a]ccept, [r]eject, [s]kip, [q]uit?", asked again until it
// is one of them (a word or its first letter); the end of the input quits.
Answer Ask(Console& console) {
  for (;;) {
    console.out << "[a]ccept, [r]eject, [s]kip, [q]uit? " << std::flush;
    std::string line;
    if (!std::getline(console.in, line)) {
      console.out << "\n";
      return Answer::kQuit;
    }
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    line.erase(0, line.find_first_not_of(' '));
    const std::pair<const char*, Answer> answers[] = {
        {"accept", Answer::kAccept}, {"reject", Answer::kReject}, {"skip", Answer::kSkip}, {"quit", Answer::kQuit}};
    for (const auto& [word, answer] : answers) {
      if (!line.empty() && std::string(word).starts_with(line)) return answer;
    }
  }
}

class TestSession {
 public:
  TestSession(const TestRequest& request, Console& console, bool junit)
      : request_(request), console_(console), junit_(junit) {}

  // One test done: reported, and when it failed its received file written,
  // or its approval accepted or reviewed.
  void Checked(const Scenario& scenario, ScenarioTest test) {
    ++checked_;
    PrintWarnings(test.warnings, test.file, console_);
    Print(test, scenario);
    if (test.results.unmet.empty()) {
      ++passed_;
      if (!Embedded(test.file)) RemoveReceived(test.file);
    } else {
      ++failed_;
      if (test.observed && !Embedded(test.file)) Failed(test, scenario);
    }
    tested_.push_back({test.name, test.file, test.results});
    if (junit_) suites_.push_back(Suite(std::move(test)));
  }

  void Quit(std::size_t planned) { not_run_ = planned - checked_; }

  // The accepted tests checked again, then the summary; the exit status.
  int Finish(SeedCache& seeds) {
    if (!accepted_.empty()) Recheck(seeds);
    console_.out << passed_ << " passed, " << failed_ << " failed";
    if (request_.accept || request_.review) console_.out << ", " << accepted_.size() << " accepted";
    if (request_.review) console_.out << ", " << rejected_ << " rejected, " << skipped_ << " skipped";
    if (not_run_ > 0) console_.out << ", " << not_run_ << " not run";
    console_.out << "\n";
    return failed_ == 0 && not_run_ == 0 ? kExitOk : kExitChecksFailed;
  }

  const std::vector<JunitSuite>& suites() const { return suites_; }
  const std::vector<TestedScenario>& tested() const { return tested_; }

 private:
  static bool Embedded(const std::string& file) { return EmbeddedScenarioText(file).has_value(); }

  static JunitSuite Suite(ScenarioTest test) {
    return {test.name, test.file, test.seconds, std::move(test.groups)};
  }

  void Print(const ScenarioTest& test, const Scenario& scenario) {
    const ExpectationResults& r = test.results;
    if (r.unmet.empty()) {
      console_.out << "PASS " << test.name << " (" << test.file << "): " << r.checked << " expectations met\n";
      return;
    }
    console_.out << "FAIL " << test.name << " (" << test.file << "): " << r.unmet.size() << " of " << r.checked
                 << " expectations not met\n";
    for (const UnmetExpectation& u : r.unmet) console_.out << FormatUnmet(u, "  ");
    if (request_.annotations != "github") return;
    for (const UnmetExpectation& u : r.unmet) {
      std::string message = FormatUnmet(u, "");
      message.pop_back();
      console_.out << "::error file=" << GithubEscaped(test.file, true)
                   << ",line=" << LineOfField(scenario.text, u.where)
                   << ",title=" << GithubEscaped(test.name + " " + u.where + " not met", true)
                   << "::" << GithubEscaped(message, false) << "\n";
    }
  }

  // What a failed test does with its approval: accepted, reviewed, or
  // written as its received file.
  void Failed(const ScenarioTest& test, const Scenario& scenario) {
    Answer answer = Answer::kSkip;
    try {
      const std::string approved = ApprovedText(scenario.text, *test.observed, test.file);
      if (request_.accept) answer = Answer::kAccept;
      if (request_.review) answer = Review(test, scenario, approved);
      if (answer == Answer::kReject) {
        ++rejected_;
        RemoveReceived(test.file);
      } else if (answer != Answer::kAccept || !Accept(test, scenario, approved)) {
        if (request_.review && answer != Answer::kAccept) ++skipped_;
        WriteReceived(test.file, approved);
      }
    } catch (const ScenarioError& error) {
      console_.err << "qvihost: " << error.what() << "\n";
    }
    if (answer == Answer::kQuit) throw ReviewQuit{};
  }

  Answer Review(const ScenarioTest& test, const Scenario& scenario, const std::string& approved) {
    console_.out << "--- " << test.file << "\n+++ " << test.file << " (received)\n"
                 << UnifiedDiff(scenario.text, approved);
    return Ask(console_);
  }

  // Writes the approval over the scenario file, unless the file is no longer
  // what the test read: someone else's edit is not to be lost.
  bool Accept(const ScenarioTest& test, const Scenario& scenario, const std::string& approved) {
    // Through a link to the file it names, which keeps its place.
    std::error_code ec;
    fs::path target = fs::weakly_canonical(test.file, ec);
    if (ec) target = test.file;
    if (FileText(target) != scenario.text) {
      console_.err << "qvihost: " << test.file << ": changed since the test read it; the approval is not written\n";
      return false;
    }
    OutputFile(target).Commit(approved);
    console_.out << "ACCEPTED " << test.name << " (" << test.file << ")\n";
    accepted_.push_back({test.file, checked_ - 1});
    RemoveReceived(test.file);
    return true;
  }

  fs::path ReceivedPath(const std::string& file) const {
    const fs::path scenario(file);
    const fs::path folder = request_.received.empty() ? scenario.parent_path() : fs::path(request_.received);
    return folder / (scenario.stem().string() + ".received.json");
  }

  void WriteReceived(const std::string& file, const std::string& approved) {
    const fs::path path = ReceivedPath(file);
    if (!written_.insert(path).second) {
      console_.err << "qvihost: warning: " << file << ": " << path.string()
                   << " was written for another scenario of that name in this run; not written again\n";
      return;
    }
    std::error_code ec;
    if (!request_.received.empty()) fs::create_directories(request_.received, ec);
    OutputFile(path).Commit(approved);
    console_.out << "  received: " << path.string() << "\n";
  }

  // A received file left by an earlier run, unless one of this run wrote it.
  void RemoveReceived(const std::string& file) {
    const fs::path path = ReceivedPath(file);
    std::error_code ec;
    if (!written_.contains(path)) fs::remove(path, ec);
  }

  void Recheck(SeedCache& seeds) {
    std::vector<std::string> files;
    for (const auto& [file, suite] : accepted_) files.push_back(file);
    console_.out << "Checking the " << files.size() << " accepted again\n";
    const TestPlan plan = PlanTests(files, seeds);
    RunTests(plan, [&](ScenarioTest test) {
      const std::size_t index = test.index;
      Print(test, plan.tests[index].second);
      if (test.results.unmet.empty()) {
        ++passed_;
        --failed_;
      }
      tested_[accepted_[index].second] = {test.name, test.file, test.results};
      if (junit_) suites_[accepted_[index].second] = Suite(std::move(test));
    });
  }

  const TestRequest& request_;
  Console& console_;
  const bool junit_;
  std::size_t checked_ = 0;
  std::size_t passed_ = 0;
  std::size_t failed_ = 0;
  std::size_t rejected_ = 0;
  std::size_t skipped_ = 0;
  std::size_t not_run_ = 0;
  std::vector<std::pair<std::string, std::size_t>> accepted_;  // file, its place among the checked
  std::set<fs::path> written_;                                  // received files
  std::vector<JunitSuite> suites_;
  std::vector<TestedScenario> tested_;
};

void WriteJunit(const std::string& path, OutputFile& file, const std::vector<JunitSuite>& suites, Console& console) {
  const JunitDocument document = JunitXml(suites);
  if (document.replaced > 0) {
    console.err << "qvihost: " << path << ": " << document.replaced
                << " characters XML cannot hold were written as U+FFFD\n";
  }
  file.Commit(document.xml);
}

}  // namespace

void PrintWarnings(const std::vector<std::string>& warnings, const std::string& source, Console& console) {
  for (const std::string& warning : warnings) console.err << "qvihost: warning: " << source << ": " << warning << "\n";
}

int Test(const TestRequest& request, const Shard& shard, Console& console) {
  if (request.review && request.accept) throw ScenarioError("--accept and --review: give one of them");
  if (request.review && !console.interactive_terminal) {
    throw ScenarioError("--review needs a terminal on standard input to ask on");
  }
  // Every file is read first, so bad input stops the run before anything ran.
  // Scenarios that name one registry file share what was read of it.
  SeedCache seeds;
  TestPlan plan = PlanTests(request.paths, seeds, request.pass_with_no_tests);
  const bool none = plan.tests.empty();
  // The part is taken of the plan's order, which every job sees the same.
  std::vector<std::pair<std::string, Scenario>> part;
  for (std::size_t i = 0; i < plan.tests.size(); ++i) {
    if (shard.Holds(i)) part.push_back(std::move(plan.tests[i]));
  }
  plan.tests = std::move(part);
  for (const std::string& file : plan.skipped) console.out << "SKIP " << file << ": no \"expect\" section\n";
  if (none) console.out << "no scenario with an \"expect\" section found (--pass-with-no-tests)\n";
  // The JUnit file's place is tried before any machine is touched.
  std::optional<OutputFile> junit;
  if (!request.junit.empty()) {
    if (!JunitAvailable()) throw ScenarioError(request.junit + ": this build of qvihost writes no JUnit XML");
    junit.emplace(request.junit);
  }
  std::optional<OutputFile> page;
  if (!request.html.empty()) page.emplace(request.html);
  TestSession session(request, console, junit.has_value());
  try {
    RunTests(plan, [&](ScenarioTest test) {
      const std::size_t index = test.index;
      session.Checked(plan.tests[index].second, std::move(test));
    });
  } catch (const ReviewQuit&) {
    session.Quit(plan.tests.size());
  }
  const int status = session.Finish(seeds);
  if (junit) WriteJunit(request.junit, *junit, session.suites(), console);
  if (page) page->Commit(HtmlTests(session.tested(), plan.skipped));
  return status;
}

}  // namespace qvi::cli
