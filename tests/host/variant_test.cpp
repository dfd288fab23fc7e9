#include "host/variant.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "runtime/errors.h"

namespace qvi::host {
namespace {

struct Int32Case {
  Variant input;
  std::optional<std::int32_t> expected;  // nullopt: raises
  std::int32_t error = 0;
};

class ToInt32Test : public ::testing::TestWithParam<Int32Case> {};

TEST_P(ToInt32Test, ConvertsOrRaises) {
  const Int32Case& c = GetParam();
  if (c.expected) {
    EXPECT_EQ(c.input.ToInt32(), *c.expected) << "\"" << c.input.ToString() << "\"";
  } else {
    try {
      c.input.ToInt32();
      FAIL() << "expected error " << c.error << " for " << "\"" << c.input.ToString() << "\"";
    } catch (const Error& e) {
      EXPECT_EQ(e.number(), c.error) << "\"" << c.input.ToString() << "\"";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Conversions, ToInt32Test,
    ::testing::Values(Int32Case{Variant(), 0}, Int32Case{Variant(std::int16_t{-7}), -7},
                      Int32Case{Variant(std::int32_t{2147483647}), 2147483647}, Int32Case{Variant("42"), 42},
                      Int32Case{Variant(" -42 "), -42}, Int32Case{Variant("+5"), 5},
                      Int32Case{Variant("2.5"), 2}, Int32Case{Variant("3.5"), 4},
                      Int32Case{Variant("-2147483648"), std::numeric_limits<std::int32_t>::min()},
                      Int32Case{Variant("2147483648"), std::nullopt, errors::kOverflow},
                      Int32Case{Variant("abc"), std::nullopt, errors::kTypeMismatch},
                      Int32Case{Variant(""), std::nullopt, errors::kTypeMismatch},
                      Int32Case{Variant("12x"), std::nullopt, errors::kTypeMismatch},
                      Int32Case{Variant("-"), std::nullopt, errors::kTypeMismatch}));

TEST(VariantTest, ToInt16RaisesOverflowOutsideSixteenBits) {
  EXPECT_EQ(Variant(std::int32_t{32767}).ToInt16(), 32767);
  EXPECT_EQ(Variant(std::int32_t{-32768}).ToInt16(), -32768);
  EXPECT_EQ(Variant().ToInt16(), 0);
  for (const Variant& v : {Variant(std::int32_t{32768}), Variant(std::int32_t{-32769}), Variant("40000")}) {
    try {
      v.ToInt16();
      FAIL() << v.ToString();
    } catch (const Error& e) {
      EXPECT_EQ(e.number(), errors::kOverflow);
    }
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
