#include "runtime/code_page.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace qvi::code_page {
namespace {

TEST(CodePageTest, LetterCaseHasTheCodePagesOwnPairs) {
  EXPECT_EQ(Lower("ABC xyz \xC9\xD7\xDE\x8A\x8C\x8E\x9F"), "abc xyz \xE9\xD7\xFE\x9A\x9C\x9E\xFF");
  EXPECT_EQ(Upper("abc \xE9\xF7\xFE\xFF\xDF"), "ABC \xC9\xF7\xDE\x9F\xDF");
  EXPECT_TRUE(EqualsNoCase("QviGui.Copy1", "qvigui.copy1"));
  EXPECT_TRUE(EqualsNoCase("\xC4pfel", "\xE4PFEL"));
  EXPECT_FALSE(EqualsNoCase("a", "ab"));
  EXPECT_TRUE(StartsWithNoCase("HKEY_local_MACHINE\\x", "hkey_LOCAL_machine"));
  EXPECT_FALSE(StartsWithNoCase("HKEY", "HKEY_"));
  EXPECT_LT(CompareNoCase("apple", "Banana"), 0);
  EXPECT_GT(CompareNoCase("b", "A"), 0);
  EXPECT_LT(CompareNoCase("ab", "AB\xC0"), 0);
}

TEST(CodePageTest, EveryByteHasOneCharacterAndBack) {
  // byte, its UTF-8 form
  const std::tuple<std::string, std::string> cases[] = {
      {"A", "A"},
      {"\x80", "\xE2\x82\xAC"},  // the euro sign
      {"\x81", "\xC2\x81"},      // undefined in the code page: kept as U+0081
      {"\x9F", "\xC5\xB8"},      // Y with diaeresis
      {"\xE9", "\xC3\xA9"},
      {"\xFF", "\xC3\xBF"},
  };
  for (const auto& [byte, utf8] : cases) {
    EXPECT_EQ(ToUtf8(byte), utf8) << static_cast<int>(static_cast<unsigned char>(byte[0]));
    std::string back;
    EXPECT_TRUE(FromUtf8(utf8, back));
    EXPECT_EQ(back, byte);
  }
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  std::string back;
  ASSERT_TRUE(FromUtf8(ToUtf8(all), back));
  EXPECT_EQ(back, all);
}

TEST(CodePageTest, TextTheCodePageCannotHoldIsRefused) {
  std::string out;
  for (const char* utf8 : {"\xE4\xB8\x80", "\xF0\x9F\x98\x80", "\xC3", "\xC3\x28", "\xE0\x80\x80", "\xFF"}) {
    EXPECT_FALSE(FromUtf8(utf8, out)) << utf8;
  }
  EXPECT_TRUE(FromUtf16Le(std::string("A\0\xAC\x20", 4), out));
  EXPECT_EQ(out, "A\x80");
  EXPECT_FALSE(FromUtf16Le(std::string("\x00\x4E", 2), out));  // a CJK character
  EXPECT_FALSE(FromUtf16Le(std::string("A\0B", 3), out));      // odd length
}

}  // namespace
}  // namespace qvi::code_page
