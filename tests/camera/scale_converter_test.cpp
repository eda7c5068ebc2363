#include "camera/scale_converter.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace kalmora {
namespace {

TEST(ScaleConverter, NewConverterGivesZero) {
  const CScaleConverter converter;
  for (std::uint32_t value : {0u, 1u, 8u, 16u, UINT32_MAX}) {
    EXPECT_EQ(converter.Convert(value), 0u) << value;
  }
}

TEST(ScaleConverter, HostSpeedOntoOneToHundred) {
  CScaleConverter converter;
  converter.SetTargetRange(100);
  EXPECT_EQ(converter.Convert(1), 1u);
  EXPECT_EQ(converter.Convert(8), 47u);
  EXPECT_EQ(converter.Convert(16), 100u);
  EXPECT_EQ(converter.Convert(0), 1u);
  EXPECT_EQ(converter.Convert(20), 100u);
  // 1 + round((v - 1) * 99 / 15) with halves rounded up, in integers.
  for (std::uint32_t v = 1; v <= 16; ++v) {
    EXPECT_EQ(converter.Convert(v), 1 + ((v - 1) * 2 * 99 + 15) / 30) << v;
  }
}

TEST(ScaleConverter, TargetZeroBecomesZeroToOne) {
  CScaleConverter converter;
  converter.SetTargetRange(0);
  EXPECT_EQ(converter.Convert(1), 0u);
  EXPECT_EQ(converter.Convert(8), 0u);  // 7 / 15 + 0.5 < 1
  EXPECT_EQ(converter.Convert(9), 1u);  // 8 / 15 + 0.5 > 1
  EXPECT_EQ(converter.Convert(16), 1u);
}

TEST(ScaleConverter, TargetOneGivesOneForEveryValue) {
  CScaleConverter converter;
  converter.SetTargetRange(1);
  for (std::uint32_t value : {0u, 1u, 8u, 16u, UINT32_MAX}) {
    EXPECT_EQ(converter.Convert(value), 1u) << value;
  }
}

TEST(ScaleConverter, LargestTargetDoesNotWrap) {
  CScaleConverter converter;
  converter.SetTargetRange(UINT32_MAX);
  EXPECT_EQ(converter.Convert(1), 1u);
  EXPECT_EQ(converter.Convert(16), UINT32_MAX);
}

}  // namespace
}  // namespace kalmora
