// The seed's digest is what tells a registry file changed between two reads:
// it must not depend on how the reads cut the file, and must move with any
// change a file can undergo.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>

#include "emu/digest.h"

namespace qvi::emu {
namespace {

std::uint64_t DigestOf(std::string_view bytes, std::size_t cut = 0, std::size_t cut2 = 0) {
  WordDigest digest;
  digest.Add(bytes.substr(0, cut));
  digest.Add(bytes.substr(cut, cut2 - cut));
  digest.Add(bytes.substr(cut2));
  return digest.Value();
}

std::string Text() {
  std::string text;
  for (int i = 0; i < 101; ++i) text += static_cast<char>('A' + i % 26);
  return text;
}

TEST(WordDigestTest, IsOfTheBytesHoweverTheyAreCut) {
  const std::string text = Text();
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    for (std::size_t cut2 = cut; cut2 <= text.size(); cut2 += 7) {
      ASSERT_EQ(DigestOf(text, cut, cut2), DigestOf(text)) << cut << ", " << cut2;
    }
  }
}

TEST(WordDigestTest, MovesWithEveryKindOfChange) {
  const std::vector<std::pair<const char*, std::function<void(std::string&)>>> changes = {
      {"the first byte", [](std::string& s) { s[0] ^= 1; }},
      {"a byte of the last, short step", [](std::string& s) { s[100] ^= 1; }},
      {"the top bit of two words", [](std::string& s) { s[7] ^= '\x80', s[15] ^= '\x80'; }},
      {"two words of a step swapped", [](std::string& s) { std::swap_ranges(&s[0], &s[8], &s[8]); }},
      {"two steps swapped", [](std::string& s) { std::swap_ranges(&s[0], &s[32], &s[32]); }},
      {"a zero byte more", [](std::string& s) { s += '\0'; }},
      {"the last byte gone", [](std::string& s) { s.pop_back(); }},
  };
  const std::string text = Text();
  for (const auto& [name, change] : changes) {
    std::string changed = text;
    change(changed);
    EXPECT_NE(DigestOf(changed), DigestOf(text)) << name;
  }
}

}  // namespace
}  // namespace qvi::emu
