#include "camera/value_functions.h"

#include <gtest/gtest.h>

#include <string>

namespace kalmora {
namespace {

TEST(ParseInt, OptionalSignAndDigits) {
  int value = 0;
  ASSERT_TRUE(ParseInt("-5", value));
  EXPECT_EQ(value, -5);
  ASSERT_TRUE(ParseInt("+17", value));
  EXPECT_EQ(value, 17);
  ASSERT_TRUE(ParseInt("0012", value));
  EXPECT_EQ(value, 12);
  ASSERT_TRUE(ParseInt("-2147483648", value));
  EXPECT_EQ(value, -2147483647 - 1);
}

TEST(ParseInt, RejectsAndClearsValue) {
  for (const char* text : {"", "+", "-", "5 ", " 5", "12a", "1.0", "+-1", "2147483648"}) {
    int value = 9;
    EXPECT_FALSE(ParseInt(text, value)) << '"' << text << '"';
    EXPECT_EQ(value, 0) << '"' << text << '"';
  }
}

TEST(ParseRate, RoundsHalfUp) {
  int value = 0;
  ASSERT_TRUE(ParseRate("7.5", value));
  EXPECT_EQ(value, 8);
  ASSERT_TRUE(ParseRate("6.5", value));
  EXPECT_EQ(value, 7);
  ASSERT_TRUE(ParseRate("12.4", value));
  EXPECT_EQ(value, 12);
  // Adding 0.5 and truncating moves negative rates towards zero.
  ASSERT_TRUE(ParseRate("-2.7", value));
  EXPECT_EQ(value, -2);
  ASSERT_TRUE(ParseRate("29.97", value));
  EXPECT_EQ(value, 30);
  ASSERT_TRUE(ParseRate("25", value));
  EXPECT_EQ(value, 25);
  // "%f" skips leading white space.
  ASSERT_TRUE(ParseRate(" 15", value));
  EXPECT_EQ(value, 15);
}

TEST(ParseRate, RejectsTrailingCharactersAndNonNumbers) {
  for (const char* text : {"", " ", "12fps", "7.5 ", "7.5\r", "1,5", "fps"}) {
    int value = 9;
    EXPECT_FALSE(ParseRate(text, value)) << '"' << text << '"';
    EXPECT_EQ(value, 0) << '"' << text << '"';
  }
  int value = 0;
  EXPECT_FALSE(ParseRate(std::string("25\0x", 4), value));
}

TEST(ParseRate, RejectsNumbersWithoutIntegerValue) {
  int value = 0;
  EXPECT_FALSE(ParseRate("inf", value));
  EXPECT_FALSE(ParseRate("nan", value));
  EXPECT_FALSE(ParseRate("1e10", value));
  EXPECT_FALSE(ParseRate("1e40", value));
}

TEST(Trim, SpacesAndTabsOnly) {
  EXPECT_EQ(Trim(" \tNetwork Dome \t"), "Network Dome");
  EXPECT_EQ(Trim("D-220\r"), "D-220\r");
  EXPECT_EQ(Trim(" \t "), "");
}

TEST(ToLower, AsciiLettersOnly) {
  EXPECT_EQ(ToLower("General.Brand.ProdNbr=HSD620"), "general.brand.prodnbr=hsd620");
  EXPECT_EQ(ToLower("\xC4X"), "\xC4x");
}

TEST(FormatText, ExactLength) {
  EXPECT_EQ(FormatText("Video-%u.Encoder-%u.MediaSubType=%s", 1u, 2u, "H264"),
            "Video-1.Encoder-2.MediaSubType=H264");
  const std::string long_value(700, 'x');
  const std::string text = FormatText("Cc-1.Input-%u.DeviceName=%s", 12u, long_value.c_str());
  EXPECT_EQ(text, "Cc-1.Input-12.DeviceName=" + long_value);
  EXPECT_EQ(FormatText("%s", ""), "");
}

TEST(FormatVersion, MajorMinorBuild) {
  EXPECT_EQ(FormatVersion({2, 4095, 4095}), "2.4095.4095");
  EXPECT_EQ(FormatVersion({65535, 0, 7}), "65535.0.7");
}

}  // namespace
}  // namespace kalmora
