#include "driver/custom_parameters.h"

#include <gtest/gtest.h>

namespace kalmora {
namespace {

TEST(DecimalIntegerRule, AcceptsDigitsWithOneOptionalSign) {
  EXPECT_EQ(ParseDecimalInteger("5000"), 5000);
  EXPECT_EQ(ParseDecimalInteger("+0"), 0);
  EXPECT_EQ(ParseDecimalInteger("-0"), 0);
  EXPECT_EQ(ParseDecimalInteger("-5"), -5);
  EXPECT_EQ(ParseDecimalInteger("+17"), 17);
  EXPECT_EQ(ParseDecimalInteger("0012"), 12);
}

TEST(DecimalIntegerRule, RejectsEmptyLoneSignAndOtherCharacters) {
  EXPECT_FALSE(ParseDecimalInteger(""));
  EXPECT_FALSE(ParseDecimalInteger("+"));
  EXPECT_FALSE(ParseDecimalInteger("-"));
  EXPECT_FALSE(ParseDecimalInteger("abc"));
  EXPECT_FALSE(ParseDecimalInteger("12a"));
  EXPECT_FALSE(ParseDecimalInteger(" 12"));
  EXPECT_FALSE(ParseDecimalInteger("12 "));
  EXPECT_FALSE(ParseDecimalInteger("+-1"));
  EXPECT_FALSE(ParseDecimalInteger("--1"));
  EXPECT_FALSE(ParseDecimalInteger("0x10"));
  EXPECT_FALSE(ParseDecimalInteger("1.5"));
  EXPECT_FALSE(ParseDecimalInteger(static_cast<const char*>(nullptr)));
}

TEST(DecimalIntegerRule, StaysWithinSigned32Bits) {
  EXPECT_EQ(ParseDecimalInteger("2147483647"), INT32_MAX);
  EXPECT_EQ(ParseDecimalInteger("-2147483648"), INT32_MIN);
  EXPECT_FALSE(ParseDecimalInteger("2147483648"));
  EXPECT_FALSE(ParseDecimalInteger("-2147483649"));
  EXPECT_FALSE(ParseDecimalInteger("99999999999999999999999999"));
}

TEST(CustomParameters, TextIsNullAndIntegerIsSentinelWhenAbsentOrNotANumber) {
  CCustomParameters params;
  params.Set(1, "5000");
  params.Set(3, "ZD-220");
  EXPECT_STREQ(params.Text(1), "5000");
  EXPECT_EQ(params.Integer(1), 5000);
  EXPECT_EQ(params.Text(2), nullptr);
  EXPECT_EQ(params.Integer(2), kNoCustomInteger);
  EXPECT_EQ(params.Integer(3), kNoCustomInteger);
  EXPECT_EQ(kNoCustomInteger, static_cast<std::int32_t>(0x80000000u));
}

}  // namespace
}  // namespace kalmora
