// Where temporary machines go and how those of killed runs are cleared.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "emu/machine.h"
#include "scenario/temp_machine.h"
#include "testing/error_of.h"
#include "testing/file_bytes.h"
#include "testing/temp_folder.h"

namespace qvi::scenario {
namespace {

namespace fs = std::filesystem;

// A fresh folder that TMPDIR names for the life of the object.
class TmpDir : public testing::TempFolder {
 public:
  TmpDir() {
    if (const char* old = std::getenv("TMPDIR")) old_ = old;
    ::setenv("TMPDIR", path().c_str(), 1);
  }
  ~TmpDir() { old_.empty() ? ::unsetenv("TMPDIR") : ::setenv("TMPDIR", old_.c_str(), 1); }

 private:
  std::string old_;
};

TEST(TempMachine, GoesWhereTmpDirSaysAndClearsWhatKilledRunsLeft) {
  const TmpDir dir;
  // pid 0x7ffffff0 does not run; a folder of a live process (this one) and
  // one that is no machine of ours stay.
  const fs::path stale = dir.path() / "qvihost-machine-2147483632-abcdefgh";
  const fs::path alive = dir.path() / ("qvihost-machine-" + std::to_string(::getpid()) + "-zzzzzzzz");
  const fs::path other = dir.path() / "qvihost-notes";
  for (const fs::path& folder : {stale, alive, other}) fs::create_directories(folder / "drive_c");
  qvi::testing::WriteFileBytes(stale / "registry.reg", "REGEDIT4\r\n");

  fs::path made;
  {
    const TempMachineFolder machine;
    made = machine.path();
    EXPECT_EQ(made.parent_path(), dir.path());
    EXPECT_EQ(made.filename().string().rfind("qvihost-machine-" + std::to_string(::getpid()) + "-", 0), 0u);
    EXPECT_TRUE(fs::is_directory(made));
  }
  // Gone: the machine made and the stale one; kept: the live one and the other.
  EXPECT_EQ(std::vector({fs::exists(made), fs::exists(stale), fs::exists(alive), fs::exists(other)}),
            std::vector({false, false, true, true}));
}

// Another user may plant folders of the same names in a shared /dev/shm:
// clearing them must neither follow their links nor touch what is theirs,
// and a running machine is nobody else's to read.
TEST(TempMachine, IsPrivateAndClearsNothingOfOtherUsersNorThroughLinks) {
  const TmpDir dir;
  const fs::path lock_leads_out = dir.path() / "qvihost-machine-2147483632-locklink";
  const fs::path of_another = dir.path() / "qvihost-machine-2147483632-otheruser";
  const fs::path a_link = dir.path() / "qvihost-machine-2147483632-linkfold";
  const fs::path victim = dir.path() / "victim";
  fs::create_directories(lock_leads_out);
  fs::create_directories(of_another);
  fs::create_directories(victim);
  fs::create_symlink(victim / "created", lock_leads_out / ".lock");
  fs::create_directory_symlink(victim, a_link);
  qvi::testing::WriteFileBytes(victim / "kept", "");
  const bool given_away = ::chown(of_another.c_str(), 65534, 65534) == 0;

  const TempMachineFolder machine;
  EXPECT_EQ(fs::status(machine.path()).permissions() & (fs::perms::group_all | fs::perms::others_all),
            fs::perms::none);
  EXPECT_FALSE(fs::exists(victim / "created"));
  EXPECT_TRUE(fs::exists(victim / "kept"));
  EXPECT_TRUE(fs::is_symlink(a_link));
  if (given_away) {
    EXPECT_TRUE(fs::exists(of_another));
  }
}

// A machine saved over and over, by runs one after another, while it is
// copied: each copy is refused while a run holds the machine, or is one whole
// save, its registry and INI file from the same one.
TEST(TempMachine, ACopyIsOneWholeSaveWhileRunsSaveTheMachine) {
  const qvi::testing::TempFolder dir;
  const fs::path from = dir.path() / "m";
  emu::Machine::Open(from)->Save();
  std::atomic<bool> done = false;
  std::thread runs([&] {
    for (int run = 0; !done; ++run) {
      const std::string text = std::to_string(run);
      std::unique_ptr<emu::Machine> machine;
      if (!qvi::testing::ErrorOf<emu::MachineError>([&] { machine = emu::Machine::Open(from); }, "").empty()) continue;
      machine->WritePrivateProfileStringA("s", "k", text.c_str(), "a.ini");
      machine->ImportReg("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\S]\r\n\"k\"=\"" + text + "\"\r\n", "run");
      machine->Save();
      machine.reset();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  int copies = 0, refused = 0;
  while (copies < 50 && refused < 20000) {
    const qvi::testing::TempFolder to;
    const std::string error = qvi::testing::ErrorOf<std::exception>([&] { CopyMachineFolder(from, to.path()); }, "");
    std::unique_ptr<emu::Machine> copy;
    if (error.empty()) {
      EXPECT_EQ(qvi::testing::ErrorOf<emu::MachineError>([&] { copy = emu::Machine::Open(to.path()); }, ""), "");
    } else {
      EXPECT_NE(error.find("in use by another run"), std::string::npos) << error;
    }
    if (!copy) {
      ++refused;
      continue;
    }
    char ini[16] = "";
    copy->GetPrivateProfileStringA("s", "k", "", ini, sizeof ini, "a.ini");
    std::string reg;
    for (const auto& key : copy->SnapshotRegistry()) {
      if (key.path == "HKEY_LOCAL_MACHINE\\S")
        reg.assign(key.values.at(0).data.begin(), key.values.at(0).data.end() - 1);
    }
    EXPECT_EQ(ini, reg);
    ++copies;
  }
  done = true;
  runs.join();
  EXPECT_EQ(copies, 50);
}

}  // namespace
}  // namespace qvi::scenario
