#include "scenario/shard.h"

#include <charconv>

#include "scenario/scenario.h"

namespace qvi::scenario {

namespace {

// A whole number of decimal digits only: no sign, no spaces, no suffix.
std::optional<std::size_t> WholeNumber(std::string_view text) {
  std::size_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

Shard ParseShard(std::string_view text, const std::string& option) {
  const auto slash = text.find('/');
  const auto part = WholeNumber(text.substr(0, slash));
  const auto parts = slash == std::string_view::npos ? std::nullopt : WholeNumber(text.substr(slash + 1));
  if (!part || !parts || *part < 1 || *part > *parts) {
    throw ScenarioError(option + ": \"" + std::string(text) + "\" is not a part K/N with 1 <= K <= N (e.g. 2/3)");
  }
  return {*part - 1, *parts};
}

std::optional<Shard> ShardFromEnvironment(const char* total, const char* index) {
  if (total == nullptr && index == nullptr) return std::nullopt;
  if (total == nullptr) throw ScenarioError("TEST_SHARD_INDEX is set without TEST_TOTAL_SHARDS");
  if (index == nullptr) throw ScenarioError("TEST_TOTAL_SHARDS is set without TEST_SHARD_INDEX");
  const auto count = WholeNumber(total);
  if (!count || *count < 1)
    throw ScenarioError(std::string("TEST_TOTAL_SHARDS: \"") + total + "\" is not a count of 1 or more");
  const auto at = WholeNumber(index);
  if (!at || *at >= *count) {
    throw ScenarioError(std::string("TEST_SHARD_INDEX: \"") + index + "\" is not an index from 0 to " +
                        std::to_string(*count - 1));
  }
  return Shard{*at, *count};
}

}  // namespace qvi::scenario
