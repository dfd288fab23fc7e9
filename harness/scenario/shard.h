// One of N parts of a list of runs, so that N processes (CI jobs) share a
// `test` or a `matrix` between them: part K holds the runs whose index i in
// the list has i % N == K - 1, so the parts together hold every run once.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qvi::scenario {

struct Shard {
  std::size_t index = 0;  // 0-based
  std::size_t count = 1;
  bool Holds(std::size_t i) const { return i % count == index; }
};

// "K/N" with 1 <= K <= N, as a person numbers the parts. Throws ScenarioError
// naming `option` for any other text.
Shard ParseShard(std::string_view text, const std::string& option);

// The part a test runner gives through its environment: the count and the
// 0-based index, as GoogleTest reads TEST_TOTAL_SHARDS and TEST_SHARD_INDEX.
// None when neither is set; throws ScenarioError naming the variable when
// one is set without the other or either is not a whole number in range.
std::optional<Shard> ShardFromEnvironment(const char* total, const char* index);

}  // namespace qvi::scenario
