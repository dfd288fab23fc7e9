#include "runtime/text.h"

#include <gtest/gtest.h>

#include "runtime/errors.h"
#include "testing/error_of.h"

namespace qvi::text {
namespace {

TEST(TextTest, PositionsAreOneBased) {
  EXPECT_EQ(InStr(1, "C:\\X", ":\\"), 2);
  EXPECT_EQ(InStr(3, "\\\\SRV\\X", "\\"), 6);
  EXPECT_EQ(InStr(1, "abc", "z"), 0);
  EXPECT_EQ(InStr(1, "aBc", "b", true), 2);
  EXPECT_EQ(InStr(1, "x\xC9", "\xE9", true), 2);
  EXPECT_EQ(InStr(1, "aBc", "b", false), 0);
  EXPECT_EQ(InStr(9, "abc", "a"), 0);
  EXPECT_EQ(InStr(2, "abc", ""), 2);
  EXPECT_EQ(InStrRev("a\\b\\c", "\\"), 4);
  EXPECT_EQ(InStrRev("abc", "\\"), 0);
  EXPECT_THROW(InStr(0, "abc", "a"), Error);
}

TEST(TextTest, ImpossibleLengthsRaiseInvalidArgument) {
  EXPECT_EQ(Mid("\\\\SRV1\\", 3, 4), "SRV1");
  EXPECT_EQ(Mid("abc", 2), "bc");
  EXPECT_EQ(Mid("abc", 5, 1), "");
  EXPECT_EQ(Left("abc", 9), "abc");
  EXPECT_EQ(Right("abc", 2), "bc");
  for (auto bad : {+[] { return Mid("abc", 3, -3); }, +[] { return Mid("abc", 0, 1); },
                   +[] { return Left("abc", -1); }, +[] { return Right("abc", -1); }}) {
    EXPECT_EQ(testing::ErrorNumberOf(bad), errors::kInvalidArgument);
  }
}

TEST(TextTest, TrimAndStr) {
  EXPECT_EQ(Trim("  a b  "), "a b");
  EXPECT_EQ(Trim("\tx\t"), "\tx\t");  // only blanks are trimmed
  EXPECT_EQ(Str(1), " 1");
  EXPECT_EQ(Str(0), " 0");
  EXPECT_EQ(Str(-1), "-1");
  EXPECT_EQ(UpToNul(std::string_view("ab\0cd", 5)), "ab");
}

}  // namespace
}  // namespace qvi::text
