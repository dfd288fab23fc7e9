#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "emu/machine.h"
#include "emu/save_journal.h"
#include "testing/file_bytes.h"
#include "testing/temp_folder.h"

namespace qvi::emu {
namespace {

namespace fs = std::filesystem;
using qvi::testing::ReadFileBytes;
using qvi::testing::WriteFileBytes;

std::vector<std::string> Leftovers(const fs::path& root) {
  std::vector<std::string> out;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = entry.path().filename().string();
    if (name.find(kTempMarker) != std::string::npos || name == kJournalFile) {
      out.push_back(entry.path().lexically_relative(root).string());
    }
  }
  return out;
}

std::string ErrorOf(const fs::path& folder) {
  try {
    Machine::Open(folder);
  } catch (const MachineError& error) {
    return error.what();
  }
  return "(opened)";
}

// A machine folder as a save leaves it when killed after its commit:
//   m/registry.reg            old      m/.registry.reg.qvi-tmp-7   new
//   m/drive_c/WINNT/a.ini     old      m/drive_c/WINNT/.a.ini.qvi-tmp-7  new
//   m/.save-journal           names both pairs
class JournalTest : public ::testing::Test {
 protected:
  JournalTest() {
    machine_ = Machine::Open(Folder());
    machine_->Save();
    machine_.reset();
    WriteFileBytes(Ini(), "[s]\r\nk=old\r\n");
  }
  fs::path Folder() const { return dir_.path() / "m"; }
  fs::path Ini() const { return Folder() / "drive_c" / "WINNT" / "a.ini"; }
  fs::path IniTemp() const { return Folder() / "drive_c" / "WINNT" / ".a.ini.qvi-tmp-7"; }
  fs::path RegTemp() const { return Folder() / ".registry.reg.qvi-tmp-7"; }
  void Journal(const std::string& text) { WriteFileBytes(Folder() / kJournalFile, text); }
  static constexpr const char* kNewStore = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]\r\n\r\n";
  static constexpr const char* kJournalText =
      ".registry.reg.qvi-tmp-7\tregistry.reg\ndrive_c/WINNT/.a.ini.qvi-tmp-7\tdrive_c/WINNT/a.ini\nend\n";

  testing::TempFolder dir_;
  std::unique_ptr<Machine> machine_;
};

TEST_F(JournalTest, ACommittedSaveIsFinishedWhereverItStopped) {
  // Killed before the first rename, and between the two.
  for (const bool store_renamed : {false, true}) {
    WriteFileBytes(Ini(), "[s]\r\nk=old\r\n");
    WriteFileBytes(IniTemp(), "[s]\r\nk=new\r\n");
    WriteFileBytes(store_renamed ? Folder() / "registry.reg" : RegTemp(), kNewStore);
    Journal(kJournalText);
    const auto machine = Machine::Open(Folder());
    EXPECT_EQ(ReadFileBytes(Ini()), "[s]\r\nk=new\r\n") << store_renamed;
    EXPECT_NE(machine->ExportReg().find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]"), std::string::npos) << store_renamed;
    EXPECT_EQ(Leftovers(Folder()), std::vector<std::string>()) << store_renamed;
  }
}

TEST_F(JournalTest, ASaveThatNeverCommittedLeavesTheOldFilesAndNoTemporaries) {
  const std::string store = ReadFileBytes(Folder() / "registry.reg");
  WriteFileBytes(IniTemp(), "[s]\r\nk=new\r\n");
  WriteFileBytes(RegTemp(), kNewStore);
  WriteFileBytes(Folder() / ".save-journal.qvi-tmp-7", kJournalText);
  WriteFileBytes(Folder() / "drive_c" / "deep" / "er" / ".x.ini.qvi-tmp-9", "cut off");
  Machine::Open(Folder());
  EXPECT_EQ(ReadFileBytes(Ini()), "[s]\r\nk=old\r\n");
  EXPECT_EQ(ReadFileBytes(Folder() / "registry.reg"), store);
  EXPECT_EQ(Leftovers(Folder()), std::vector<std::string>());
}

TEST_F(JournalTest, AJournalNotWrittenBySaveIsRefusedAndNothingMoves) {
  fs::create_directories(dir_.path() / "outside");
  const std::pair<std::string, std::string> cases[] = {
      {"../outside/.x.qvi-tmp-1\t../outside/x\nend\n", ".save-journal:1: names a file outside the machine"},
      {"/etc/.x.qvi-tmp-1\t/etc/x\nend\n", ".save-journal:1: names a file outside the machine"},
      {"drive_c/WINNT/.a.ini.qvi-tmp-7\tregistry.reg\nend\n", ".save-journal:1: not a temporary file beside"},
      {"drive_c/WINNT/b.ini\tdrive_c/WINNT/a.ini\nend\n", ".save-journal:1: not a temporary file beside"},
      {"end\nend\n" + std::string(kJournalText).substr(0, 30), ".save-journal: not a complete journal"},
      {".registry.reg.qvi-tmp-7 registry.reg\nend\n", ".save-journal:1: not a journal line"},
  };
  WriteFileBytes(IniTemp(), "[s]\r\nk=new\r\n");
  for (const auto& [journal, message] : cases) {
    Journal(journal);
    const std::string error = ErrorOf(Folder());
    EXPECT_NE(error.find(message), std::string::npos) << journal << "\n" << error;
    EXPECT_EQ(ReadFileBytes(Ini()), "[s]\r\nk=old\r\n");
    EXPECT_TRUE(fs::exists(IniTemp()));
  }
}

TEST(HostileMachineFolder, AnIniFileOrLogThatIsNoRegularFileIsDenied) {
  testing::TempFolder dir;
  auto machine = Machine::Open(dir.path());
  ::mkfifo((dir.path() / "drive_c" / "WINNT" / "pipe.ini").c_str(), 0644);
  char buffer[16];
  EXPECT_EQ(machine->GetPrivateProfileStringA("s", "k", "dflt", buffer, sizeof buffer, "pipe.ini"), 4u);
  EXPECT_EQ(machine->WritePrivateProfileStringA("s", "k", "v", "pipe.ini"), 0);
  EXPECT_EQ(machine->GetLastError(), platform::win32::kAccessDenied);
  // A log that is a pipe nobody reads would block every line.
  ::mkfifo((dir.path() / "drive_c" / "ods.txt").c_str(), 0644);
  EXPECT_EQ(machine->AppendLine("C:\\ods.txt", "line"), platform::win32::kAccessDenied);
  machine->Save();
  EXPECT_TRUE(fs::is_fifo(dir.path() / "drive_c" / "WINNT" / "pipe.ini"));
}

}  // namespace
}  // namespace qvi::emu
