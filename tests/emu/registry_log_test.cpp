#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emu/machine.h"
#include "emu/registry_log.h"
#include "testing/error_of.h"
#include "testing/file_bytes.h"
#include "testing/temp_folder.h"

namespace qvi::emu {
namespace {

namespace fs = std::filesystem;
using qvi::testing::ReadFileBytes;
using namespace qvi::platform;

// A kept machine whose registry.reg is written once, with enough in it that
// the saves below stay within the quarter the log may grow to.
class RegistryLogTest : public ::testing::Test {
 protected:
  RegistryLogTest() {
    machine_ = Machine::Open(Folder());
    for (int i = 0; i < 200; ++i) Set("SOFTWARE\\Base", "v" + std::to_string(i), std::string(40, 'x'));
    machine_->Save();
    machine_->StartRecording();
    registry_ = ReadFileBytes(Folder() / "registry.reg");
  }
  fs::path Folder() const { return dir_.path() / "m"; }
  fs::path Log() const { return Folder() / "registry.log"; }
  void Set(const std::string& key, const std::string& name, const std::string& text, HKey root = kHkeyLocalMachine) {
    HKey handle = kNoKey;
    ASSERT_EQ(machine_->RegCreateKeyA(root, key.c_str(), &handle), win32::kSuccess);
    ASSERT_EQ(machine_->RegSetValueExA(handle, name.c_str(), 0, kRegSz,
                                       reinterpret_cast<const std::uint8_t*>(text.c_str()),
                                       static_cast<std::uint32_t>(text.size() + 1)),
              win32::kSuccess);
    if (!IsPredefinedKey(handle)) machine_->RegCloseKey(handle);
  }
  void Unset(const std::string& key, const std::string& name, HKey root = kHkeyLocalMachine) {
    RegistryStore::Node* node = machine_->registry().EnsureKey(
        std::string(root == kHkeyLocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER") + (key.empty() ? "" : "\\") + key);
    ASSERT_TRUE(machine_->registry().RemoveValue(*node, name));
  }
  void Remove(const std::string& key) { ASSERT_TRUE(machine_->registry().DeleteTree("HKEY_LOCAL_MACHINE\\" + key)); }
  // Saves, reopens and answers whether the reopened machine is the saved one.
  bool SavedAndReopened() {
    machine_->Save();
    const auto saved = machine_->SnapshotRegistry();
    machine_.reset();
    machine_ = Machine::Open(Folder());
    machine_->StartRecording();
    return machine_->SnapshotRegistry() == saved;
  }

  testing::TempFolder dir_;
  std::unique_ptr<Machine> machine_;
  std::string registry_;
};

// Each step is one save, replayed by the next open over registry.reg, which
// none of them rewrites; some saves follow others within one open machine.
// Past a quarter of registry.reg the log is folded into it, and starts again.
TEST_F(RegistryLogTest, ReplayGivesBackEverySavedStateUntilTheLogIsCompacted) {
  const std::vector<std::pair<std::function<void()>, bool>> steps = {  // step, reopened after it
      {[&] {
         for (const char* name : {"x", "y", "z"}) Set("SOFTWARE\\A\\B", name, name);
         Set("", "root", "r", kHkeyCurrentUser);
         Set("SOFTWARE\\Brief", "made", "in one save, removed in the next");
       },
       false},
      {[&] {
         Set("SOFTWARE\\A\\B", "x", "changed in place");
         Unset("SOFTWARE\\A\\B", "y");
         Set("SOFTWARE\\A\\B", "y", "now last");
         Set("SOFTWARE\\A\\C\\D", "", "deep");
         Remove("SOFTWARE\\Brief");
       },
       true},
      {[&] { Set("SOFTWARE\\A\\B", "z", "z"); }, false},  // as it was: nothing to log
      {[&] {
         Remove("SOFTWARE\\A\\C");
         Remove("SOFTWARE\\A\\B");
         Set("SOFTWARE\\a\\b", "w", "spelt anew");
         Set("SOFTWARE\\Gone", "g", "made and removed in one save");
         Remove("SOFTWARE\\Gone");
         Unset("", "root", kHkeyCurrentUser);
         Set("SOFTWARE\\Base", "V7", "set through another spelling");
       },
       true},
  };
  for (std::size_t i = 0; i < steps.size(); ++i) {
    steps[i].first();
    if (steps[i].second) {
      EXPECT_TRUE(SavedAndReopened()) << "step " << i;
    } else {
      machine_->Save();
    }
  }
  EXPECT_EQ(ReadFileBytes(Folder() / "registry.reg"), registry_);
  EXPECT_GT(ReadFileBytes(Log()).size(), RegistryLogHeader().size());

  Set("SOFTWARE\\C", "large", std::string(registry_.size() / 4, 'L'));
  EXPECT_TRUE(SavedAndReopened());
  EXPECT_NE(ReadFileBytes(Folder() / "registry.reg"), registry_);
  EXPECT_EQ(ReadFileBytes(Log()), RegistryLogHeader());
}

// The log of two saves, then damaged: the tail of an append that never
// finished is dropped; anything else is refused with the file and offset,
// and nothing changes. A journal's log line must name the records past the
// log's last commit, or that commit: a stale or hand-made one is refused
// rather than cut committed records away.
TEST_F(RegistryLogTest, ATornTailIsIgnoredAndADamagedOrHostileLogRefused) {
  Set("SOFTWARE\\T", "first", "1");
  machine_->Save();
  const auto first = machine_->SnapshotRegistry();
  const std::size_t first_end = ReadFileBytes(Log()).size();
  Set("SOFTWARE\\T", "second", "2");
  machine_->Save();
  const auto second = machine_->SnapshotRegistry();
  machine_.reset();
  const std::string log = ReadFileBytes(Log());
  const std::string end = std::to_string(log.size());
  const auto forged = [&](const std::string& key) {
    return log + EncodeLogOps({{LogOp::Kind::kSetValue, key, {"v", kRegSz, {}}}}) + EncodeLogCommit(log.size(), 1);
  };
  struct Case {
    std::string name, bytes, error;  // error empty: opens
    const std::vector<RegistryKey>* state;
    std::string journal = {};  // a journal's log line, stale or made by hand
  };
  const std::string last_save = std::to_string(first_end) + "\t" + std::to_string(log.size() - first_end - 21);
  std::string flipped = log;
  flipped[RegistryLogHeader().size() + 12] ^= 1;
  // A length that runs past the end, in the first save and in the last.
  std::string long_first = log, long_last = log;
  long_first[RegistryLogHeader().size() + 2] ^= 1;
  long_last[first_end + 2] ^= 1;
  const std::string torn = EncodeLogOps({{LogOp::Kind::kCreateKey, "HKEY_CURRENT_USER\\Torn", {}}});
  const Case cases[] = {
      {"cut inside the last save", log.substr(0, log.size() - 3), "", &first},
      {"a block of zeros inside an append cut short", log + std::string(600, '\0') + torn + torn, "", &second},
      {"a huge length in an append cut short", log + "\xff\xff\xff\x7f" + torn, "", &second},
      {"a flipped byte in the first save", flipped, "registry.log: offset 8: a record that fails its checksum",
       nullptr},
      {"a flipped length in the first save", long_first, "registry.log: offset 8: a record cut short", nullptr},
      {"a flipped length in the last save", long_last, "offset " + std::to_string(first_end) + ": a record cut",
       nullptr},
      {"a huge length before a commit", log + "\xff\xff\xff\x7f" + std::string(8, 'x') + EncodeLogCommit(log.size(), 0),
       "offset " + end + ": a record of", nullptr},
      {"larger than the saves write", log + std::string(registry_.size() / 4, '\0'), "more than the saves ever write",
       nullptr},
      {"a key below no root", forged("HKEY_USERS\\S"), "offset " + end + ": a key outside the root keys", nullptr},
      {"an empty key name", forged("HKEY_CURRENT_USER\\a\\\\b"), "offset " + end + ": a key name", nullptr},
      {"a commit of nothing there", log + EncodeLogCommit(8, 1), "offset " + end + ": a commit of records", nullptr},
      {"no log at all", "REGEDIT4\r\n", "registry.log: not a registry log", nullptr},
      {"a journal of no records that would cut the log", log, ":1: the records appended to registry.log are not where",
       nullptr, "8\t0\t0"},
      {"a journal of the last save, committed", log, "", &second, last_save + "\t1"},
  };
  for (const Case& c : cases) {
    testing::WriteFileBytes(Log(), c.bytes);
    if (!c.journal.empty())
      testing::WriteFileBytes(Folder() / ".save-journal", "+registry.log\t" + c.journal + "\nend\n");
    const std::string error = testing::ErrorOf<MachineError>([&] { machine_ = Machine::Open(Folder()); }, "");
    if (c.error.empty()) {
      ASSERT_TRUE(error.empty()) << c.name << ": " << error;
      EXPECT_EQ(machine_->SnapshotRegistry(), *c.state) << c.name;
      EXPECT_EQ(ReadFileBytes(Log()).size(), c.state == &first ? first_end : log.size()) << c.name;
      machine_.reset();
    } else {
      EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
      EXPECT_EQ(ReadFileBytes(Log()), c.bytes) << c.name;
    }
  }
}

}  // namespace
}  // namespace qvi::emu
