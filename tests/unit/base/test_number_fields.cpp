// The one reader of whole-field integers: signs only where allowed, the
// whole field or nothing, exact range checks at the edges of 64 bits.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "number_fields.h"

namespace dyadmill {
namespace {

TEST(WholeInteger, SignsAreAcceptedOnlyWhereTheFieldAllowsThem) {
  std::int64_t v = 0;
  EXPECT_TRUE(parseWholeInteger<std::int64_t>("+5", -9, 9, Sign::Either, v));
  EXPECT_EQ(v, 5);
  EXPECT_TRUE(parseWholeInteger<std::int64_t>("-5", -9, 9, Sign::Either, v));
  EXPECT_EQ(v, -5);
  EXPECT_FALSE(parseWholeInteger<std::int64_t>("+5", -9, 9, Sign::MinusOnly, v));
  EXPECT_TRUE(parseWholeInteger<std::int64_t>("-0", -9, 9, Sign::MinusOnly, v));
  EXPECT_EQ(v, 0);
  EXPECT_FALSE(parseWholeInteger<std::int64_t>("-5", -9, 9, Sign::None, v));
  EXPECT_FALSE(parseWholeInteger<std::int64_t>("+5", -9, 9, Sign::None, v));
  for (const char* bad : {"", "+", "-", "+-5", "-+5", "--5", "++5", " 5", "5 ", "5x", "0x5", "5.0"}) {
    EXPECT_FALSE(parseWholeInteger<std::int64_t>(bad, -9, 9, Sign::Either, v)) << bad;
  }
}

TEST(WholeInteger, RangesAreExactAndLongDigitStringsCannotOverflow) {
  std::int64_t v = 0;
  EXPECT_TRUE(parseWholeInteger<std::int64_t>("000000479", -32768, 32767, Sign::Either, v));
  EXPECT_EQ(v, 479);
  EXPECT_TRUE(parseWholeInteger<std::int64_t>("-32768", -32768, 32767, Sign::Either, v));
  EXPECT_FALSE(parseWholeInteger<std::int64_t>("-32769", -32768, 32767, Sign::Either, v));
  EXPECT_FALSE(parseWholeInteger<std::int64_t>("32768", -32768, 32767, Sign::Either, v));
  EXPECT_FALSE(parseWholeInteger<std::int64_t>("99999999999999999999999", -32768, 32767, Sign::Either, v));
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  EXPECT_TRUE(parseWholeInteger<std::int64_t>("-9223372036854775808", kMin, kMax, Sign::MinusOnly, v));
  EXPECT_EQ(v, kMin);
  EXPECT_FALSE(parseWholeInteger<std::int64_t>("9223372036854775808", kMin, kMax, Sign::MinusOnly, v));

  std::uint64_t u = 0;
  constexpr auto kUMax = std::numeric_limits<std::uint64_t>::max();
  EXPECT_TRUE(parseWholeInteger<std::uint64_t>("18446744073709551615", 0, kUMax, Sign::None, u));
  EXPECT_EQ(u, kUMax);
  EXPECT_FALSE(parseWholeInteger<std::uint64_t>("18446744073709551616", 0, kUMax, Sign::None, u));
  EXPECT_FALSE(parseWholeInteger<std::uint64_t>("-1", 0, kUMax, Sign::None, u));

  std::uint16_t s = 0;
  EXPECT_TRUE(parseWholeInteger<std::uint16_t>("65535", 0, 65535, Sign::None, s));
  EXPECT_EQ(s, 65535);
  EXPECT_FALSE(parseWholeInteger<std::uint16_t>("65536", 0, 65535, Sign::None, s));
  EXPECT_EQ(s, 65535);  // a refused field leaves the value as it was
}

TEST(WholeInteger, HexadecimalFieldsReadInTheirBase) {
  std::uint64_t u = 0;
  EXPECT_TRUE(parseWholeInteger<std::uint64_t>("00ff00ff00ff00ff", 0, std::numeric_limits<std::uint64_t>::max(),
                                               Sign::None, u, 16));
  EXPECT_EQ(u, 0x00ff00ff00ff00ffULL);
  EXPECT_FALSE(
      parseWholeInteger<std::uint64_t>("00fg", 0, std::numeric_limits<std::uint64_t>::max(), Sign::None, u, 16));
}

}  // namespace
}  // namespace dyadmill
