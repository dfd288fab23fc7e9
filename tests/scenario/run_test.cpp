#include "scenario/run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <tuple>

#include "emu/reg_text.h"
#include "emu/registry_store.h"
#include "platform/win32_types.h"
#include "scenario/report.h"
#include "testing/error_of.h"
#include "testing/file_bytes.h"
#include "testing/temp_folder.h"

namespace qvi::scenario {
namespace {

using Op = RegistryChange::Op;

// A change as one value, to compare lists of them whole.
using Change = std::tuple<Op, std::string, emu::RegistryValue, std::optional<emu::RegistryValue>>;
std::vector<Change> Whole(const std::vector<RegistryChange>& changes) {
  std::vector<Change> out;
  for (const RegistryChange& c : changes) out.emplace_back(c.op, c.key, c.value, c.before);
  return out;
}

emu::RegistryValue Sz(const std::string& name, const std::string& text) {
  emu::RegistryValue v{name, platform::kRegSz, {}};
  v.data.assign(text.begin(), text.end());
  v.data.push_back(0);
  return v;
}

TEST(DiffRegistryTest, TypeChangesAreChangesAndLetterCaseFollowsTheCodePage) {
  emu::RegistryValue dword{"v", platform::kRegDword, {1, 0, 0, 0}};
  emu::RegistryValue binary{"V", platform::kRegBinary, {1, 0, 0, 0}};
  const std::vector<emu::RegistryKey> before = {{"HKEY_CURRENT_USER\\\xC4pfel", {dword}}};
  EXPECT_EQ(Whole(DiffRegistry(before, {{"HKEY_CURRENT_USER\\\xE4PFEL", {binary}}})),
            (std::vector<Change>{{Op::kChangeValue, "HKEY_CURRENT_USER\\\xE4PFEL", binary, dword}}));
}

// Snapshots from elsewhere (the real registry, watched trees in any order)
// need not come in the store's order; keys still pair by path.
TEST(DiffRegistryTest, PairsKeysGivenInAnyOrder) {
  const std::vector<emu::RegistryKey> before = {
      {"HKEY_CURRENT_USER\\Software\\B", {Sz("v", "1")}},
      {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Z", {}},
      {"HKEY_LOCAL_MACHINE\\SOFTWARE\\A", {Sz("v", "1")}},
  };
  const std::vector<emu::RegistryKey> after = {
      {"HKEY_LOCAL_MACHINE\\SOFTWARE\\a", {Sz("v", "2")}},
      {"HKEY_CURRENT_USER\\Software\\b", {Sz("v", "1")}},
      {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Z", {}},
  };
  EXPECT_EQ(Whole(DiffRegistry(before, after)),
            (std::vector<Change>{{Op::kChangeValue, "HKEY_LOCAL_MACHINE\\SOFTWARE\\a", Sz("v", "2"), Sz("v", "1")}}));
  EXPECT_EQ(DiffRegistry(after, before).size(), 1u);
}

// What the store records of a run tells the same changes as two whole
// snapshots compared, whatever the run did.
TEST(DiffRegistryTest, RecordedChangesMatchTheSnapshotsCompared) {
  using platform::HKey;
  namespace win32 = platform::win32;
  const std::string seed =
      "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Keep]\r\n\"a\"=\"1\"\r\n\"b\"=\"2\"\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Keep\\Tree\\Deep]\r\n\"c\"=\"3\"\r\n"
      "[HKEY_CURRENT_USER\\Software\\Again]\r\n\"d\"=\"4\"\r\n";
  // Each step works on the store through its Win32 calls or its tree access.
  using Step = std::function<void(emu::RegistryStore&)>;
  const auto create = [](HKey root, const char* path) {
    return [=](emu::RegistryStore& s) {
      HKey key = platform::kNoKey;
      ASSERT_EQ(s.CreateKey(root, path, &key), win32::kSuccess);
      s.CloseKey(key);
    };
  };
  const auto set = [](HKey root, const char* path, const char* name, const char* text) {
    return [=](emu::RegistryStore& s) {
      HKey key = platform::kNoKey;
      ASSERT_EQ(s.CreateKey(root, path, &key), win32::kSuccess);
      const std::string data(text);
      ASSERT_EQ(s.SetValue(key, name, platform::kRegSz, reinterpret_cast<const std::uint8_t*>(data.c_str()),
                           static_cast<std::uint32_t>(data.size() + 1)),
                win32::kSuccess);
      if (!platform::IsPredefinedKey(key)) s.CloseKey(key);
    };
  };
  const std::vector<std::pair<const char*, std::vector<Step>>> runs = {
      {"nothing", {}},
      {"a value changed, one set to what it was, one added",
       {set(platform::kHkeyLocalMachine, "SOFTWARE\\keep", "A", "9"),
        set(platform::kHkeyLocalMachine, "SOFTWARE\\Keep", "b", "2"),
        set(platform::kHkeyLocalMachine, "SOFTWARE\\Keep\\Tree", "new", "5")}},
      {"a value removed", {[](emu::RegistryStore& s) {
         s.RemoveValue(*s.EnsureKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Keep"), "a");
       }}},
      {"a tree deleted", {[](emu::RegistryStore& s) { s.DeleteTree("HKEY_LOCAL_MACHINE\\SOFTWARE\\Keep"); }}},
      {"keys created below each other, one made and deleted again",
       {create(platform::kHkeyCurrentUser, "Software\\New\\Sub"), create(platform::kHkeyCurrentUser, "Software\\Tmp"),
        [](emu::RegistryStore& s) { s.DeleteTree("HKEY_CURRENT_USER\\Software\\TMP"); }}},
      {"deleted and made again in another spelling",
       {[](emu::RegistryStore& s) { s.DeleteTree("HKEY_CURRENT_USER\\Software\\Again"); },
        set(platform::kHkeyCurrentUser, "Software\\AGAIN", "e", "5")}},
      {"a value on a root", {set(platform::kHkeyCurrentUser, "", "root", "r")}},
      {"classes", {set(platform::kHkeyClassesRoot, ".qvi", "", "QviFile")}},
  };
  for (const auto& [name, steps] : runs) {
    emu::RegistryStore store;
    emu::ImportRegText(store, seed, "seed.reg");
    const auto before = store.Snapshot();
    store.StartRecording();
    for (const Step& step : steps) step(store);
    const auto expected = DiffRegistry(before, store.Snapshot());
    const auto recorded = DiffRegistry(store);
    EXPECT_EQ(Whole(recorded), Whole(expected)) << name;
    if (std::string(name) != "nothing" && std::string(name).find("made and deleted") == std::string::npos) {
      EXPECT_FALSE(recorded.empty()) << name;
    }
  }
}

TEST(AppendedLinesTest, TakesTheTailEndedByCrLf) {
  EXPECT_EQ(AppendedLines("", "(A) : one\r\n(B) : two\nmore\r\n"),
            (std::vector<std::string>{"(A) : one", "(B) : two\nmore"}));
  EXPECT_EQ(AppendedLines("old\r\n", "old\r\nnew\r\n"), std::vector<std::string>{"new"});
  EXPECT_EQ(AppendedLines("old\r\n", "old\r\n"), std::vector<std::string>{});
  // A rewritten file shows all of its lines.
  EXPECT_EQ(AppendedLines("old\r\n", "other\r\n"), std::vector<std::string>{"other"});
}

TEST(ReadableReportTest, ShowsTextAsAWindowsEngineerWritesIt) {
  EXPECT_EQ(PrintableText(std::string("a\r\nb\0c\x80", 7)), "a\nb\\x00c\\x80");
  EXPECT_EQ(ShownValue(host::Variant("C:\\Program Files \"x\"\n\x01")), "\"C:\\Program Files \"\"x\"\"<LF><0x01>\"");
  EXPECT_EQ(ShownValue(host::Variant(std::int16_t{-3})), "-3");
  EXPECT_EQ(ShownValue(host::Variant()), "Empty");
  EXPECT_EQ(UnifiedDiff("[S]\r\na=1\r\nb=2\r\nc=3\r\n", "[S]\r\na=1\r\nb=\r\nc=3\r\nd=4\r\n"),
            "@@ -1,4 +1,5 @@\n [S]\n a=1\n-b=2\n+b=\n c=3\n+d=4\n");
}

class RunTest : public ::testing::Test {
 protected:
  RunResult Run(const Scenario& scenario) { return RunScenario(scenario, {folder_.path() / "m", {}, {}}); }

  testing::TempFolder folder_;
};

// A run keeps, of the registry it leaves, only the keys it is asked for: as
// named in any letter case, in the order named, a missing one left out.
TEST_F(RunTest, KeepsOnlyTheRegistryKeysAskedFor) {
  RunOptions options{folder_.path() / "m", {}, {}};
  options.registry_keys = {"hkey_local_machine\\software\\halvorn\\tessaly\\management console\\bc defaults\\modem",
                           "HKEY_LOCAL_MACHINE\\SOFTWARE\\Nowhere",
                           "HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\Tessaly\\Management Console"};
  const RunResult run = RunScenario(LoadScenario("install-nt"), options);
  std::vector<std::string> paths;
  for (const emu::RegistryKey& key : run.registry_after) paths.push_back(key.path);
  EXPECT_EQ(paths, (std::vector<std::string>{
                       "HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\Tessaly\\Management Console\\BC Defaults\\Modem",
                       "HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\Tessaly\\Management Console"}));
  EXPECT_FALSE(run.registry_after.at(0).values.empty());
  EXPECT_TRUE(Run(LoadScenario("upgrade")).registry_after.empty());
}

TEST_F(RunTest, SeedsOnAnExistingMachineFillOnlyWhatIsAbsent) {
  Scenario first;
  first.name = "first";
  first.registry =
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Seed]\r\n\"Kept\"=\"first\"\r\n\"\xC4pfel\"=\"first\"\r\n";
  // Large enough that a save of a few values appends them to the log.
  first.registry += "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Padding]\r\n";
  for (int i = 0; i < 100; ++i) first.registry += "\"pad" + std::to_string(i) + "\"=\"" + std::string(40, 'p') + "\"\r\n";
  first.files = {{"C:\\WINNT\\seed.ini", "[S]\r\nk=first\r\n"}};
  Run(first);
  const std::string store = qvi::testing::ReadFileBytes(folder_.path() / "m" / "registry.reg");

  Scenario second = first;
  second.name = "second";
  second.registry =
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\SEED]\r\n\"kept\"=\"second\"\r\n\"Added\"=\"second\"\r\n"
      "\"\xE4PFEL\"=\"second\"\r\n"
      "[HKEY_CURRENT_USER\\Software\\Other]\r\n\"V\"=\"second\"\r\n";
  second.files = {{"C:\\WINNT\\seed.ini", "[S]\r\nk=second\r\n"}, {"C:\\WINNT\\new.ini", "[N]\r\n"}};
  second.drives = {'C', 'D'};
  const RunResult r = Run(second);
  EXPECT_EQ(std::count(r.seeded.begin(), r.seeded.end(), "D:\\"), 1);
  EXPECT_EQ(std::count(r.seeded.begin(), r.seeded.end(), "C:\\"), 0);
  EXPECT_FALSE(r.fresh_machine);
  EXPECT_TRUE(r.registry_changes.empty());  // seeds are not the scenario's doing
  // What the seed added went to the log: registry.reg was not written again.
  EXPECT_EQ(qvi::testing::ReadFileBytes(folder_.path() / "m" / "registry.reg"), store);

  auto machine = emu::Machine::Open(folder_.path() / "m");
  // Letter case folds as the store folds it, accented letters included.
  std::map<std::string, std::string> values;
  for (const auto& key : machine->SnapshotRegistry()) {
    if (!key.path.ends_with("\\Seed") && !key.path.ends_with("\\Other")) continue;
    for (const auto& v : key.values) values[key.path + "/" + v.name] = RegistryDataText(v);
  }
  EXPECT_EQ(values, (std::map<std::string, std::string>{{"HKEY_CURRENT_USER\\Software\\Other/V", "second"},
                                                        {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Seed/Added", "second"},
                                                        {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Seed/Kept", "first"},
                                                        {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Seed/\xC4pfel", "first"}}));

  EXPECT_EQ(qvi::testing::ReadFileBytes(machine->MapPath("C:\\WINNT\\seed.ini")), "[S]\r\nk=first\r\n");
  EXPECT_TRUE(std::filesystem::exists(machine->MapPath("C:\\WINNT\\new.ini")));
}

// DISPID 28 for each action the host may take, on an uninstallation whose
// console folder holds the program the host copied and perhaps a file of the
// user's: what the host answers (the snap-in asks operation 5 only after a 0)
// and what is left of the program and of its folder.
TEST_F(RunTest, DirectoryOperationsAnswerByWhatTheirActionLeft) {
  using Action = rhost::DirectoryAction;
  using Answers = std::vector<std::pair<std::int32_t, std::int32_t>>;  // operation, answer
  struct Case {
    const char* name;
    std::map<std::int32_t, Action> actions;
    std::map<std::int32_t, host::Variant> results;
    bool user_file;
    std::string parent;  // of the console folder, as the host answers it
    Answers answers;
    bool program_left, folder_left;  // the program's folder
  };
  const std::string tessaly = "C:\\Program Files\\Tessaly";
  const std::string console = tessaly + "\\Quorvex";
  const Case cases[] = {
      {"only copied files", {}, {}, false, tessaly, {{4, 1}}, false, false},
      {"a user's file stays", {}, {}, true, tessaly, {{4, 0}, {5, 0}}, false, true},
      {"remove_tree takes it too", {{4, Action::kRemoveTree}}, {}, true, tessaly, {{4, 1}}, false, false},
      {"none records only", {{4, Action::kNone}}, {}, false, tessaly, {{4, 1}}, true, true},
      {"remove_empty, not empty", {{4, Action::kRemoveEmpty}}, {}, false, tessaly, {{4, 0}, {5, 0}}, true, true},
      {"5 removes what 4 left", {{5, Action::kRemoveTree}}, {}, true, tessaly, {{4, 0}, {5, 1}}, false, false},
      {"a fixed answer, the action run", {}, {{4, 0}}, false, tessaly, {{4, 0}, {5, 1}}, false, false},
      {"a drive the machine lacks", {}, {}, false, "D:\\Tessaly", {{4, 0}, {5, 0}}, true, true},
      {"a drive without its root", {}, {}, false, "C:", {{4, 0}, {5, 0}}, true, true},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    Scenario s = LoadScenario("uninstall");
    s.host.removal_directories["TYConsole"] = c.parent;
    s.host.copy_files = {{"NT", {{"console", "Quorvex.exe", "MZ"}}}};
    for (const auto& [operation, action] : c.actions) s.host.directory_actions[operation] = action;
    s.host.directory_operation_results = c.results;
    // Where a machine without drive D can hold it, for the host to miss.
    const std::string program = (c.parent[0] == 'D' ? tessaly : c.parent) + "\\Quorvex\\Quorvex.exe";
    s.files = {{program, "MZ"}};
    if (c.user_file) s.files.push_back({console + "\\mine.txt", "mine"});
    const RunResult r = RunScenario(s, {folder_.path() / std::to_string(i), {}, {}});
    Answers answers;
    for (const auto& op : r.host_state.directory_operations) answers.emplace_back(op.operation, op.result.ToInt32());
    EXPECT_EQ(answers, c.answers);
    EXPECT_EQ(r.files_after.contains(program), c.program_left);
    std::string below_c = program.substr(3, program.rfind('\\') - 3);
    std::replace(below_c.begin(), below_c.end(), '\\', '/');
    EXPECT_EQ(std::filesystem::exists(folder_.path() / std::to_string(i) / "drive_c" / below_c), c.folder_left);
    EXPECT_EQ(r.files_after.contains(console + "\\mine.txt"), c.user_file && c.folder_left);
  }
}

// Scenarios loaded together that name one registry file, by whatever path,
// share one read of it; a run after the one that took it reads the file
// again, and refuses it when it no longer holds what was checked.
TEST(RegistrySeedTest, ScenariosSharingAFileReadItOnce) {
  testing::TempFolder dir;
  const std::string key = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Seed";
  qvi::testing::WriteFileBytes(dir.path() / "seed.reg", "REGEDIT4\r\n\r\n[" + key + "]\r\n\"V\"=\"1\"\r\n");
  qvi::testing::WriteFileBytes(dir.path() / "a.json", R"({"machine": {"registry_file": "seed.reg"}, "events": []})");
  qvi::testing::WriteFileBytes(dir.path() / "b.json", R"({"machine": {"registry_file": "./seed.reg"}, "events": []})");
  SeedCache seeds;
  const Scenario a = LoadScenario((dir.path() / "a.json").string(), &seeds);
  const Scenario b = LoadScenario((dir.path() / "b.json").string(), &seeds);
  ASSERT_NE(a.registry_seed, nullptr);
  EXPECT_EQ(a.registry_seed, b.registry_seed);
  EXPECT_EQ(a.registry_seed->reads(), 1);
  RunOptions options;
  options.registry_keys = {key};
  for (const Scenario* s : {&a, &b}) {
    EXPECT_EQ(RunScenario(*s, options).registry_after, (std::vector<emu::RegistryKey>{{key, {Sz("V", "1")}}}));
  }
  EXPECT_EQ(a.registry_seed->reads(), 2);

  qvi::testing::WriteFileBytes(dir.path() / "seed.reg", "REGEDIT4\r\n\r\n[" + key + "]\r\n\"V\"=\"22\"\r\n");
  const std::string error =
      qvi::testing::ErrorOf<ScenarioError>([&] { RunScenario(a, options); }, "a changed seed was used");
  EXPECT_NE(error.find("field machine.registry_file: "), std::string::npos) << error;
  EXPECT_NE(error.find("seed.reg: changed since the scenario was read"), std::string::npos) << error;
  EXPECT_NE(LoadScenario((dir.path() / "a.json").string(), &seeds).registry_seed, a.registry_seed);
}

// A life cycle keeps its machine from the seeding to the end: no other run
// opens it between two steps and has its changes told as the life cycle's.
TEST(LifeCycleRunTest, HoldsItsMachineBetweenSteps) {
  const testing::TempFolder dir;
  const Scenario cycle = LoadScenario(QVI_EXAMPLES_DIR "/life-cycle/install-upgrade-uninstall.json");
  RunOptions options;
  options.machine_dir = dir.path() / "m";
  {
    LifeCycleRun run(cycle, options);
    run.RunStep(cycle.steps[0]);
    EXPECT_THROW(emu::Machine::Open(*options.machine_dir), emu::MachineError);
  }
  EXPECT_NO_THROW(emu::Machine::Open(*options.machine_dir));
}

}  // namespace
}  // namespace qvi::scenario
