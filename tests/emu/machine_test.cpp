#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "platform/emu/machine.h"
#include "platform/fault_injection.h"
#include "support/temp_dir.h"

namespace qvi::emu {
namespace {

namespace fs = std::filesystem;
using namespace qvi::platform;

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

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
    MachineSettings settings;
    settings.computer_name = "Alpha";
    settings.windows_directory = "C:\\WinNT";
    machine_ = Machine::Open(Folder(), settings);
  }
  fs::path Folder() const { return dir_.path() / "m"; }
  std::string Read(const char* section, const char* key, const char* file) {
    char buffer[256];
    const auto n = machine_->GetPrivateProfileStringA(section, key, "<none>", buffer, sizeof buffer, file);
    return std::string(buffer, n);
  }

  testing::TempDir dir_;
  std::unique_ptr<Machine> machine_;
};

TEST_F(MachineTest, SettingsPersistAndOverrideNothingOnReopen) {
  EXPECT_TRUE(fs::is_directory(Folder() / "drive_c" / "WinNT"));
  machine_.reset();
  MachineSettings other;
  other.computer_name = "OTHER";
  const auto reopened = Machine::Open(Folder(), other);
  EXPECT_EQ(reopened->settings().computer_name, "Alpha");
  EXPECT_EQ(reopened->settings().windows_directory, "C:\\WinNT");
  EXPECT_EQ(reopened->settings().code_page, 1252u);
}

TEST_F(MachineTest, BadSettingsNameTheirLine) {
  struct Case {
    const char* text;
    const char* where;
  };
  const Case cases[] = {
      {"[Machine]\r\nComputerName=X\r\nCodePage=12a\r\n", "machine.ini:3:"},
      {"; settings\r\n[Machine]\r\nWindowsDirectory=WINNT\r\n", "machine.ini:3:"},
      {"[Machine]\r\nComputerName=\r\n", "machine.ini:2:"},
  };
  for (const Case& c : cases) {
    testing::TempDir dir;
    std::ofstream(dir.path() / "machine.ini", std::ios::binary) << c.text;
    try {
      Machine::Open(dir.path());
      ADD_FAILURE() << "accepted " << c.text;
    } catch (const MachineError& error) {
      EXPECT_NE(std::string(error.what()).find(c.where), std::string::npos) << error.what();
    }
  }
}

TEST_F(MachineTest, PathsMapIntoDrivesWhateverTheirCase) {
  fs::create_directories(Folder() / "drive_c" / "Program Files" / "Qvi");
  const fs::path expected = Folder() / "drive_c" / "Program Files" / "Qvi" / "new.ini";
  for (const char* path : {"C:\\PROGRAM FILES\\qvi\\new.ini", "c:/program files/QVI/new.ini",
                           "\\\\ALPHA\\C$\\Program Files\\Qvi\\.\\x\\..\\new.ini", "\\\\alpha\\c$\\program files.\\qvi\\new.ini"}) {
    EXPECT_EQ(machine_->MapPath(path), expected) << path;
  }
  EXPECT_EQ(machine_->MapPath("kethra.ini"), Folder() / "drive_c" / "WinNT" / "kethra.ini");
  EXPECT_EQ(machine_->WindowsPathOf(expected), "C:\\Program Files\\Qvi\\new.ini");
  EXPECT_EQ(machine_->WindowsPathOf(Folder() / "drive_c"), "C:\\");
  EXPECT_THROW(machine_->WindowsPathOf(dir_.path() / "elsewhere"), PathError);
}

TEST_F(MachineTest, PathsLeavingTheMachineAreRefusedAndTouchNothing) {
  fs::create_directories(dir_.path() / "outside");
  fs::create_symlink(dir_.path() / "outside", Folder() / "drive_c" / "link");
  struct Case {
    std::string path;
    Status code;
  };
  const Case cases[] = {
      {"C:\\..\\escape.ini", win32::kBadPathName},
      {"C:\\WinNT\\..\\..\\escape.ini", win32::kBadPathName},
      {"Z:\\escape.ini", win32::kPathNotFound},
      {"\\\\OTHER\\C$\\escape.ini", win32::kBadNetPath},
      {"\\\\ALPHA\\share\\escape.ini", 67},
      {"\\\\.\\C:\\escape.ini", win32::kBadPathName},
      {"/tmp/escape.ini", win32::kBadPathName},
      {std::string("C:\\esc\0ape.ini", 14), win32::kBadPathName},
      {"C:escape.ini", win32::kBadPathName},
      {"sub\\escape.ini", win32::kPathNotFound},
      {"\\escape.ini", win32::kPathNotFound},
      {"C:\\link\\escape.ini", win32::kBadPathName},
      {"C:\\LINK\\escape.ini", win32::kBadPathName},
  };
  const auto before = Tree(dir_.path());
  for (const Case& c : cases) {
    try {
      machine_->MapPath(c.path);
      ADD_FAILURE() << "mapped " << c.path;
    } catch (const PathError& error) {
      EXPECT_EQ(error.code(), c.code) << c.path << ": " << error.what();
    }
    EXPECT_EQ(machine_->AppendLine(c.path, "line"), c.code) << c.path;
    // The NUL case is cut short by the C string; it is then a different path.
    if (c.path.find('\0') == std::string::npos) {
      EXPECT_EQ(machine_->WritePrivateProfileStringA("s", "k", "v", c.path.c_str()), 0) << c.path;
      EXPECT_EQ(machine_->GetLastError(), static_cast<std::uint32_t>(c.code)) << c.path;
    }
  }
  machine_->Save();
  auto after = Tree(dir_.path());
  after.erase("m/registry.reg");
  EXPECT_EQ(after, before);
}

TEST_F(MachineTest, NothingReachesTheDiskBeforeSave) {
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
  EXPECT_EQ(Slurp(Folder() / "drive_c" / "WinNT" / "pending.ini"), "[s]\r\nk=v\r\n");
  machine_.reset();
  EXPECT_EQ(Machine::Open(Folder())->SnapshotRegistry(), saved);
}

TEST_F(MachineTest, ClassesRootIsTheMachineClassesKey) {
  HKey key = kNoKey;
  ASSERT_EQ(machine_->RegCreateKeyA(kHkeyClassesRoot, "\\.qvi", &key), win32::kSuccess);
  machine_->RegCloseKey(key);
  ASSERT_EQ(machine_->RegOpenKeyExA(kHkeyLocalMachine, "SOFTWARE\\CLASSES\\.QVI", 0, kKeyAllAccess, &key),
            win32::kSuccess);
  machine_->RegCloseKey(key);
  EXPECT_EQ(machine_->RegDeleteKeyA(kHkeyClassesRoot, ""), win32::kAccessDenied);
}

TEST_F(MachineTest, LeftoverTemporaryFilesDoNotBreakOpen) {
  machine_->Save();
  const std::string store = Slurp(Folder() / "registry.reg");
  std::ofstream(Folder() / ".registry.reg.qvi-tmp-999", std::ios::binary) << "REGEDIT4\r\n[HKEY_LOC";
  machine_.reset();
  machine_ = Machine::Open(Folder());
  EXPECT_FALSE(fs::exists(Folder() / ".registry.reg.qvi-tmp-999"));
  EXPECT_EQ(Slurp(Folder() / "registry.reg"), store);
}

TEST_F(MachineTest, ReadsNoticeEditsMadeOutsideTheMachine) {
  const fs::path file = Folder() / "drive_c" / "WinNT" / "outside.ini";
  std::ofstream(file, std::ios::binary) << "[s]\r\nk=one\r\n";
  EXPECT_EQ(Read("s", "k", "OUTSIDE.INI"), "one");
  std::ofstream(file, std::ios::binary) << "[s]\r\nk=two\r\n";  // same size
  fs::last_write_time(file, fs::last_write_time(file) + std::chrono::seconds(1));
  EXPECT_EQ(Read("s", "k", "OUTSIDE.INI"), "two");
  fs::remove(file);
  EXPECT_EQ(Read("s", "k", "OUTSIDE.INI"), "<none>");
}

TEST_F(MachineTest, MessageBoxesAreRecordedAndPresentedInOrder) {
  std::vector<std::string> shown;
  machine_->SetMessageBoxPresenter([&](const MessageBoxRecord& box) { shown.push_back(box.caption + ":" + box.text); });
  EXPECT_EQ(machine_->MessageBoxOk("first", "A"), 1);
  EXPECT_EQ(machine_->MessageBoxOk("second", "B"), 1);
  ASSERT_EQ(machine_->message_boxes().size(), 2u);
  EXPECT_EQ(machine_->message_boxes()[1].text, "second");
  EXPECT_EQ(shown, (std::vector<std::string>{"A:first", "B:second"}));
}

TEST_F(MachineTest, AppendLineGoesToDiskAtOnce) {
  const fs::path log = Folder() / "drive_c" / "ods.txt";
  std::ofstream(log, std::ios::binary) << "old";
  ASSERT_EQ(machine_->AppendLine("\\\\ALPHA\\C$\\ods.txt", "new"), win32::kSuccess);
  EXPECT_EQ(Slurp(log), "oldnew\r\n");
}

TEST(FaultInjection, FailsTheChosenCallsOnlyAndCountsAll) {
  testing::TempDir dir;
  auto machine = Machine::Open(dir.path());
  FaultInjectingPlatform faulty(*machine);
  faulty.FailCall(Function::kRegCreateKeyA, 2, win32::kAccessDenied);
  faulty.FailCall(Function::kRegOpenKeyExA, 0, win32::kFileNotFound);
  faulty.FailCall(Function::kWritePrivateProfileStringA, 1, 32);

  HKey key = kNoKey;
  EXPECT_EQ(faulty.RegCreateKeyA(kHkeyCurrentUser, "Software\\A", &key), win32::kSuccess);
  faulty.RegCloseKey(key);
  key = 0x4242;
  EXPECT_EQ(faulty.RegCreateKeyA(kHkeyCurrentUser, "Software\\B", &key), win32::kAccessDenied);
  EXPECT_EQ(key, 0x4242u);
  EXPECT_EQ(faulty.RegCreateKeyA(kHkeyCurrentUser, "Software\\C", &key), win32::kSuccess);
  faulty.RegCloseKey(key);
  for (int i = 0; i < 2; ++i) {
    key = 0x4242;
    EXPECT_EQ(faulty.RegOpenKeyExA(kHkeyCurrentUser, "Software\\A", 0, kKeyAllAccess, &key), win32::kFileNotFound);
    EXPECT_EQ(key, kNoKey);
  }
  EXPECT_EQ(faulty.CallCount(Function::kRegCreateKeyA), 3);
  EXPECT_EQ(faulty.CallCount(Function::kRegOpenKeyExA), 2);
  HKey probe = kNoKey;
  EXPECT_EQ(machine->RegOpenKeyExA(kHkeyCurrentUser, "Software\\B", 0, kKeyAllAccess, &probe), win32::kFileNotFound)
      << "the failed call reached the machine";

  EXPECT_EQ(faulty.WritePrivateProfileStringA("s", "k", "v", "f.ini"), 0);
  EXPECT_EQ(faulty.GetLastError(), 32u);
  EXPECT_NE(faulty.WritePrivateProfileStringA("s", "k", "v", "f.ini"), 0);

  // Later faults count from when they are set.
  faulty.FailCall(Function::kRegCreateKeyA, 1, win32::kAccessDenied);
  EXPECT_EQ(faulty.RegCreateKeyA(kHkeyCurrentUser, "Software\\D", &key), win32::kAccessDenied);
}

TEST(FaultInjection, NamesRoundTrip) {
  int known = 0;
  for (int f = static_cast<int>(Function::kRegCreateKeyA); f <= static_cast<int>(Function::kAppendLine); ++f) {
    const auto function = static_cast<Function>(f);
    const std::string_view name = FunctionName(function);
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(FunctionFromName(name), function) << name;
    ++known;
  }
  EXPECT_EQ(known, 12);
  EXPECT_EQ(FunctionFromName("RegCreateKeyExA"), std::nullopt);
  EXPECT_EQ(FunctionFromName("regcreatekeya"), std::nullopt);
}

}  // namespace
}  // namespace qvi::emu
