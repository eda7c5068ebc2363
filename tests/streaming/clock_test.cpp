#include "platform/clock.h"

#include <gtest/gtest.h>

#include <ctime>

namespace kalmora {
namespace {

using ipcapture::SystemTime;

void ExpectCalendar(std::uint64_t time, int year, int month, int day, int day_of_week, int hour,
                    int minute, int second, int ms) {
  SystemTime t;
  ASSERT_TRUE(ToCalendar(time, t));
  EXPECT_EQ(t.year, year);
  EXPECT_EQ(t.month, month);
  EXPECT_EQ(t.day, day);
  EXPECT_EQ(t.day_of_week, day_of_week);  // 0 = Sunday
  EXPECT_EQ(t.hour, hour);
  EXPECT_EQ(t.minute, minute);
  EXPECT_EQ(t.second, second);
  EXPECT_EQ(t.milliseconds, ms);
}

TEST(ClockTest, KnownDates) {
  ExpectCalendar(0, 1601, 1, 1, 1, 0, 0, 0, 0);
  ExpectCalendar(116444736000000000, 1970, 1, 1, 4, 0, 0, 0, 0);
  ExpectCalendar(133536836967890000, 2024, 2, 29, 4, 12, 34, 56, 789);
  ExpectCalendar(125963423999999999, 2000, 2, 29, 2, 23, 59, 59, 999);  // leap century
  ExpectCalendar(94405824000000000, 1900, 3, 1, 4, 0, 0, 0, 0);         // 1900 had no Feb 29
}

TEST(ClockTest, CalendarEndsWhereTheSignedScaleEnds) {
  ExpectCalendar(0x7FFFFFFFFFFFFFFF, 30828, 9, 14, 4, 2, 48, 5, 477);
  SystemTime t;
  t.year = 7;
  EXPECT_FALSE(ToCalendar(0x8000000000000000, t));
  EXPECT_FALSE(ToCalendar(~std::uint64_t{0}, t));
  EXPECT_EQ(t.year, 7);
}

TEST(ClockTest, NowIsTheSystemTimeOnThe1601Scale) {
  const auto unix_seconds = static_cast<std::int64_t>(std::time(nullptr));
  const auto now_seconds = static_cast<std::int64_t>(Now() / 10'000'000) - 11'644'473'600;
  EXPECT_NEAR(static_cast<double>(now_seconds), static_cast<double>(unix_seconds), 5.0);
}

TEST(ClockTest, ElapsedMs) {
  EXPECT_EQ(ElapsedMs(5'000'000, 5'000'000), 0u);
  EXPECT_EQ(ElapsedMs(5'000'000, 4'999'999), 0u);
  EXPECT_EQ(ElapsedMs(5'000'000, 5'019'999), 1u);  // truncated
  EXPECT_EQ(ElapsedMs(0, 10'000ULL * 0xFFFFFFFFULL + 9'999), 0xFFFFFFFFu);
  EXPECT_EQ(ElapsedMs(0, 10'000ULL * 0x100000000ULL), 0xFFFFFFFFu);  // saturates, no wrap to 0
}

TEST(ClockTest, ElapsedMsSinceAFutureTimeIsZero) {
  EXPECT_EQ(ElapsedMs(Now() + 3'600 * 10'000'000ULL), 0u);
}

}  // namespace
}  // namespace kalmora
