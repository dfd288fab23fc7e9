// A `test` or a `matrix` split between CI jobs: the parts together run every
// test and every fault exactly once, and a part that cannot be read is bad
// input naming where it came from.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/cli_runner.h"

namespace qvi::cli {
namespace {

const std::string kExamples = std::string(QVI_EXAMPLES_DIR) + "/expectations";

// qvihost in this process with the sharding variables set as given (null:
// unset), whatever the environment of this test binary holds.
Outcome CliWithShards(const std::vector<std::string>& args, const char* total, const char* index) {
  std::ostringstream out;
  std::ostringstream err;
  std::istringstream in;
  const int code = RunCli(args, {out, err, in, false, total, index});
  return {code, out.str(), err.str()};
}

std::vector<std::string> Passed(const std::string& out) {
  std::vector<std::string> names;
  const std::regex pass("(?:^|\n)PASS (\\S+) ");
  for (std::sregex_iterator it(out.begin(), out.end(), pass), end; it != end; ++it) names.push_back((*it)[1]);
  return names;
}

std::vector<std::string> MatrixFaults(const std::string& out) {
  std::vector<std::string> faults;
  const nlohmann::json matrix = nlohmann::json::parse(out);
  for (const auto& row : matrix["rows"]) {
    for (const auto& fault : row["faults"]) faults.push_back(fault.dump());
  }
  return faults;
}

// Part 2 comes from the environment (index 1 of 3) and --shard wins over a
// contradicting environment for the others: the union is the whole run.
TEST(ShardTest, ThePartsOfATestAndOfAMatrixRunEachOneExactlyOnce) {
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> (*items)(const std::string&);
    bool in_order;  // the output keeps the order the parts are taken of
  } commands[] = {
      {{"test", kExamples}, Passed, true},
      {{"matrix", "install-nt", "--function", "RegCreateKeyA", "--json"}, MatrixFaults, false},
  };
  for (const auto& command : commands) {
    const Outcome whole = CliWithShards(command.args, nullptr, nullptr);
    ASSERT_EQ(whole.code, kExitOk) << whole.err;
    std::vector<std::string> expected = command.items(whole.out);
    ASSERT_GE(expected.size(), 4u) << whole.out;
    std::vector<std::string> together;
    std::size_t index = 0;
    for (const char* part : {"1/3", "", "3/3"}) {
      std::vector<std::string> args = command.args;
      if (*part != '\0') args.insert(args.end(), {"--shard", part});
      const Outcome o = CliWithShards(args, "3", *part != '\0' ? "2" : "1");
      ASSERT_EQ(o.code, kExitOk) << part << o.err;
      const std::vector<std::string> items = command.items(o.out);
      EXPECT_LT(items.size(), expected.size()) << part;
      if (command.in_order) {
        std::vector<std::string> mine;
        for (std::size_t i = index; i < expected.size(); i += 3) mine.push_back(expected[i]);
        EXPECT_EQ(items, mine) << "part " << index + 1;
      }
      ++index;
      together.insert(together.end(), items.begin(), items.end());
    }
    std::sort(expected.begin(), expected.end());
    std::sort(together.begin(), together.end());
    EXPECT_EQ(together, expected) << command.args[0];
  }
}

TEST(ShardTest, APartThatCannotBeReadIsBadInputNamingItsSource) {
  const struct {
    const char* shard;  // --shard, or null to take the variables
    const char* total;
    const char* index;
    const char* named;
  } cases[] = {
      {"0/3", nullptr, nullptr, "--shard: \"0/3\""},
      {"4/3", nullptr, nullptr, "--shard: \"4/3\""},
      {"1/0", nullptr, nullptr, "--shard"},
      {"1", nullptr, nullptr, "--shard"},
      {"a/b", nullptr, nullptr, "--shard"},
      {"1/3x", nullptr, nullptr, "--shard"},
      {"-1/3", nullptr, nullptr, "--shard"},
      {" 1/3", nullptr, nullptr, "--shard"},
      {nullptr, "3", "3", "TEST_SHARD_INDEX: \"3\""},
      {nullptr, "0", "0", "TEST_TOTAL_SHARDS: \"0\""},
      {nullptr, "x", "0", "TEST_TOTAL_SHARDS"},
      {nullptr, "3", nullptr, "TEST_TOTAL_SHARDS is set without"},
      {nullptr, nullptr, "0", "TEST_SHARD_INDEX is set without"},
  };
  for (const auto& c : cases) {
    for (const char* command : {"test", "matrix"}) {
      std::vector<std::string> args{command, command == std::string("test") ? kExamples : "install-nt"};
      if (c.shard != nullptr) args.insert(args.end(), {"--shard", c.shard});
      const Outcome o = CliWithShards(args, c.total, c.index);
      EXPECT_EQ(o.code, kExitBadInput) << command << " " << c.named;
      EXPECT_NE(o.err.find(c.named), std::string::npos) << o.err;
      EXPECT_EQ(o.out, "") << command << " " << c.named;
    }
  }
}

}  // namespace
}  // namespace qvi::cli
