#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "emu/file_io.h"
#include "emu/machine.h"
#include "faults/fault_injection.h"
#include "testing/error_of.h"
#include "testing/file_bytes.h"
#include "testing/temp_folder.h"

namespace qvi::emu {
namespace {

namespace fs = std::filesystem;
using qvi::testing::ErrorOf;
using qvi::testing::ReadFileBytes;
using qvi::testing::WriteFileBytes;
using namespace qvi::platform;
using faults::Function;

// Every file and folder below `root`, relative to it.
std::set<std::string> Tree(const fs::path& root) {
  std::set<std::string> out;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    out.insert(entry.path().lexically_relative(root).string());
  }
  return out;
}

class MachineTest : public ::testing::Test {
 protected:
  MachineTest() {
    const MachineSettings settings{.computer_name = "Alpha", .windows_directory = "C:\\WinNT"};
    machine_ = Machine::Open(Folder(), settings);
  }
  fs::path Folder() const { return dir_.path() / "m"; }
  std::string Read(const char* section, const char* key, const char* file) {
    char buffer[256];
    const auto n = machine_->GetPrivateProfileStringA(section, key, "<none>", buffer, sizeof buffer, file);
    return std::string(buffer, n);
  }

  testing::TempFolder dir_;
  std::unique_ptr<Machine> machine_;
};

TEST_F(MachineTest, RefusedPathsTouchNothing) {
  fs::create_directories(dir_.path() / "outside");
  fs::create_symlink(dir_.path() / "outside", Folder() / "drive_c" / "link");
  const std::pair<std::string, Status> cases[] = {
      {"C:\\..\\escape.ini", win32::kBadPathName}, {"\\\\OTHER\\C$\\escape.ini", win32::kBadNetPath},
      {"Z:\\escape.ini", win32::kPathNotFound}, {"C:\\link\\escape.ini", win32::kBadPathName}};
  const auto before = Tree(dir_.path());
  for (const auto& [path, code] : cases) {
    EXPECT_EQ(machine_->AppendLine(path, "line"), code) << path;
    EXPECT_EQ(machine_->WritePrivateProfileStringA("s", "k", "v", path.c_str()), 0) << path;
    EXPECT_EQ(machine_->GetLastError(), static_cast<std::uint32_t>(code)) << path;
  }
  machine_->Save();
  auto after = Tree(dir_.path());
  after.erase("m/registry.reg");
  after.erase("m/registry.log");
  after.erase("m/registry.img");
  EXPECT_EQ(after, before);
}

TEST_F(MachineTest, NothingButLogLinesReachesTheDiskBeforeSave) {
  WriteFileBytes(Folder() / "drive_c" / "ods.txt", "old");
  ASSERT_EQ(machine_->AppendLine("\\\\ALPHA\\C$\\ods.txt", "new"), win32::kSuccess);
  EXPECT_EQ(ReadFileBytes(Folder() / "drive_c" / "ods.txt"), "oldnew\r\n");
  HKey key = kNoKey;
  ASSERT_EQ(machine_->RegCreateKeyA(kHkeyLocalMachine, "SOFTWARE\\Pending", &key), win32::kSuccess);
  machine_->RegCloseKey(key);
  ASSERT_NE(machine_->WritePrivateProfileStringA("s", "k", "v", "pending.ini"), 0);
  EXPECT_EQ(Read("s", "k", "pending.ini"), "v");
  EXPECT_EQ(Read("s", "k", "C:\\WINNT\\PENDING.INI"), "v");
  EXPECT_FALSE(fs::exists(Folder() / "registry.reg"));
  EXPECT_FALSE(fs::exists(Folder() / "drive_c" / "WinNT" / "pending.ini"));
  const auto before_save = Tree(Folder());
  machine_.reset();  // the destructor writes nothing
  EXPECT_EQ(Tree(Folder()), before_save);

  machine_ = Machine::Open(Folder());
  EXPECT_EQ(Read("s", "k", "pending.ini"), "<none>");
  ASSERT_NE(machine_->WritePrivateProfileStringA("s", "k", "v", "pending.ini"), 0);
  ASSERT_EQ(machine_->RegCreateKeyA(kHkeyLocalMachine, "SOFTWARE\\Saved", &key), win32::kSuccess);
  machine_->RegCloseKey(key);
  machine_->Save();
  const auto saved = machine_->SnapshotRegistry();
  EXPECT_EQ(ReadFileBytes(Folder() / "drive_c" / "WinNT" / "pending.ini"), "[s]\r\nk=v\r\n");
  machine_.reset();
  EXPECT_EQ(Machine::Open(Folder())->SnapshotRegistry(), saved);
}

TEST_F(MachineTest, ReadsNoticeEditsMadeOutsideTheMachine) {
  const fs::path file = Folder() / "drive_c" / "WinNT" / "outside.ini";
  WriteFileBytes(file, "[s]\r\nk=one\r\n");
  EXPECT_EQ(Read("s", "k", "OUTSIDE.INI"), "one");
  WriteFileBytes(file, "[s]\r\nk=two\r\n");  // same size
  fs::last_write_time(file, fs::last_write_time(file) + std::chrono::seconds(1));
  EXPECT_EQ(Read("s", "k", "OUTSIDE.INI"), "two");
  fs::remove(file);
  EXPECT_EQ(Read("s", "k", "OUTSIDE.INI"), "<none>");
}

// Read while a run is away: the saved state, shared with copies, never with
// a run, and nothing written, not even the repair of an interrupted save.
TEST_F(MachineTest, OpenedToReadSeesTheSavedStateAndWritesNothing) {
  HKey key = kNoKey;
  ASSERT_EQ(machine_->RegCreateKeyA(kHkeyLocalMachine, "SOFTWARE\\Saved", &key), win32::kSuccess);
  machine_->RegCloseKey(key);
  machine_->Save();
  EXPECT_NE(ErrorOf<MachineError>([&] { Machine::OpenToRead(Folder()); }, "(opened)").find("in use"),
            std::string::npos);
  machine_.reset();
  const auto before = Tree(Folder());
  {
    const auto reader = Machine::OpenToRead(Folder());
    const auto second = Machine::OpenToRead(Folder());
    ASSERT_EQ(reader->RegOpenKeyExA(kHkeyLocalMachine, "SOFTWARE\\Saved", 0, 0, &key), win32::kSuccess);
    EXPECT_THROW(reader->Save(), MachineError);
    EXPECT_THROW(Machine::Open(Folder()), MachineError);
  }
  EXPECT_EQ(Tree(Folder()), before);
  WriteFileBytes(Folder() / ".save-journal", "");
  EXPECT_NE(ErrorOf<MachineError>([&] { Machine::OpenToRead(Folder()); }, "(opened)").find("interrupted"),
            std::string::npos);
  EXPECT_NE(ErrorOf<MachineError>([&] { Machine::OpenToRead(dir_.path()); }, "(opened)").find("no machine"),
            std::string::npos);
}

// A machine removed after its run keeps its registry and settings in memory,
// and still puts on its drives everything a report of the run reads there.
TEST(DiscardedMachine, WritesItsDrivesButNeitherRegistryNorSettings) {
  testing::TempFolder dir;
  const MachineSettings settings{.computer_name = "Gamma", .windows_directory = "C:\\Win"};
  const auto machine = Machine::Open(dir.path(), settings, Durability::kDiscarded);
  HKey key = kNoKey;
  ASSERT_EQ(machine->RegCreateKeyA(kHkeyLocalMachine, "SOFTWARE\\Kept", &key), win32::kSuccess);
  machine->RegCloseKey(key);
  ASSERT_NE(machine->WritePrivateProfileStringA("s", "k", "v", "x.ini"), 0);
  ASSERT_EQ(machine->AppendLine("C:\\ods.txt", "line"), win32::kSuccess);
  machine->WriteFileOnSave(machine->MapPath("C:\\placed.txt"), "placed");
  machine->Save();
  machine->Save();

  EXPECT_EQ(Tree(dir.path()), (std::set<std::string>{".lock", "drive_c", "drive_c/Win", "drive_c/Win/x.ini",
                                                     "drive_c/ods.txt", "drive_c/placed.txt"}));
  EXPECT_EQ(ReadFileBytes(dir.path() / "drive_c" / "Win" / "x.ini"), "[s]\r\nk=v\r\n");
  EXPECT_EQ(ReadFileBytes(dir.path() / "drive_c" / "placed.txt"), "placed");
  EXPECT_EQ(machine->settings().computer_name, "Gamma");
  // Private to this user, as the whole temporary machine is.
  for (const char* file : {".lock", "drive_c/Win/x.ini", "drive_c/ods.txt", "drive_c/placed.txt"}) {
    const fs::perms others = fs::perms::group_all | fs::perms::others_all;
    EXPECT_EQ(fs::status(dir.path() / file).permissions() & others, fs::perms::none) << file;
  }
  ASSERT_EQ(machine->RegOpenKeyExA(kHkeyLocalMachine, "software\\kept", 0, 0, &key), win32::kSuccess);
  machine->RegCloseKey(key);
}

// Listing and removal see a link as a link: following one would list, or
// delete, what lies outside the machine.
TEST(FileAccess, ListsAndRemovesWithoutFollowingLinks) {
  const testing::TempFolder dir;
  const fs::path tree = dir.path() / "tree";
  const fs::path outside = dir.path() / "outside";
  // WriteFileBytes makes the folders.
  WriteFileBytes(tree / "a.txt", "a");
  WriteFileBytes(tree / "Sub" / "Deeper" / "b.txt", "b");
  WriteFileBytes(outside / "keep.txt", "keep");
  std::error_code ec;
  fs::create_directory_symlink(outside, tree / "Sub" / "link", ec);
  const bool links = !ec;  // not every Windows account may make links

  std::set<std::pair<std::string, FolderEntry::Kind>> seen;
  const auto listed = ListFolder(tree / "Sub");
  ASSERT_TRUE(listed.has_value());
  for (const FolderEntry& entry : *listed) seen.emplace(entry.name, entry.kind);
  std::set<std::pair<std::string, FolderEntry::Kind>> expected{{"Deeper", FolderEntry::Kind::kFolder}};
  if (links) expected.emplace("link", FolderEntry::Kind::kLink);
  EXPECT_EQ(seen, expected);
  EXPECT_FALSE(ListFolder(tree / "a.txt").has_value());
  EXPECT_FALSE(ListFolder(dir.path() / "missing").has_value());

  EXPECT_TRUE(RemoveTree(tree));
  EXPECT_FALSE(fs::exists(fs::symlink_status(tree)));
  EXPECT_EQ(ReadFileBytes(outside / "keep.txt"), "keep");
  EXPECT_TRUE(RemoveTree(tree));  // already gone
}

TEST_F(MachineTest, FaultInjectionFailsTheChosenCallsOnlyAndCountsAll) {
  faults::FaultInjectingPlatform faulty(*machine_);
  faulty.FailCall(Function::kRegCreateKeyA, 2, win32::kAccessDenied);
  faulty.FailCall(Function::kRegOpenKeyExA, 0, win32::kFileNotFound);
  faulty.FailCall(Function::kWritePrivateProfileStringA, 1, 32);
  // Each outcome with what became of the handle, which held 0x4242 before.
  const auto outcome = [&](const char* name, bool create) {
    HKey key = 0x4242;
    const Status status = create ? faulty.RegCreateKeyA(kHkeyCurrentUser, name, &key)
                                 : faulty.RegOpenKeyExA(kHkeyCurrentUser, name, 0, kKeyAllAccess, &key);
    if (status == win32::kSuccess) faulty.RegCloseKey(key);
    return std::to_string(status) + (key == 0x4242 ? " kept" : key == kNoKey ? " cleared" : " set");
  };
  EXPECT_EQ((std::vector<std::string>{outcome("Software\\A", true), outcome("Software\\B", true),
                                      outcome("Software\\C", true), outcome("Software\\A", false),
                                      outcome("Software\\A", false)}),
            (std::vector<std::string>{"0 set", "5 kept", "0 set", "2 cleared", "2 cleared"}));
  EXPECT_EQ(faulty.CallCount(Function::kRegCreateKeyA), 3);
  EXPECT_EQ(faulty.CallCount(Function::kRegOpenKeyExA), 2);
  HKey probe = kNoKey;
  EXPECT_EQ(machine_->RegOpenKeyExA(kHkeyCurrentUser, "Software\\B", 0, kKeyAllAccess, &probe), win32::kFileNotFound)
      << "the failed call reached the machine";

  EXPECT_EQ(faulty.WritePrivateProfileStringA("s", "k", "v", "f.ini"), 0);
  EXPECT_EQ(faulty.GetLastError(), 32u);
  EXPECT_NE(faulty.WritePrivateProfileStringA("s", "k", "v", "f.ini"), 0);

  // Later faults count from when they are set.
  faulty.FailCall(Function::kRegCreateKeyA, 1, win32::kAccessDenied);
  EXPECT_EQ(outcome("Software\\D", true), "5 kept");
}

using Data = std::vector<std::string>;

// The data of each value of the key at `path`, in order; nothing when the key
// is absent.
std::optional<Data> DataOf(const std::vector<RegistryKey>& keys, const std::string& path) {
  const auto key = std::ranges::find(keys, path, &RegistryKey::path);
  if (key == keys.end()) return std::nullopt;
  Data data;
  for (const auto& value : key->values) data.emplace_back(value.data.begin(), value.data.end());
  return data;
}

TEST_F(MachineTest, EveryValueSurvivesSaveAndReopenByteForByte) {
  HKey key = kNoKey;
  ASSERT_EQ(machine_->RegCreateKeyA(kHkeyLocalMachine, "SOFTWARE\\Odd \"Name\"\\Sub", &key), win32::kSuccess);
  const std::tuple<const char*, std::uint32_t, std::string> values[] = {
      {"plain", kRegSz, std::string("C:\\Path \"quoted\"\0", 17)}, {"", kRegSz, std::string("default\0", 8)},
      {"no terminator", kRegSz, "abc"}, {"two terminators", kRegSz, std::string("abc\0\0", 5)},
      {"inner nul", kRegSz, std::string("a\0b\0", 4)}, {"empty", kRegSz, ""},
      {"line break", kRegSz, std::string("a\r\nb\0", 5)}, {"dword", kRegDword, std::string("\x01\x02\x03\x84", 4)},
      {"short dword", kRegDword, "\x01\x02"}, {"binary", kRegBinary, std::string(100, '\xAB')},
      {"expand", kRegExpandSz, std::string("%SystemRoot%\0", 13)}, {"type 0x1234", 0x1234, "xyz"},
  };
  Data given;
  for (const auto& [name, type, bytes] : values) {
    // A copy with a guard byte so the look past the end sees no NUL.
    const std::string padded = bytes + "#";
    ASSERT_EQ(machine_->RegSetValueExA(key, name, 0, type, reinterpret_cast<const std::uint8_t*>(padded.data()),
                                       static_cast<std::uint32_t>(bytes.size())),
              win32::kSuccess);
    given.push_back(bytes);
  }
  machine_->RegCloseKey(key);
  const auto before = machine_->SnapshotRegistry();
  machine_->Save();
  const std::string text = ReadFileBytes(Folder() / "registry.reg");
  EXPECT_EQ(text.rfind("REGEDIT4\r\n\r\n", 0), 0u);
  for (const char* line : {"\"plain\"=\"C:\\\\Path \\\"quoted\\\"\"\r\n", "\"no terminator\"=hex(1):61,62,63\r\n",
                           "\"dword\"=dword:84030201\r\n", "\"type 0x1234\"=hex(1234):78,79,7a\r\n", "@=\"default\""}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
  for (std::size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    EXPECT_LE(end - start, 80u) << "long line in the store";
  }
  machine_.reset();

  const auto reopened = Machine::Open(Folder())->SnapshotRegistry();
  EXPECT_EQ(reopened, before);
  EXPECT_EQ(DataOf(reopened, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Odd \"Name\"\\Sub"), given);
}

TEST_F(MachineTest, NamesTheStoreCouldNotHoldAreRefused) {
  HKey key = kNoKey;
  EXPECT_EQ(machine_->RegCreateKeyA(kHkeyCurrentUser, "Software\\two\nlines", &key), win32::kInvalidParameter);
  EXPECT_EQ(machine_->RegSetValueExA(kHkeyCurrentUser, "a\rb", 0, kRegDword,
                                     reinterpret_cast<const std::uint8_t*>("\1\0\0\0"), 4),
            win32::kInvalidParameter);
  machine_->Save();
  machine_.reset();
  EXPECT_NO_THROW(Machine::Open(Folder()));
}

// Either of the encodings regedit writes.
TEST_F(MachineTest, ReadsWhatRegeditWrites) {
  const std::string text =
      "Windows Registry Editor Version 5.00\n; a comment\n\n"
      "[HKEY_CURRENT_USER\\Software\\Gone]\n\"x\"=\"1\"\n"
      "[HKEY_CURRENT_USER\\Software\\Kept]\n\"bin\"=hex:01,02,\\\n  03,04\n\"str\"=\"ends with \\\\\"\n"
      "\"wide\"=hex(2):25,00,41,00,25,00,00,00\n\"removed\"=\"soon\"\n\"removed\"=-\n"
      "[-HKEY_CURRENT_USER\\Software\\Gone]\n"
      "[HKEY_CLASSES_ROOT\\.qvi]\r\n@=\"QviFile\"\r\n";
  const std::string narrow = "Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\Software\\U]\r\n\"e\"=\"\x80\"\r\n";
  std::string wide = "\xFF\xFE";
  for (const char c : narrow) {
    // The euro sign, which code page 1252 has at 0x80.
    wide += c == '\x80' ? std::string("\xAC\x20") : std::string{c, '\0'};
  }
  machine_->ImportReg(wide, "wide.reg");
  machine_->ImportReg(text, "seed.reg");
  const auto keys = machine_->SnapshotRegistry();
  EXPECT_EQ(DataOf(keys, "HKEY_CURRENT_USER\\Software\\Gone"), std::nullopt);
  EXPECT_EQ(DataOf(keys, "HKEY_CURRENT_USER\\Software\\Kept"),
            (Data{"\x01\x02\x03\x04", std::string("ends with \\\0", 12), std::string("%A%\0", 4)}));
  EXPECT_EQ(DataOf(keys, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.qvi"), Data{std::string("QviFile\0", 8)});
  EXPECT_EQ(DataOf(keys, "HKEY_CURRENT_USER\\Software\\U"), Data{std::string("\x80\0", 2)});

  std::string bad = wide;
  bad.replace(bad.size() - 10, 2, "\x00\x4E", 2);  // a CJK character, not in code page 1252
  EXPECT_THROW(machine_->ImportReg(bad, "bad.reg"), MachineError);
}

TEST_F(MachineTest, ParseErrorsNameFileAndLineAndChangeNothing) {
  const std::pair<const char*, const char*> cases[] = {
      {"REGEDIT3\r\n", "x.reg:1:"},
      {"REGEDIT4\r\n\r\n\"v\"=\"outside\"\r\n", "x.reg:3:"},
      {"REGEDIT4\r\n[HKEY_USERS\\x]\r\n", "x.reg:2:"},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER\\a]\r\n\"v\"=\"C:\\temp\"\r\n", "x.reg:3:"},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\a]\n\"v\"=hex:01,\\\n 02\n\"w\"=dword:xyz\n", "x.reg:5:"},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\a]\n\"v\"=\"open\n", "x.reg:3:"},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\a\\\\b]\n", "x.reg:2:"},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\a]\n\"v\"=hex:1ff\n", "x.reg:3:"},
      {"REGEDIT4\n[-HKEY_CURRENT_USER]\n", "x.reg:2:"},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\a\n", "x.reg:2:"},
  };
  const auto before = machine_->SnapshotRegistry();
  for (const auto& [text, where] : cases) {
    const std::string error = qvi::testing::ErrorOf<MachineError>([&] { machine_->ImportReg(text, "x.reg"); });
    EXPECT_EQ(error.rfind(where, 0), 0u) << error;
    EXPECT_EQ(machine_->SnapshotRegistry(), before) << text;
  }
}

}  // namespace
}  // namespace qvi::emu
