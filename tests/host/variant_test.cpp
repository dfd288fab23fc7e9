#include "host/variant.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "runtime/errors.h"
#include "testing/error_of.h"

namespace qvi::host {
namespace {

TEST(VariantTest, ToInt32ConvertsOrRaises) {
  const struct {
    Variant input;
    std::optional<std::int32_t> expected;  // nullopt: raises
    std::int32_t error = 0;
  } cases[] = {
      {Variant(), 0}, {Variant(std::int16_t{-7}), -7}, {Variant(std::int32_t{2147483647}), 2147483647},
      {Variant("42"), 42}, {Variant(" -42 "), -42}, {Variant("+5"), 5}, {Variant("2.5"), 2}, {Variant("3.5"), 4},
      {Variant("-2147483648"), std::numeric_limits<std::int32_t>::min()},
      {Variant("2147483648"), std::nullopt, errors::kOverflow}, {Variant("abc"), std::nullopt, errors::kTypeMismatch},
      {Variant(""), std::nullopt, errors::kTypeMismatch}, {Variant("12x"), std::nullopt, errors::kTypeMismatch},
      {Variant("-"), std::nullopt, errors::kTypeMismatch},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("\"" + c.input.ToString() + "\"");
    if (c.expected) {
      EXPECT_EQ(c.input.ToInt32(), *c.expected);
    } else {
      EXPECT_EQ(qvi::testing::ErrorNumberOf([&] { c.input.ToInt32(); }), c.error);
    }
  }
}

TEST(VariantTest, ToInt16RaisesOverflowOutsideSixteenBits) {
  EXPECT_EQ(Variant(std::int32_t{32767}).ToInt16(), 32767);
  EXPECT_EQ(Variant(std::int32_t{-32768}).ToInt16(), -32768);
  EXPECT_EQ(Variant().ToInt16(), 0);
  for (const Variant& v : {Variant(std::int32_t{32768}), Variant(std::int32_t{-32769}), Variant("40000")}) {
    EXPECT_EQ(qvi::testing::ErrorNumberOf([&] { v.ToInt16(); }), errors::kOverflow) << v.ToString();
  }
}

TEST(VariantTest, ToStringGivesDecimalTextAndEmptyForEmpty) {
  EXPECT_EQ(Variant().ToString(), "");
  EXPECT_EQ(Variant(std::int32_t{-12}).ToString(), "-12");
  EXPECT_EQ(Variant(std::int16_t{7}).ToString(), "7");
  EXPECT_EQ(Variant("C:\\WINNT").ToString(), "C:\\WINNT");
}

}  // namespace
}  // namespace qvi::host
