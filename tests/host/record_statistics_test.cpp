#include "record_statistics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace tessavirn_host {
namespace {

using kalmora::ipcapture::SystemTime;

SystemTime Utc(int year, int month, int day, int hour, int minute, int second, int ms) {
  SystemTime t;
  t.year = static_cast<std::uint16_t>(year);
  t.month = static_cast<std::uint16_t>(month);
  t.day = static_cast<std::uint16_t>(day);
  t.hour = static_cast<std::uint16_t>(hour);
  t.minute = static_cast<std::uint16_t>(minute);
  t.second = static_cast<std::uint16_t>(second);
  t.milliseconds = static_cast<std::uint16_t>(ms);
  return t;
}

// Time stamps from start, one every spacing ms, leaving out the indices in missing.
std::vector<std::int64_t> Stamps(std::int64_t start, int spacing, int count, std::vector<int> missing = {}) {
  std::vector<std::int64_t> stamps;
  for (int i = 0; i < count; ++i) {
    if (std::find(missing.begin(), missing.end(), i) == missing.end()) stamps.push_back(start + i * spacing);
  }
  return stamps;
}

TEST(SystemTimeToEpochMs, KnownInstants) {
  EXPECT_EQ(SystemTimeToEpochMs(Utc(1970, 1, 1, 0, 0, 0, 0)), 0);
  EXPECT_EQ(SystemTimeToEpochMs(Utc(2024, 3, 1, 0, 0, 0, 0)), 1709251200000);
  EXPECT_EQ(SystemTimeToEpochMs(Utc(2024, 3, 1, 0, 0, 0, 999)), 1709251200999);
}

TEST(SystemTimeToEpochMs, FrameSpacingCarriesAcrossMidnightAndMonthEnds) {
  const struct {
    SystemTime before;
    SystemTime after;
  } kCases[] = {
      {Utc(2026, 12, 7, 23, 59, 59, 980), Utc(2026, 12, 8, 0, 0, 0, 20)},    // midnight
      {Utc(2026, 1, 31, 23, 59, 59, 980), Utc(2026, 2, 1, 0, 0, 0, 20)},     // 31-day month
      {Utc(2024, 2, 29, 23, 59, 59, 980), Utc(2024, 3, 1, 0, 0, 0, 20)},     // leap February
      {Utc(2023, 2, 28, 23, 59, 59, 980), Utc(2023, 3, 1, 0, 0, 0, 20)},     // common February
      {Utc(2025, 12, 31, 23, 59, 59, 980), Utc(2026, 1, 1, 0, 0, 0, 20)},    // year end
  };
  for (const auto& c : kCases) {
    const auto before = SystemTimeToEpochMs(c.before);
    const auto after = SystemTimeToEpochMs(c.after);
    ASSERT_TRUE(before && after);
    EXPECT_EQ(*after - *before, 40) << c.after.year << "-" << c.after.month << "-" << c.after.day;
  }
  EXPECT_EQ(SystemTimeToEpochMs(Utc(2023, 12, 31, 23, 59, 59, 0)), 1704067199000);
}

TEST(SystemTimeToEpochMs, UnsetOrImpossibleTimesHaveNone) {
  EXPECT_FALSE(SystemTimeToEpochMs(SystemTime{}));
  EXPECT_FALSE(SystemTimeToEpochMs(Utc(2024, 13, 1, 0, 0, 0, 0)));
  EXPECT_FALSE(SystemTimeToEpochMs(Utc(2024, 4, 31, 0, 0, 0, 0)));
  EXPECT_FALSE(SystemTimeToEpochMs(Utc(2023, 2, 29, 0, 0, 0, 0)));
  EXPECT_TRUE(SystemTimeToEpochMs(Utc(2024, 2, 29, 0, 0, 0, 0)));
  EXPECT_FALSE(SystemTimeToEpochMs(Utc(2024, 1, 1, 24, 0, 0, 0)));
  EXPECT_FALSE(SystemTimeToEpochMs(Utc(2024, 1, 1, 0, 0, 0, 1000)));
}

TEST(AnalyzeSpacing, EvenStreamHasNoDrops) {
  const auto stamps = Stamps(1'700'000'000'000, 40, 250);
  const auto s = AnalyzeSpacing(stamps);
  EXPECT_EQ(s.intervals, 249u);
  EXPECT_EQ(s.min_ms, 40);
  EXPECT_EQ(s.median_ms, 40);
  EXPECT_EQ(s.max_ms, 40);
  EXPECT_EQ(s.estimated_dropped, 0u);
}

TEST(AnalyzeSpacing, MissingFramesAreCountedByGapLength) {
  auto s = AnalyzeSpacing(Stamps(0, 40, 100, {50}));
  EXPECT_EQ(s.estimated_dropped, 1u);
  EXPECT_EQ(s.max_ms, 80);
  EXPECT_EQ(s.median_ms, 40);
  EXPECT_EQ(s.intervals, 98u);

  s = AnalyzeSpacing(Stamps(0, 40, 100, {10, 11, 12, 60}));
  EXPECT_EQ(s.estimated_dropped, 4u);
  EXPECT_EQ(s.max_ms, 160);
}

TEST(AnalyzeSpacing, JitterIsNotADrop) {
  // 33 and 47 ms around a 40 ms median; a 60 ms gap is exactly 1.5 times and not counted, 61 is
  // and rounds to one frame.
  std::vector<std::int64_t> stamps = {0, 33, 80, 113, 160, 200, 240, 280};
  auto s = AnalyzeSpacing(stamps);
  EXPECT_EQ(s.min_ms, 33);
  EXPECT_EQ(s.max_ms, 47);
  EXPECT_EQ(s.estimated_dropped, 0u);
  stamps.push_back(340);
  EXPECT_EQ(AnalyzeSpacing(stamps).estimated_dropped, 0u);
  stamps.back() = 341;
  EXPECT_EQ(AnalyzeSpacing(stamps).estimated_dropped, 1u);
}

TEST(AnalyzeSpacing, MedianOfAnEvenCountIsTheMeanOfTheMiddleTwo) {
  const std::vector<std::int64_t> stamps = {0, 30, 70, 110, 160};  // 30 40 40 50
  const auto s = AnalyzeSpacing(stamps);
  EXPECT_EQ(s.median_ms, 40);
  const std::vector<std::int64_t> uneven = {0, 30, 70};  // 30 40
  EXPECT_EQ(AnalyzeSpacing(uneven).median_ms, 35);
}

TEST(AnalyzeSpacing, StampsGoingBackwardsShowInTheMinimum) {
  const std::vector<std::int64_t> stamps = {0, 40, 80, 60, 100, 140};
  const auto s = AnalyzeSpacing(stamps);
  EXPECT_EQ(s.min_ms, -20);
  EXPECT_EQ(s.max_ms, 40);
  EXPECT_EQ(s.estimated_dropped, 0u);
}

TEST(AnalyzeSpacing, TooFewOrEqualStampsGiveNoEstimate) {
  EXPECT_EQ(AnalyzeSpacing({}).intervals, 0u);
  const std::vector<std::int64_t> one = {5};
  EXPECT_EQ(AnalyzeSpacing(one).intervals, 0u);
  // All equal: the median is 0, and a later jump cannot be measured in frames.
  const std::vector<std::int64_t> equal = {7, 7, 7, 7, 500};
  const auto s = AnalyzeSpacing(equal);
  EXPECT_EQ(s.intervals, 4u);
  EXPECT_EQ(s.median_ms, 0);
  EXPECT_EQ(s.estimated_dropped, 0u);
}

TEST(RatesBetween, FramesAndKilobitsPerSecond) {
  RecordCounters before;
  before.frames = 100;
  before.bytes = 1'000'000;
  RecordCounters after = before;
  after.frames = 125;
  after.bytes = 1'125'000;
  auto r = RatesBetween(before, after, 1.0);
  EXPECT_DOUBLE_EQ(r.frames_per_second, 25);
  EXPECT_DOUBLE_EQ(r.kilobits_per_second, 1000);
  r = RatesBetween(before, after, 0.5);
  EXPECT_DOUBLE_EQ(r.frames_per_second, 50);
  EXPECT_DOUBLE_EQ(r.kilobits_per_second, 2000);
  r = RatesBetween(before, after, 0);
  EXPECT_EQ(r.frames_per_second, 0);
}

}  // namespace
}  // namespace tessavirn_host
