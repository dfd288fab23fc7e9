// Where temporary machines go and how those of killed runs are cleared.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
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

// A run saving while its machine is copied would leave the copy half before
// the save and half after it: while a run holds the machine, a copy is
// refused and copies nothing; once it is done, the copy is the saved machine.
TEST(TempMachine, AMachineIsNotCopiedWhileARunHoldsIt) {
  const qvi::testing::TempFolder dir, to;
  auto run = emu::Machine::Open(dir.path() / "m");
  run->WritePrivateProfileStringA("s", "k", "saved", "a.ini");
  run->Save();
  const std::string error =
      qvi::testing::ErrorOf<emu::MachineError>([&] { CopyMachineFolder(dir.path() / "m", to.path()); }, "");
  EXPECT_NE(error.find("in use by another run"), std::string::npos) << error;
  EXPECT_TRUE(fs::is_empty(to.path()));
  run.reset();
  CopyMachineFolder(dir.path() / "m", to.path());
  char value[16] = "";
  emu::Machine::Open(to.path())->GetPrivateProfileStringA("s", "k", "", value, sizeof value, "a.ini");
  EXPECT_STREQ(value, "saved");
}

}  // namespace
}  // namespace qvi::scenario
