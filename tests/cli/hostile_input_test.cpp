// Input a colleague's or customer's files may hold, or an adversary may craft:
// each is refused with exit 2, a message naming the file and place, and the
// machine left as it was (but for its lock file), or run within stated bounds.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "cli/cli_runner.h"
#include "emu/reg_text.h"
#include "emu/registry_store.h"
#include "scenario/run.h"
#include "scenario/scenario.h"

namespace qvi::cli {

using namespace qvi::scenario;
namespace {

// Everything below `root` without following links: files by content, links by
// target, folders as such.
std::map<std::string, std::string> Tree(const fs::path& root) {
  std::map<std::string, std::string> tree;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const std::string name = it->path().lexically_relative(root).string();
    const auto status = it->symlink_status();
    if (name == ".lock") continue;
    if (fs::is_symlink(status)) {
      tree[name] = "link to " + fs::read_symlink(it->path()).string();
    } else if (fs::is_regular_file(status)) {
      tree[name] = fs::file_size(it->path()) > (1u << 20) ? "large" : ReadFileBytes(it->path());
    } else {
      tree[name] = fs::is_directory(status) ? "folder" : "special";
    }
  }
  return tree;
}

// Runs the built qvihost with `args`, its output discarded, stopped by the
// system once it has used `cpu_seconds` of CPU time; its own peak memory in
// kilobytes when it succeeded, nothing when it failed. GNU time starts it and
// reports its peak: a program started straight from this process would be
// charged with this process's own peak, which the kernel carries over exec.
std::optional<long> RunQvihost(const std::vector<std::string>& args, rlim_t cpu_seconds, const fs::path& scratch) {
  const std::string report = (scratch / "peak.txt").string();
  std::vector<std::string> command{"/usr/bin/time", "-f", "%M", "-o", report, QVIHOST_PATH};
  command.insert(command.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : command) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const rlimit limit{cpu_seconds, cpu_seconds};
    ::setrlimit(RLIMIT_CPU, &limit);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
  return std::atol(ReadFileBytes(report).c_str());
}

// A machine that has lived through an installation, and a scenario folder
// beside it:
//   dir/m/...        the machine
//   dir/s/s.json     the scenario under test
//   dir/outside.reg  a file the scenario must not reach
class HostileInputTest : public CliFolderTest {
 protected:
  HostileInputTest() {
    EXPECT_EQ(Cli({"run", "install-nt", "--machine", Machine().string()}).code, kExitOk);
    WriteFileBytes(dir_.path() / "outside.reg", "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Outside]\r\n");
    fs::create_directories(Scenarios());
  }
  fs::path Machine() const { return dir_.path() / "m"; }
  fs::path Scenarios() const { return dir_.path() / "s"; }

  // Runs `args`, expecting a refusal that leaves the machine as it is now;
  // what it said, under `what`, for an approved file.
  std::string Refused(const std::vector<std::string>& args, const std::string& what) {
    const auto before = Tree(dir_.path());
    const Outcome o = Cli(args);
    EXPECT_EQ(o.out, "") << what;
    EXPECT_EQ(Tree(dir_.path()), before) << what;
    return Told(what, o.code, o.err);
  }
};

struct ScenarioCase {
  const char* name;
  std::string text;
  std::function<void(const fs::path& scenarios)> prepare = {};  // after the text is written
};

std::string Repeated(const std::string& piece, std::size_t times) {
  std::string out;
  while (times-- > 0) out += piece;
  return out;
}

std::string Nested(int depth) {
  return R"({"events": [], "expect": )" + std::string(depth, '[') + std::string(depth, ']') + "}";
}

std::string Seeding(const std::string& path) {
  return R"({"machine": {"files": [{"path": ")" + path + R"(", "content": "x"}]}, "events": ["creation"]})";
}

TEST_F(HostileInputTest, ScenariosThatCannotBeUsedAreRefusedWithTheirPlace) {
  const ScenarioCase cases[] = {
      {"number beyond a double", "{\"events\": [],\n \"host\": {\"language\": 1e400}}"},
      {"repeated key", R"({"events": [], "host": {"language": "a", "language": "b"}})"},
      {"colliding numbers", R"({"events": [], "host": {"texts": {"7014": "a", "07014": "b"}}})"},
      {"repeated key in a listed object",
       R"({"events": [], "machine": {"files": [{"path": "C:\\a", "path": "C:\\b"}]}})"},
      {"deep nesting", Nested(100000)},
      {"nesting a level too deep", Nested(65)},
      {"occurrence beyond 32 bits",
       R"({"platform_failures": [{"function": "RegCreateKeyA", "occurrence": 4294967297}], "events": []})"},
      {"code that wraps from 2^64 to -1",
       R"({"platform_failures": [{"function": "RegCreateKeyA", "code": 18446744073709551615}], "events": []})"},
      {"too many events", R"({"events": [1)" + Repeated(",1", 10000) + "]}"},
      {"larger than 64 megabytes", "{}", [](const fs::path& s) { fs::resize_file(s / "s.json", (64u << 20) + 1); }},
      {"registry file above the scenario", R"({"machine": {"registry_file": "../outside.reg"}, "events": []})"},
      {"base above the scenario", R"({"base": "../outside.reg", "events": []})"},
      {"registry file anywhere", R"({"machine": {"registry_file": "/etc/passwd"}, "events": []})"},
      {"registry file through a link", R"({"machine": {"registry_file": "in.reg"}, "events": []})",
       [](const fs::path& s) { fs::create_symlink(s.parent_path() / "outside.reg", s / "in.reg"); }},
      {"registry file that is a pipe", R"({"machine": {"registry_file": "pipe.reg"}, "events": []})",
       [](const fs::path& s) { ::mkfifo((s / "pipe.reg").c_str(), 0644); }},
      {"seed name over 255 bytes", Seeding("C:\\\\" + std::string(256, 'n'))},
      {"seed path of MAX_PATH", Seeding("C:\\\\" + std::string(120, 'a') + "\\\\" + std::string(140, 'b'))},
      {"seed path over 32,767 characters", Seeding("C:" + Repeated("\\\\" + std::string(250, 'p'), 140))},
      {"seed on a device", Seeding("C:\\\\WINNT\\\\CON")},
      {"seed on a stream", Seeding("C:\\\\a.ini:stream")},
      {"seed through \\\\?\\", Seeding("\\\\\\\\?\\\\C:\\\\a.ini")},
      {"seed through \\\\.\\", Seeding("\\\\\\\\.\\\\C:\\\\a.ini")},
  };
  std::string told;
  for (const ScenarioCase& c : cases) {
    const fs::path file = Scenarios() / "s.json";
    WriteFileBytes(file, c.text);
    if (c.prepare) c.prepare(Scenarios());
    told += Refused({"run", file.string(), "--machine", Machine().string()}, c.name);
    for (const auto& entry : fs::directory_iterator(Scenarios())) fs::remove(entry.path());
  }
  ExpectApproved(Golden("hostile-scenarios.txt"), told);
}

// A machine folder outside the scenario's folder, and a report file that
// cannot be written, are found before the run, not after it changed a
// machine (the folder "elsewhere" is not made either).
TEST_F(HostileInputTest, PathsThatLeadOutOrCannotBeWrittenAreRefusedBeforeTheRun) {
  const std::string machine = Machine().string();
  const std::string missing = (dir_.path() / "missing" / "out").string();
  const fs::path scenario = dir_.path() / "t.json";
  WriteFileBytes(scenario, R"({"machine": {"folder": "m"}, "events": ["creation"], "expect": {"events": []}})");
  const fs::path leading_out = Scenarios() / "s.json";
  WriteFileBytes(leading_out, R"({"machine": {"folder": "../elsewhere"}, "events": ["creation"]})");
  const std::vector<std::string> cases[] = {
      {"run", leading_out.string()},
      {"run", "install-nt", "--machine", machine, "--html", missing},
      {"run", "install-nt", "--machine", machine, "--save-expect", missing},
      {"run", "install-nt", "--machine", machine, "--html", Scenarios().string()},
      {"test", scenario.string(), "--junit", missing},
      {"test", scenario.string(), "--html", missing},
      {"matrix", "install-nt", "--function", "RegCloseKey", "--html", missing},
  };
  std::string told;
  for (const auto& args : cases) {
    std::string what;
    for (const std::string& arg : args) what += " " + arg;
    told += Refused(args, Masked(what.substr(1)));
  }
  ExpectApproved(Golden("hostile-paths.txt"), told);
}

struct MachineCase {
  std::string name;
  std::function<void(const fs::path& machine)> make;
};

// "a\a\a..." with `levels` names.
std::string Chain(std::size_t levels) { return "a" + Repeated("\\a", levels - 1); }

TEST_F(HostileInputTest, MachineFoldersThatCannotBeUsedAreRefusedAndLeftAsTheyAre) {
  const std::string settings = ReadFileBytes(Machine() / "machine.ini");
  const std::string store = ReadFileBytes(Machine() / "registry.reg");
  const auto append = [](const std::string& text) {
    return [text](const fs::path& m) { std::ofstream(m / "registry.reg", std::ios::app | std::ios::binary) << text; };
  };
  const auto settings_file = [](const std::string& text) {
    return [text](const fs::path& m) { WriteFileBytes(m / "machine.ini", text); };
  };
  const MachineCase cases[] = {
      {"store nested beyond 512 levels", append("\r\n[HKEY_CURRENT_USER\\Software\\" + Chain(512) + "]\r\n")},
      {"store on /dev/zero",
       [](const fs::path& m) {
         fs::remove(m / "registry.reg");
         fs::create_symlink("/dev/zero", m / "registry.reg");
       }},
      {"store as a pipe",
       [](const fs::path& m) {
         fs::remove(m / "registry.reg");
         ::mkfifo((m / "registry.reg").c_str(), 0644);
       }},
      {"store over 256 MB", [](const fs::path& m) { fs::resize_file(m / "registry.reg", (256u << 20) + 1); }},
      {"settings as a folder",
       [](const fs::path& m) {
         fs::remove(m / "machine.ini");
         fs::create_directory(m / "machine.ini");
       }},
      {"settings over 64 KB", settings_file("[Machine]\r\n" + std::string(64 << 10, ';'))},
      {"a code page that is no number", settings_file("[Machine]\r\nComputerName=X\r\nCodePage=12a\r\n")},
      {"a Windows directory without its drive", settings_file("; settings\r\n[Machine]\r\nWindowsDirectory=WINNT\r\n")},
      {"an empty computer name", settings_file("[Machine]\r\nComputerName=\r\n")},
      {"settings without [Machine]", settings_file("[Other]\r\nCodePage=1252\r\n")},
      {"settings in UTF-16", settings_file(std::string("\xFF\xFE[\0M\0]\0", 8))},
      {"another code page", settings_file("[Machine]\r\nCodePage=437\r\n")},
      {"Windows directory leaving its drive", settings_file("[Machine]\r\nWindowsDirectory=C:\\WINNT\\..\\..\\x\r\n")},
      {"drive folder that is a link",
       [](const fs::path& m) {
         fs::rename(m / "drive_c", m.parent_path() / "real_c");
         fs::create_directory_symlink(m.parent_path() / "real_c", m / "drive_c");
       }},
  };
  std::string told;
  for (const MachineCase& c : cases) {
    c.make(Machine());
    told += Refused({"run", "upgrade", "--machine", Machine().string()}, c.name);
    // Back to the machine as installed.
    for (const char* name : {"registry.reg", "machine.ini"}) fs::remove(Machine() / name);
    WriteFileBytes(Machine() / "machine.ini", settings);
    WriteFileBytes(Machine() / "registry.reg", store);
    if (fs::is_symlink(Machine() / "drive_c")) {
      fs::remove(Machine() / "drive_c");
      fs::rename(dir_.path() / "real_c", Machine() / "drive_c");
    }
  }
  ExpectApproved(Golden("hostile-machines.txt"), told);
}

// A folder of someone's files named as the machine (a home folder, a typo)
// is refused by every command that would make a machine in it, and nothing,
// not even a lock, is written there; an empty folder becomes a machine.
TEST_F(HostileInputTest, AFolderOfOtherFilesIsNoMachineToMake) {
  const fs::path foreign = dir_.path() / "notes";
  WriteFileBytes(foreign / "todo.txt", "keep me");
  const std::string life_cycle = std::string(QVI_EXAMPLES_DIR) + "/life-cycle/install-upgrade-uninstall.json";
  std::string told;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"run", "install-nt", "--machine", foreign.string()},
        {"run", life_cycle, "--machine", foreign.string()},
        {"matrix", "install-nt", "--function", "RegCloseKey", "--machine", foreign.string()}}) {
    told += Refused(args, args[0] + " " + fs::path(args[1]).stem().string());
  }
  ExpectApproved(Golden("hostile-foreign-folder.txt"), told);
  fs::create_directory(dir_.path() / "empty");
  const Outcome made = Cli({"run", "install-nt", "--machine", (dir_.path() / "empty").string()});
  EXPECT_EQ(made.code, kExitOk) << made.err;
  EXPECT_TRUE(fs::exists(dir_.path() / "empty" / "machine.ini"));
}

// Large but valid registries a customer may hand over: the deepest key
// Windows allows, one key with 20,000 values, a flat level of 20,000 keys and
// a megabyte of binary data. Two runs in a row (the second reads what the
// first saved, the binary value as continuation lines) keep all of it and stay
// within a CPU-time and a memory bound; a run with a quadratic corner is
// stopped by the CPU limit.
TEST_F(HostileInputTest, LargeValidRegistriesRunWithinBoundsAndComeBackWhole) {
  std::string extra = "\r\n[HKEY_CURRENT_USER\\Software\\Hostile\\" + Chain(510) + "]\r\n\"deepest\"=\"yes\"\r\n";
  extra += "\r\n[HKEY_CURRENT_USER\\Software\\Hostile\\Wide]\r\n";
  for (int i = 0; i < 20000; ++i) extra += "\"v" + std::to_string(i) + "\"=dword:" + std::to_string(10000000 + i) + "\r\n";
  for (int i = 0; i < 20000; ++i) extra += "\r\n[HKEY_CURRENT_USER\\Software\\Hostile\\Flat\\k" + std::to_string(i) + "]\r\n";
  extra += "\r\n[HKEY_CURRENT_USER\\Software\\Hostile\\Big]\r\n\"blob\"=hex:";
  for (int i = 0; i < (1 << 20); ++i) {
    static const char kDigits[] = "0123456789abcdef";
    const unsigned byte = (i * 7919u) & 0xFF;
    extra += {kDigits[byte >> 4], kDigits[byte & 15], i + 1 < (1 << 20) ? ',' : '\r'};
  }
  extra += "\n";
  std::ofstream(Machine() / "registry.reg", std::ios::app | std::ios::binary) << extra;

  const auto hostile = [](const std::string& text) {
    emu::RegistryStore store;
    emu::ImportRegText(store, text, "registry.reg");
    std::vector<emu::RegistryKey> keys;
    for (emu::RegistryKey& key : store.Snapshot()) {
      if (key.path.rfind("HKEY_CURRENT_USER\\Software\\Hostile", 0) == 0) keys.push_back(std::move(key));
    }
    return keys;
  };
  const auto expected = hostile("REGEDIT4\r\n" + extra);
  ASSERT_EQ(expected.size(), 1u + 510 + 1 + 1 + 20000 + 1);  // Hostile, the chain, Wide, Flat, its keys, Big

  for (const char* pass : {"upgrade", "uninstall"}) {
    // Bounds a sanitized build keeps too: a linear run needs a few seconds.
    const std::optional<long> peak_kb = RunQvihost({"run", pass, "--machine", Machine().string()}, 120, dir_.path());
    ASSERT_TRUE(peak_kb) << pass << " failed";
    EXPECT_LT(*peak_kb, 1024 * 1024) << pass << ": peak kilobytes";
  }
  const std::string saved = ReadFileBytes(Machine() / "registry.reg");
  EXPECT_GT(std::count(saved.begin(), saved.end(), '\n'), 40000 + 20000 + 40000) << "the blob in continuation lines";
  EXPECT_EQ(hostile(saved), expected);
}

// What the report lists of the machine's files: never what a link points to,
// and for a large file its size instead of its bytes; and the built program
// on a machine holding a 400 MB file stays small.
TEST_F(HostileInputTest, TheFileSnapshotFollowsNoLinkAndALargeFileCostsNoMemory) {
  // What the program needs without the file, which a sanitized build makes
  // a hundred times larger: the file must add next to nothing to it.
  const std::optional<long> without_kb =
      RunQvihost({"run", "upgrade", "--machine", Machine().string()}, 120, dir_.path());
  ASSERT_TRUE(without_kb) << "the run without the file failed";
  WriteFileBytes(dir_.path() / "secret.txt", "SECRET");
  fs::create_symlink(dir_.path() / "secret.txt", Machine() / "drive_c" / "leak.ini");
  std::ofstream(Machine() / "drive_c" / "big.bin").close();
  fs::resize_file(Machine() / "drive_c" / "big.bin", 400u << 20);
  RunOptions options;
  options.machine_dir = Machine();
  const RunResult run = RunScenario(LoadScenario("upgrade"), options);
  EXPECT_EQ(run.files_after.count("C:\\leak.ini"), 0u);
  EXPECT_EQ(run.files_after.at("C:\\big.bin").rfind("(419430400 bytes, not shown; modified ", 0), 0u);
  EXPECT_EQ(ReadFileBytes(dir_.path() / "secret.txt"), "SECRET");
  const std::optional<long> peak_kb = RunQvihost({"run", "upgrade", "--machine", Machine().string()}, 120, dir_.path());
  ASSERT_TRUE(peak_kb) << "the run failed";
  EXPECT_LT(*peak_kb, *without_kb + 32 * 1024) << "peak kilobytes, " << *without_kb << " without the file";
}

}  // namespace
}  // namespace qvi::cli
