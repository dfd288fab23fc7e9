#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "emu/machine.h"
#include "emu/save_journal.h"
#include "testing/error_of.h"
#include "testing/file_bytes.h"
#include "testing/temp_folder.h"

namespace qvi::emu {
namespace {

namespace fs = std::filesystem;
using qvi::testing::ReadFileBytes;
using qvi::testing::WriteFileBytes;

std::string ErrorOf(const fs::path& folder) {
  return testing::ErrorOf<MachineError>([&] { Machine::Open(folder); }, "(opened)");
}

// A saved machine whose drive_c/WINNT/a.ini holds the old text. kJournalText
// is the journal a save leaves when killed after its commit: it names the
// new store and the new a.ini, each beside its target as .NAME.qvi-tmp-7.
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
  void Journal(const std::string& text) { WriteFileBytes(Folder() / kJournalFile, text); }
  static constexpr const char* kJournalText =
      ".registry.reg.qvi-tmp-7\tregistry.reg\ndrive_c/WINNT/.a.ini.qvi-tmp-7\tdrive_c/WINNT/a.ini\nend\n";

  testing::TempFolder dir_;
  std::unique_ptr<Machine> machine_;
};

TEST_F(JournalTest, AJournalNotWrittenBySaveIsRefusedAndNothingMoves) {
  const std::pair<std::string, std::string> cases[] = {
      {"../outside/.x.qvi-tmp-1\t../outside/x\nend\n", ".save-journal:1: names a file outside the machine"},
      {"/etc/.x.qvi-tmp-1\t/etc/x\nend\n", ".save-journal:1: names a file outside the machine"},
      {"drive_c/WINNT/.a.ini.qvi-tmp-7\tregistry.reg\nend\n", ".save-journal:1: not a temporary file beside"},
      {"drive_c/WINNT/b.ini\tdrive_c/WINNT/a.ini\nend\n", ".save-journal:1: not a temporary file beside"},
      {"end\nend\n" + std::string(kJournalText).substr(0, 30), ".save-journal: not a complete journal"},
      {".registry.reg.qvi-tmp-7 registry.reg\nend\n", ".save-journal:1: not a journal line"},
      // Through a folder that is a link, or moving a link.
      {"drive_c/out/.x.qvi-tmp-1\tdrive_c/out/x\nend\n", "out/.x.qvi-tmp-1: not reached without following a link"},
      {"drive_c/WINNT/.l.qvi-tmp-1\tdrive_c/WINNT/a.ini\nend\n", ".l.qvi-tmp-1: not a regular file"},
  };
  WriteFileBytes(dir_.path() / "outside" / ".x.qvi-tmp-1", "moved");
  WriteFileBytes(dir_.path() / "outside" / "x", "kept");
  fs::create_directory_symlink(dir_.path() / "outside", Folder() / "drive_c" / "out");
  fs::create_symlink(dir_.path() / "outside" / ".x.qvi-tmp-1", Folder() / "drive_c" / "WINNT" / ".l.qvi-tmp-1");
  WriteFileBytes(IniTemp(), "[s]\r\nk=new\r\n");
  for (const auto& [journal, message] : cases) {
    Journal(journal);
    const std::string error = ErrorOf(Folder());
    EXPECT_NE(error.find(message), std::string::npos) << journal << "\n" << error;
    EXPECT_EQ(ReadFileBytes(Ini()), "[s]\r\nk=old\r\n");
    EXPECT_TRUE(fs::exists(IniTemp()));
    EXPECT_EQ(ReadFileBytes(dir_.path() / "outside" / "x"), "kept");
  }
}

// After a power cut the journal may be on the disk while a file it names is
// not (its folder never flushed): finishing the save would leave the new
// store beside the old INI file.
TEST_F(JournalTest, ACommittedFileTheDiskLostIsNotTakenForRenamed) {
  std::map<std::string, FileOp> made;  // temporary file, by the name it replaces
  machine_ = Machine::Open(Folder());
  FileOpRecorderSlot() = [&made](const FileOp& op) {
    const std::string name = op.path.filename().string();
    if (op.kind == FileOp::Kind::kCreate) made[name.substr(1, name.find(kTempMarker) - 1)] = op;
  };
  ASSERT_NE(machine_->WritePrivateProfileStringA("s", "k", "new", "a.ini"), 0);
  machine_->ImportReg("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]\r\n\r\n", "new");
  machine_->Save();
  FileOpRecorderSlot() = nullptr;
  machine_.reset();
  const std::string new_store = ReadFileBytes(Folder() / "registry.reg");
  // The store, its new empty log, the INI file, the journal, and the store's
  // image once they are committed.
  ASSERT_EQ(made.size(), 5u);
  for (const bool ini_renamed : {true, false}) {
    WriteFileBytes(Folder() / "registry.reg", "REGEDIT4\r\n\r\n");
    WriteFileBytes(made.at("registry.reg").path, made.at("registry.reg").bytes);
    WriteFileBytes(Ini(), ini_renamed ? "[s]\r\nk=new\r\n" : "[s]\r\nk=old\r\n");
    Journal(made.at(kJournalFile).bytes);
    const std::string error = ErrorOf(Folder());
    if (ini_renamed) {
      EXPECT_EQ(error, "(opened)");
      EXPECT_EQ(ReadFileBytes(Folder() / "registry.reg"), new_store);
    } else {
      EXPECT_NE(error.find(".a.ini.qvi-tmp-"), std::string::npos) << error;
      EXPECT_NE(error.find("is lost"), std::string::npos) << error;
      EXPECT_EQ(ReadFileBytes(Folder() / "registry.reg"), "REGEDIT4\r\n\r\n");
    }
  }
}

// However the host fails, nothing is lost: a listing of the machine folder
// that fails partway refuses the machine (never taken for a fresh one and
// made again over its files); a flush failing after the journal's rename
// fails the save, and the files the journal names stay for the next open.
TEST_F(JournalTest, AHostFailingToListOrFlushLosesNothing) {
  for (const int error : {EIO, ENOSPC, EACCES, EMFILE}) {
    const std::string value = "v" + std::to_string(error), store = ReadFileBytes(Folder() / "registry.reg");
    HostFaultSlot() = [&](HostCall call, const fs::path& path) {
      return call == HostCall::kListFolder && path.filename() == "m" ? error : 0;
    };
    EXPECT_NE(ErrorOf(Folder()).find("the machine folder cannot be listed"), std::string::npos) << value;
    EXPECT_EQ(ReadFileBytes(Folder() / "registry.reg"), store);
    HostFaultSlot() = nullptr;
    machine_ = Machine::Open(Folder());
    ASSERT_NE(machine_->WritePrivateProfileStringA("s", "k", value.c_str(), "a.ini"), 0);
    machine_->ImportReg("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\" + value + "]\r\n\r\n", "new");
    const auto saved = machine_->SnapshotRegistry();
    HostFaultSlot() = [&](HostCall call, const fs::path&) {
      return call == HostCall::kSyncFolder && fs::exists(Folder() / kJournalFile) ? error : 0;
    };
    const std::string failure = testing::ErrorOf<MachineError>([&] { machine_->Save(); }, "(saved)");
    HostFaultSlot() = nullptr;
    EXPECT_NE(failure.find("cannot flush the folder to the disk"), std::string::npos) << value << ": " << failure;
    machine_.reset();
    machine_ = Machine::Open(Folder());
    EXPECT_EQ(machine_->SnapshotRegistry(), saved) << value;
    EXPECT_EQ(ReadFileBytes(Ini()), "[s]\r\nk=" + value + "\r\n");
    machine_.reset();
  }
}

// In a saved machine as much as in a new one.
TEST_F(JournalTest, AnIniFileOrLogThatIsNoRegularFileIsDenied) {
  machine_ = Machine::Open(Folder());
  ::mkfifo((Folder() / "drive_c" / "WINNT" / "pipe.ini").c_str(), 0644);
  char buffer[16];
  EXPECT_EQ(machine_->GetPrivateProfileStringA("s", "k", "dflt", buffer, sizeof buffer, "pipe.ini"), 4u);
  EXPECT_EQ(machine_->WritePrivateProfileStringA("s", "k", "v", "pipe.ini"), 0);
  EXPECT_EQ(machine_->GetLastError(), platform::win32::kAccessDenied);
  // A log that is a pipe nobody reads would block every line.
  ::mkfifo((Folder() / "drive_c" / "ods.txt").c_str(), 0644);
  EXPECT_EQ(machine_->AppendLine("C:\\ods.txt", "line"), platform::win32::kAccessDenied);
  machine_->Save();
  EXPECT_TRUE(fs::is_fifo(Folder() / "drive_c" / "WINNT" / "pipe.ini"));
}

// A lock file another user planted, or one that is not a file, would make
// this run create or hold something outside the machine.
TEST_F(JournalTest, ALockFileThatIsNoRegularFileOfThisUserIsRefused) {
  const fs::path lock = Folder() / ".lock";
  const fs::path outside = dir_.path() / "created-by-the-lock";
  const std::vector<std::pair<std::string, std::function<void()>>> cases = {
      {"a link to a new file", [&] { fs::create_symlink(outside, lock); }},
      {"a link to a device", [&] { fs::create_symlink("/dev/null", lock); }},
      {"a pipe", [&] { ::mkfifo(lock.c_str(), 0600); }},
      {"a file of another user", [&] {
         WriteFileBytes(lock, "");
         if (::chown(lock.c_str(), 65534, 65534) != 0) fs::remove(lock);
       }},
  };
  for (const auto& [what, plant] : cases) {
    fs::remove_all(Folder());
    fs::create_directories(Folder());
    plant();
    if (!fs::exists(fs::symlink_status(lock))) {
      std::printf("not checked without the right to give a file away: %s\n", what.c_str());
      continue;
    }
    EXPECT_NE(ErrorOf(Folder()).find("refused as a lock file"), std::string::npos) << what;
    EXPECT_FALSE(fs::exists(Folder() / "machine.ini")) << what;
    EXPECT_FALSE(fs::exists(outside)) << what;
  }
}

}  // namespace
}  // namespace qvi::emu
