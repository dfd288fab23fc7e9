#include <gtest/gtest.h>

#include <algorithm>

#include "scenario/run.h"
#include "testing/temp_folder.h"

namespace qvi::scenario {
namespace {

bool ByHash(const std::optional<std::string>& shown) {
  return shown && shown->find("beyond the snapshot cap, compared by hash") != std::string::npos;
}

// Beyond the cap a file is streamed through a hash: a change still shows,
// said so, and an unchanged file does not.
TEST(SnapshotCapTest, FilesBeyondTheCapAreComparedBySizeAndHash) {
  testing::TempFolder folder;
  RunOptions options{folder.path() / "m", {}, {}};
  Scenario install = LoadScenario("install-nt");
  install.files.push_back({"C:\\big.bin", std::string(200000, 'x')});
  RunScenario(install, options);
  options.snapshot_cap = 0;
  const RunResult upgrade = RunScenario(LoadScenario("upgrade"), options);
  const auto log = std::find_if(upgrade.files.begin(), upgrade.files.end(),
                                [](const FileChange& f) { return f.path == "C:\\ods.txt"; });
  ASSERT_NE(log, upgrade.files.end());
  EXPECT_TRUE(ByHash(log->before) && ByHash(log->after));
  EXPECT_NE(log->before, log->after);
  EXPECT_TRUE(std::none_of(upgrade.files.begin(), upgrade.files.end(),
                           [](const FileChange& f) { return f.path == "C:\\big.bin"; }));
}

// One snapshot may hold a file that the other had to hash.
TEST(SnapshotCapTest, AHeldFileAndAHashedOneCompareByHash) {
  const std::string hashed = "(3 bytes, not shown; beyond the snapshot cap, compared by hash e71fa2190541574b)";
  EXPECT_TRUE(DiffFiles({{"C:\\f", "abc"}}, {{"C:\\f", hashed}}).empty());
  const auto changed = DiffFiles({{"C:\\f", hashed}}, {{"C:\\f", "abd"}});
  ASSERT_EQ(changed.size(), 1u);
  EXPECT_EQ(changed[0].before, hashed);
  EXPECT_TRUE(ByHash(changed[0].after));
  EXPECT_NE(changed[0].after, hashed);
}

}  // namespace
}  // namespace qvi::scenario
