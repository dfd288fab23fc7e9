#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "emu/machine.h"
#include "faults/fault_injection.h"
#include "platform/qvi_common.h"
#include "platform/win_api.h"
#include "runtime/errors.h"
#include "testing/error_of.h"
#include "testing/temp_folder.h"

namespace qvi::platform {
namespace {

using faults::FaultInjectingPlatform;
using faults::Function;

class RoutinesTest : public ::testing::Test {
 protected:
  RoutinesTest() {
    machine_ = emu::Machine::Open(dir_.path() / "m", emu::MachineSettings{.computer_name = "ALPHA"});
    std::filesystem::create_directories(machine_->MapPath("C:\\WINNT"));
  }

  bool KeyExists(HKey root, const std::string& path) {
    HKey key = kNoKey;
    if (machine_->RegOpenKeyExA(root, path.c_str(), 0, kKeyAllAccess, &key) != win32::kSuccess) return false;
    machine_->RegCloseKey(key);
    return true;
  }

  void CreateKey(HKey root, const std::string& path) {
    HKey key = kNoKey;
    ASSERT_EQ(machine_->RegCreateKeyA(root, path.c_str(), &key), win32::kSuccess) << path;
    machine_->RegCloseKey(key);
  }

  testing::TempFolder dir_;
  std::unique_ptr<emu::Machine> machine_;
};

TEST_F(RoutinesTest, ReadIniStringReturnsValuesAndDefaultsCutToTheirLength) {
  ASSERT_NE(WriteIniString(*machine_, "Uninstall 32", "Console", "C:\\QVCON", "kethra.ini"), 0);
  ASSERT_NE(WriteIniString(*machine_, "S", "K", std::string(1500, 'v'), "long.ini"), 0);
  // section, key, default, file, what is read
  const std::tuple<std::string, std::string, std::string, std::string, std::string> cases[] = {
      {"Uninstall 32", "Console", "", "kethra.ini", "C:\\QVCON"},
      {"uninstall 32", "CONSOLE", "", "C:\\WINNT\\kethra.ini", "C:\\QVCON"},
      {"Uninstall 32", "PM Group", "none", "kethra.ini", "none"},
      {"Uninstall 32", "PM Group", "", "kethra.ini", ""},
      {"Other", "Console", "dflt  ", "kethra.ini", "dflt"},
      {"Uninstall 32", "Console", "x", "missing.ini", "x"},
      {"S", "K", "", "long.ini", std::string(1023, 'v')},  // cut to its buffer
  };
  for (const auto& [section, key, default_value, file, expected] : cases) {
    std::string value = "stale";
    const std::int32_t n = ReadIniString(*machine_, section, key, default_value, value, file);
    EXPECT_EQ(value, expected) << section << "/" << key << " in " << file;
    EXPECT_EQ(n, static_cast<std::int32_t>(expected.size()));
  }
}

TEST_F(RoutinesTest, WriteIniStringPassesTheFailureOfTheOperatingSystemBack) {
  FaultInjectingPlatform faulty(*machine_);
  faulty.FailCall(Function::kWritePrivateProfileStringA, 1, win32::kAccessDenied);
  EXPECT_EQ(WriteIniString(faulty, "S", "K", "V", "x.ini"), 0);
  EXPECT_NE(WriteIniString(faulty, "S", "K", "V", "x.ini"), 0);
}

// A missing key is no failure; a path is resolved below the handle given; a
// level wider than the routine's name table goes whole.
TEST_F(RoutinesTest, DeleteRegistryTreeRemovesExactlyTheTreeNamed) {
  CreateKey(kHkeyCurrentUser, "SOFTWARE\\Parent\\Child\\Grandchild");
  for (int i = 0; i < 1203; ++i) CreateKey(kHkeyLocalMachine, "SOFTWARE\\Wide\\k" + std::to_string(i) + "\\leaf");
  const auto before = machine_->SnapshotRegistry();
  EXPECT_TRUE(DeleteRegistryTree(*machine_, kHkeyLocalMachine, "SOFTWARE\\Nothing\\Here"));
  EXPECT_EQ(machine_->SnapshotRegistry(), before);
  HKey parent = kNoKey;
  ASSERT_EQ(machine_->RegOpenKeyExA(kHkeyCurrentUser, "SOFTWARE\\Parent", 0, kKeyAllAccess, &parent), 0);
  EXPECT_TRUE(DeleteRegistryTree(*machine_, parent, "Child"));
  machine_->RegCloseKey(parent);
  EXPECT_TRUE(KeyExists(kHkeyCurrentUser, "SOFTWARE\\Parent"));
  EXPECT_FALSE(KeyExists(kHkeyCurrentUser, "SOFTWARE\\Parent\\Child"));
  EXPECT_TRUE(DeleteRegistryTree(*machine_, kHkeyLocalMachine, "SOFTWARE\\Wide"));
  EXPECT_FALSE(KeyExists(kHkeyLocalMachine, "SOFTWARE\\Wide"));
}

// Subkeys that refuse to open count as removed, yet stay: the work must end
// however many of them a level holds, and the tree is reported as not gone.
TEST_F(RoutinesTest, DeleteRegistryTreeEndsOnSubkeysThatCannotBeOpened) {
  for (const int subkeys : {500, 501, 600}) {
    SCOPED_TRACE(subkeys);
    for (int i = 0; i < subkeys; ++i) CreateKey(kHkeyLocalMachine, "SOFTWARE\\Locked\\k" + std::to_string(i));
    FaultInjectingPlatform faulty(*machine_);
    for (int open = 2; open <= 2 * subkeys + 2; ++open) faulty.FailCall(Function::kRegOpenKeyExA, open, win32::kAccessDenied);
    EXPECT_FALSE(DeleteRegistryTree(faulty, kHkeyLocalMachine, "SOFTWARE\\Locked"));
    EXPECT_TRUE(KeyExists(kHkeyLocalMachine, "SOFTWARE\\Locked\\k" + std::to_string(subkeys - 1)));
    EXPECT_LE(faulty.CallCount(Function::kRegOpenKeyExA), 2 * subkeys + 1);
    ASSERT_TRUE(DeleteRegistryTree(*machine_, kHkeyLocalMachine, "SOFTWARE\\Locked"));
  }
}

TEST_F(RoutinesTest, DeleteRegistryTreeReportsAFailedDeleteAndKeepsTheParent) {
  CreateKey(kHkeyLocalMachine, "SOFTWARE\\T\\A");
  CreateKey(kHkeyLocalMachine, "SOFTWARE\\T\\B");
  FaultInjectingPlatform faulty(*machine_);
  // Deletes run A, B, then T itself: fail the one of A.
  faulty.FailCall(Function::kRegDeleteKeyA, 1, win32::kAccessDenied);
  EXPECT_FALSE(DeleteRegistryTree(faulty, kHkeyLocalMachine, "SOFTWARE\\T"));
  EXPECT_TRUE(KeyExists(kHkeyLocalMachine, "SOFTWARE\\T\\A"));
  EXPECT_FALSE(KeyExists(kHkeyLocalMachine, "SOFTWARE\\T\\B"));
}

TEST_F(RoutinesTest, ComputerNameRoutines) {
  EXPECT_EQ(QueryComputerName(*machine_), "ALPHA");
  EXPECT_EQ(ServerNameFromPath(*machine_, "\\\\BETA\\SHARE\\DIR"), "BETA");
  EXPECT_EQ(ServerNameFromPath(*machine_, "\\\\BETA\\"), "BETA");
  EXPECT_EQ(ServerNameFromPath(*machine_, "\\\\BETA"), "");  // no backslash after the server
  EXPECT_EQ(ServerNameFromPath(*machine_, "C:\\Apps"), "ALPHA");
  EXPECT_EQ(MakeLocalUNC(*machine_, "C:\\PROGRAMS\\CONSOLE"), "\\\\ALPHA\\C$\\PROGRAMS\\CONSOLE");
  EXPECT_EQ(MakeLocalUNC(*machine_, "d:\\x:y"), "\\\\ALPHA\\d$\\x$y");
  for (const char* unchanged : {"\\\\BETA\\C$\\X", "relative\\dir", "C:", "AB:\\X", ""}) {
    EXPECT_EQ(MakeLocalUNC(*machine_, unchanged), unchanged);
  }
}

TEST_F(RoutinesTest, QueryComputerNameRaisesWhenTheNameCannotBeRead) {
  FaultInjectingPlatform faulty(*machine_);
  faulty.FailCall(Function::kGetComputerNameA, 0, win32::kBufferOverflow);
  EXPECT_EQ(testing::ErrorNumberOf([&] { QueryComputerName(faulty); }), errors::kInvalidArgument);
  // The routines that absorb their errors give their empty result instead.
  EXPECT_EQ(ServerNameFromPath(faulty, "C:\\Apps"), "");
  EXPECT_EQ(MakeLocalUNC(faulty, "C:\\Apps"), "");
}

TEST(ReplaceTextTest, Replaces) {
  // text, sought, replacement, case-sensitive, result
  const std::tuple<std::string, std::string, std::string, std::int16_t, std::string> cases[] = {
      {"C:\\A:B", ":", "$", 0, "C$\\A$B"},
      {"", ":", "$", 0, ""},
      {"no colon", ":", "$", 0, "no colon"},
      {"aA", "A", "x", 0, "xx"},
      {"aA", "A", "x", 1, "ax"},
      {"aa", "a", "ba", 0, "baba"},
      {"abc", "", "x", 0, "abc"},
  };
  // A copy of each case: ReplaceText takes its flag by reference.
  for (auto [text, sought, replacement, case_sensitive, expected] : cases) {
    EXPECT_EQ(ReplaceText(text, sought, replacement, case_sensitive), expected) << text << " " << case_sensitive;
  }
}

TEST(ParentDirTest, TakesThePathBeforeTheLastBackslash) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"C:\\DIR\\SUB", "C:\\DIR"}, {"C:\\DIR\\", "C:\\DIR"}, {"C:\\DIR", "C:"}, {"\\DIR", ""},
      {"NAME", ""},                {"", ""},                 {"\\\\SRV1\\C$\\X", "\\\\SRV1\\C$"}};
  for (const auto& [path, parent] : cases) EXPECT_EQ(ParentDir(path), parent) << path;
}

TEST(ParentDirTest, RaisesOverflowPastItsSixteenBitPositions) {
  EXPECT_THROW(ParentDir(std::string(40000, 'x') + "\\y"), Error);
}

}  // namespace
}  // namespace qvi::platform
