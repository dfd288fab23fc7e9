#include "run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "host/dispid.h"
#include "platform/win32_types.h"
#include "report.h"
#include "support/temp_dir.h"

namespace qvi::cli {
namespace {

namespace d = host::dispid;
using Op = RegistryChange::Op;

emu::RegistryValue Sz(const std::string& name, const std::string& text) {
  emu::RegistryValue v{name, platform::kRegSz, {}};
  v.data.assign(text.begin(), text.end());
  v.data.push_back(0);
  return v;
}

//   HKEY_LOCAL_MACHINE\SOFTWARE\A          kept: "x" changed, "y" removed, "z" added
//   HKEY_LOCAL_MACHINE\SOFTWARE\A\Gone     removed with its child
//   HKEY_LOCAL_MACHINE\SOFTWARE\A\Gone\Sub
//   HKEY_LOCAL_MACHINE\SOFTWARE\a\New      created (parent spelt in another case)
TEST(DiffRegistryTest, ReportsDeletionsThenAdditionsInTreeOrder) {
  const std::vector<emu::RegistryKey> before = {
      {"HKEY_LOCAL_MACHINE\\SOFTWARE\\A", {Sz("x", "1"), Sz("y", "2")}},
      {"HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\Gone", {Sz("g", "3")}},
      {"HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\Gone\\Sub", {}},
  };
  const std::vector<emu::RegistryKey> after = {
      {"HKEY_LOCAL_MACHINE\\SOFTWARE\\a", {Sz("X", "9"), Sz("z", "4")}},
      {"HKEY_LOCAL_MACHINE\\SOFTWARE\\a\\New", {Sz("", "d")}},
  };
  const auto changes = DiffRegistry(before, after);
  std::vector<std::pair<Op, std::string>> got;
  for (const auto& c : changes) got.emplace_back(c.op, c.key.substr(c.key.rfind('\\') + 1) + "/" + c.value.name);
  const std::vector<std::pair<Op, std::string>> expected = {
      {Op::kDeleteKey, "Gone/"},  {Op::kDeleteKey, "Sub/"},   {Op::kSetValue, "a/X"}, {Op::kSetValue, "a/z"},
      {Op::kDeleteValue, "a/y"},  {Op::kCreateKey, "New/"},   {Op::kSetValue, "New/"}};
  EXPECT_EQ(got, expected);
  EXPECT_TRUE(DiffRegistry(before, before).empty());
}

TEST(DiffRegistryTest, ValueTypeChangeIsAChange) {
  emu::RegistryValue dword{"v", platform::kRegDword, {1, 0, 0, 0}};
  emu::RegistryValue binary{"v", platform::kRegBinary, {1, 0, 0, 0}};
  const auto changes = DiffRegistry({{"HKEY_CURRENT_USER\\K", {dword}}}, {{"HKEY_CURRENT_USER\\K", {binary}}});
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].op, Op::kSetValue);
  EXPECT_EQ(RegLine(changes[0].value, false), "\"v\"=hex:01,00,00,00");
  EXPECT_EQ(RegLine(dword, false), "\"v\"=dword:00000001");
  EXPECT_EQ(RegLine(Sz("", "C:\\a \"b\""), false), "@=\"C:\\\\a \\\"b\\\"\"");
  EXPECT_EQ(RegLine(Sz("n", "x"), true), "\"n\"=-");
}

TEST(AppendedLinesTest, TakesTheTailEndedByCrLf) {
  EXPECT_EQ(AppendedLines("", "(A) : one\r\n(B) : two\nmore\r\n"),
            (std::vector<std::string>{"(A) : one", "(B) : two\nmore"}));
  EXPECT_EQ(AppendedLines("old\r\n", "old\r\nnew\r\n"), std::vector<std::string>{"new"});
  EXPECT_EQ(AppendedLines("old\r\n", "old\r\n"), std::vector<std::string>{});
  // A rewritten file shows all of its lines.
  EXPECT_EQ(AppendedLines("old\r\n", "other\r\n"), std::vector<std::string>{"other"});
}

TEST(PrintableTextTest, EscapesWhatATerminalCannotShow) {
  EXPECT_EQ(PrintableText(std::string("a\r\nb\0c\x80", 7)), "a\nb\\x00c\\x80");
}

class RunTest : public ::testing::Test {
 protected:
  RunResult Run(const std::string& scenario) { return RunScenario(LoadScenario(scenario), {folder_.path() / "m", {}}); }
  RunResult Run(const Scenario& scenario) { return RunScenario(scenario, {folder_.path() / "m", {}}); }

  static const RegistryChange* Find(const RunResult& r, Op op, const std::string& key_end, const std::string& name = "") {
    for (const auto& c : r.registry_changes) {
      if (c.op == op && c.key.size() >= key_end.size() &&
          c.key.compare(c.key.size() - key_end.size(), key_end.size(), key_end) == 0 && c.value.name == name) {
        return &c;
      }
    }
    return nullptr;
  }

  testing::TempDir folder_;
};

TEST_F(RunTest, DefaultScenarioReportsEveryCallOfCreationAndSetup) {
  const RunResult r = RunScenario(LoadScenario("install-nt"), {});
  ASSERT_EQ(r.events.size(), 3u);
  for (const auto& e : r.events) EXPECT_FALSE(e.failed) << e.event;
  ASSERT_FALSE(r.host_calls.empty());
  EXPECT_EQ(r.host_calls[0].event, "creation");
  EXPECT_EQ(r.host_calls[0].dispid, d::kSetSettingsFile);
  const auto setup_calls = std::count_if(r.host_calls.begin(), r.host_calls.end(),
                                         [](const rhost::HostCall& c) { return c.event == "qviSetup"; });
  EXPECT_GE(setup_calls, 10);
  EXPECT_TRUE(r.machine_folder.empty());
  EXPECT_TRUE(r.fresh_machine);

  const RegistryChange* baud = Find(r, Op::kSetValue, "BC Defaults\\Pager", "BAUD");
  ASSERT_NE(baud, nullptr);
  EXPECT_EQ(baud->value.data.size(), 5u);
}

TEST_F(RunTest, InstallUpgradeAndUninstallChainOnOneMachine) {
  const RunResult install = Run("install-nt");
  EXPECT_TRUE(install.fresh_machine);

  const RunResult upgrade = Run("upgrade");
  EXPECT_FALSE(upgrade.fresh_machine);
  // The earlier installation's record was seeded into the existing machine,
  // then cleared by the upgrade.
  const auto kethra = std::find_if(upgrade.files.begin(), upgrade.files.end(),
                                   [](const FileChange& f) { return f.path == "C:\\WINNT\\kethra.ini"; });
  ASSERT_NE(kethra, upgrade.files.end());
  EXPECT_NE(kethra->before->find("Console=C:\\QVCON"), std::string::npos);
  EXPECT_NE(kethra->after->find("Console=\r\n"), std::string::npos);
  EXPECT_NE(Find(upgrade, Op::kDeleteKey, "Tessaly\\Quorvex"), nullptr);
  // The log only shows what this run appended.
  const auto log_file = std::find_if(upgrade.files.begin(), upgrade.files.end(),
                                     [](const FileChange& f) { return f.path == "C:\\ods.txt"; });
  ASSERT_NE(log_file, upgrade.files.end());
  EXPECT_TRUE(log_file->before.has_value());
  EXPECT_GT(upgrade.log.size(), 0u);
  EXPECT_NE(upgrade.log[0], install.log.at(0));

  const RunResult uninstall = Run("uninstall");
  EXPECT_NE(Find(uninstall, Op::kDeleteKey, "Tessaly\\Management Console"), nullptr);
  EXPECT_NE(Find(uninstall, Op::kDeleteKey, "Management Console\\BC Defaults\\Pager"), nullptr);
  ASSERT_EQ(uninstall.host_state.directory_operations.size(), 1u);
  EXPECT_EQ(uninstall.host_state.directory_operations[0].directory, "C:\\Program Files\\Tessaly");
}

TEST_F(RunTest, SeedsOnAnExistingMachineFillOnlyWhatIsAbsent) {
  Scenario first;
  first.name = "first";
  first.registry = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Seed]\r\n\"Kept\"=\"first\"\r\n";
  first.files = {{"C:\\WINNT\\seed.ini", "[S]\r\nk=first\r\n"}};
  Run(first);

  Scenario second = first;
  second.name = "second";
  second.registry =
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\SEED]\r\n\"kept\"=\"second\"\r\n\"Added\"=\"second\"\r\n"
      "[HKEY_CURRENT_USER\\Software\\Other]\r\n\"V\"=\"second\"\r\n";
  second.files = {{"C:\\WINNT\\seed.ini", "[S]\r\nk=second\r\n"}, {"C:\\WINNT\\new.ini", "[N]\r\n"}};
  const RunResult r = Run(second);
  EXPECT_FALSE(r.fresh_machine);
  EXPECT_TRUE(r.registry_changes.empty());  // seeds are not the scenario's doing

  auto machine = emu::Machine::Open(folder_.path() / "m");
  std::map<std::string, std::string> values;
  for (const auto& key : machine->SnapshotRegistry()) {
    for (const auto& v : key.values) values[key.path + "/" + v.name] = RegistryDataText(v);
  }
  EXPECT_EQ(values["HKEY_LOCAL_MACHINE\\SOFTWARE\\Seed/Kept"], "first");
  EXPECT_EQ(values["HKEY_LOCAL_MACHINE\\SOFTWARE\\Seed/Added"], "second");
  EXPECT_EQ(values.count("HKEY_CURRENT_USER\\Software\\Other/V"), 1u);

  std::ifstream in(machine->MapPath("C:\\WINNT\\seed.ini"), std::ios::binary);
  std::stringstream kept;
  kept << in.rdbuf();
  EXPECT_EQ(kept.str(), "[S]\r\nk=first\r\n");
  EXPECT_TRUE(std::filesystem::exists(machine->MapPath("C:\\WINNT\\new.ini")));
}

TEST_F(RunTest, InjectedFaultsShapeTheRunButNotItsCompletion) {
  Scenario s = LoadScenario("install-nt");
  s.platform_failures = {{platform::Function::kRegCreateKeyA, 0, platform::win32::kAccessDenied}};
  s.host.failures = {{rhost::kQviPublic, d::kSetCopySection, 2, 440, "Automation error"}};
  const RunResult r = Run(s);
  for (const auto& e : r.events) EXPECT_FALSE(e.failed) << e.event;
  EXPECT_TRUE(r.registry_changes.empty());
  EXPECT_EQ(r.host_state.copy_sections, std::vector<std::string>{"NT"});
  const auto failed = std::count_if(r.host_calls.begin(), r.host_calls.end(), [](const auto& c) { return c.failed; });
  EXPECT_EQ(failed, 1);
}

TEST_F(RunTest, FailedPageNotificationIsAResult) {
  Scenario s = LoadScenario("uninstall");
  s.host.failures = {{rhost::kQviPublic, d::kIconOperation, 1, 70, "Permission denied"}};
  const RunResult r = Run(s);
  ASSERT_EQ(r.events.size(), 3u);
  EXPECT_TRUE(r.events[2].failed);
  EXPECT_EQ(r.events[2].reason, "70: Permission denied");
  // The handler ended before the registry removal.
  EXPECT_EQ(Find(r, Op::kDeleteKey, "Tessaly\\Management Console"), nullptr);
}

}  // namespace
}  // namespace qvi::cli
