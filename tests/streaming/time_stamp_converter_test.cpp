#include "streaming/time_stamp_converter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace kalmora {
namespace {

constexpr std::uint64_t kStart = 133536836967890000;  // 2024-02-29 12:34:56.789 UTC
constexpr std::uint32_t kFrameTicks = 3600;           // 25 fps at 90 kHz
constexpr std::uint64_t kFrameUnits = 400'000;        // 40 ms
constexpr std::uint64_t kNominalFrameUnits = 399'600;  // 3600 x 111

std::string Text(const ipcapture::SystemTime& t) {
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u wd%u", t.year, t.month,
                t.day, t.hour, t.minute, t.second, t.milliseconds, t.day_of_week);
  return text;
}

std::string Text(std::uint64_t time) {
  ipcapture::SystemTime t;
  EXPECT_TRUE(ToCalendar(time, t));
  return Text(t);
}

class TimeStampConverterTest : public ::testing::Test {
 protected:
  void Anchor() { converter_.AddTimeStamp(rtp_); }
  // A frame `ticks` after the previous one, seen when the fake clock reads `now`.
  void FrameAt(std::uint32_t ticks, std::uint64_t now) {
    now_ = now;
    rtp_ += ticks;  // wraps like a real RTP clock
    converter_.AddTimeStamp(rtp_);
  }
  void Frame(std::uint32_t ticks, std::uint64_t wall) { FrameAt(ticks, now_ + wall); }
  void WarmUp(std::uint32_t ticks, std::uint64_t wall) {
    for (int i = 0; i < 100; ++i) Frame(ticks, wall);
  }
  std::string FrameTimeText() const {
    ipcapture::SystemTime t;
    converter_.GetFrameTime(t);
    return Text(t);
  }

  std::uint64_t now_ = kStart;
  std::uint32_t rtp_ = 1'000'000;
  CTimeStampConverter converter_{[this] { return now_; }};
};

TEST_F(TimeStampConverterTest, FirstFrameAnchorsAtCurrentTime) {
  EXPECT_EQ(FrameTimeText(), "2024-02-29 12:34:56.789 wd4");
  Anchor();
  EXPECT_EQ(converter_.OutputTime(), kStart);
  EXPECT_EQ(converter_.Lead(), 0u);
  EXPECT_EQ(converter_.LastRtpTimeStamp(), rtp_);
}

TEST_F(TimeStampConverterTest, RepeatedTimeStampIsOneMsLaterOrCurrentTime) {
  Anchor();
  Frame(0, 2'000);
  EXPECT_EQ(converter_.OutputTime(), kStart + 10'000);
  EXPECT_EQ(converter_.Lead(), 8'000u);  // measured at every repeat
  EXPECT_EQ(FrameTimeText(), "2024-02-29 12:34:56.790 wd4");
  Frame(0, 50'000);
  EXPECT_EQ(converter_.OutputTime(), now_);
}

TEST_F(TimeStampConverterTest, LastTimeStampZeroMeansNone) {
  rtp_ = 0;
  Anchor();
  Frame(kFrameTicks, 390'000);
  EXPECT_EQ(converter_.OutputTime(), now_);
  EXPECT_EQ(converter_.TickStatistics().Count(), 0u);
}

TEST_F(TimeStampConverterTest, WarmUpAdvancesAtNominal90kHz) {
  Anchor();
  // The clock runs a little slower than the stream, so the time line stays ahead.
  for (int i = 1; i <= 100; ++i) {
    const std::uint64_t before = converter_.OutputTime();
    Frame(kFrameTicks, 390'000);
    ASSERT_EQ(converter_.OutputTime() - before, kNominalFrameUnits) << "frame " << i;
    // A lead under 250 ms is measured only at the end of the warm-up.
    ASSERT_EQ(converter_.Lead(), i < 100 ? 0u : 100u * 9'600) << "frame " << i;
  }
}

TEST_F(TimeStampConverterTest, WarmUpIncrementOf90091Reanchors) {
  Anchor();
  Frame(90'091, 5'000'000);
  EXPECT_EQ(converter_.OutputTime(), kStart + 5'000'000);
  EXPECT_EQ(converter_.Lead(), 0u);
}

TEST_F(TimeStampConverterTest, WarmUpIncrementOf90090Advances) {
  Anchor();
  Frame(90'090, 5'000'000);
  EXPECT_EQ(converter_.OutputTime(), kStart + 9'999'990);
  EXPECT_EQ(converter_.Lead(), 4'999'990u);  // more than 250 ms ahead
}

TEST_F(TimeStampConverterTest, WrapPast2To32IsNotGreater) {
  rtp_ = 0xFFFF'FF00;
  Anchor();
  Frame(0x200, 1'000);
  EXPECT_EQ(converter_.LastRtpTimeStamp(), 0x100u);
  EXPECT_EQ(converter_.OutputTime(), kStart + 10'000);
  EXPECT_EQ(converter_.TickStatistics().Count(), 0u);
  Frame(kFrameTicks, 1'000);
  EXPECT_EQ(converter_.OutputTime(), kStart + 10'000 + kNominalFrameUnits);
}

TEST_F(TimeStampConverterTest, EmptyWallWindowGivesStepZero) {
  Anchor();
  // A clock stepped back at every frame contributes no wall increments.
  for (int i = 0; i < 100; ++i) FrameAt(kFrameTicks, now_ - 1);
  const std::uint64_t before = converter_.OutputTime();
  FrameAt(kFrameTicks, now_ - 1);
  EXPECT_EQ(converter_.WallStatistics().Count(), 0u);
  EXPECT_EQ(converter_.OutputTime(), before);
}

TEST_F(TimeStampConverterTest, AfterWarmUpStepFollowsLearnedRatio) {
  Anchor();
  // The camera clock runs 1% fast: 3636 ticks per 40 ms. The warm-up at 111 units per tick runs
  // ahead by 3596 per frame, and the lead measured at its end is 359600.
  WarmUp(3'636, kFrameUnits);
  ASSERT_EQ(converter_.Lead(), 359'600u);
  const std::uint64_t before = converter_.OutputTime();
  Frame(3'636, kFrameUnits);
  // Learned step 400000, less a tenth for the lead (nominal would be 403596 less 40359).
  EXPECT_EQ(converter_.OutputTime() - before, 360'000u);
  EXPECT_EQ(converter_.Lead(), 319'600u);
}

TEST_F(TimeStampConverterTest, LeadIsWorkedOffByATenthPerFrame) {
  Anchor();
  WarmUp(kFrameTicks, kFrameUnits);  // the nominal step lags, so every frame re-anchors
  ASSERT_EQ(converter_.Lead(), 0u);
  // The system clock is stepped back: the time line is now 301.5 ms ahead.
  FrameAt(kFrameTicks, now_ + kFrameUnits - 3'015'000);
  ASSERT_EQ(converter_.Lead(), 3'015'000u);

  std::uint64_t lead = 3'015'000;
  const auto expect_step = [&](std::uint64_t step, std::uint64_t correction) {
    const std::uint64_t before = converter_.OutputTime();
    Frame(kFrameTicks, kFrameUnits);
    lead -= correction;
    ASSERT_EQ(converter_.OutputTime() - before, step);
    ASSERT_EQ(converter_.Lead(), lead);
  };
  for (int i = 0; i < 50; ++i) expect_step(360'000, 40'000);

  // A further step back of 10 ms, now within 250 ms: the lead is not measured again, so from here
  // on the time line stays 500 ms further ahead than the lead says.
  FrameAt(kFrameTicks, now_ - 100'000);
  lead -= 40'000;
  ASSERT_EQ(converter_.Lead(), lead);
  ASSERT_EQ(converter_.OutputTime() - now_, lead + 500'000);

  for (int i = 0; i < 24; ++i) expect_step(360'000, 40'000);
  ASSERT_EQ(lead, 15'000u);
  expect_step(385'000, 15'000);  // at most the remaining lead
  expect_step(400'000, 0);
  ASSERT_EQ(converter_.OutputTime() - now_, 500'000u);

  // A repeated time stamp measures the lead again: 0.5 ms, which is within the 1 ms tolerance.
  Frame(0, 505'000);
  lead = 5'000;
  ASSERT_EQ(converter_.Lead(), lead);
  expect_step(400'000, 0);
}

TEST_F(TimeStampConverterTest, StepIsRoundedToNearestUnit) {
  Anchor();
  WarmUp(kFrameTicks, kFrameUnits);
  const std::uint64_t before = converter_.OutputTime();
  // (4e7 + 100) / 101 x 5 / ((360000 + 5) / 101) = 555.55; truncation would give 555.
  Frame(5, 100);
  EXPECT_EQ(converter_.OutputTime() - before, 556u);
}

TEST_F(TimeStampConverterTest, ShortFramesAreCorrectedByAtLeast1Ms) {
  Anchor();
  // A 100 kHz camera clock: 100 units per tick, and the warm-up runs ahead by 44000 per frame.
  WarmUp(4'000, kFrameUnits);
  ASSERT_EQ(converter_.Lead(), 4'400'000u);
  std::uint64_t before = converter_.OutputTime();
  Frame(500, 50'000);  // a tenth of 5 ms is less than 1 ms: 1 ms is taken
  EXPECT_EQ(converter_.OutputTime() - before, 40'000u);
  EXPECT_EQ(converter_.Lead(), 4'390'000u);
  before = converter_.OutputTime();
  Frame(400, 40'000);  // 4 ms and less is never shortened
  EXPECT_EQ(converter_.OutputTime() - before, 40'000u);
  EXPECT_EQ(converter_.Lead(), 4'390'000u);
}

TEST_F(TimeStampConverterTest, StallReanchorsAtCurrentTime) {
  Anchor();
  WarmUp(3'636, kFrameUnits);
  ASSERT_GT(converter_.Lead(), 0u);
  Frame(3'636, 20'000'000);  // the receiver stalled for 2 s
  EXPECT_EQ(converter_.OutputTime(), now_);
  EXPECT_EQ(converter_.Lead(), 0u);
}

TEST_F(TimeStampConverterTest, ResetForgetsTheStream) {
  Anchor();
  WarmUp(3'636, kFrameUnits);
  Frame(3'636, kFrameUnits);
  converter_.Reset();
  EXPECT_EQ(converter_.OutputTime(), 0u);
  EXPECT_EQ(converter_.Lead(), 0u);
  EXPECT_EQ(converter_.TickStatistics().Count(), 0u);
  EXPECT_EQ(converter_.WallStatistics().Sum(), 0.0);
  now_ += 10'000'000;
  EXPECT_EQ(FrameTimeText(), Text(now_));
  // A new warm-up: nominal steps again.
  Anchor();
  Frame(kFrameTicks, 390'000);
  EXPECT_EQ(converter_.OutputTime(), now_ - 390'000 + kNominalFrameUnits);
}

// A stream with its own fake clock, for tests that need several.
struct FakeStream {
  void Frame(std::uint32_t ticks, std::uint64_t wall) {
    now += wall;
    rtp += ticks;
    converter.AddTimeStamp(rtp);
  }
  std::uint64_t Ahead() const { return converter.OutputTime() > now ? converter.OutputTime() - now : 0; }

  std::uint64_t now = kStart;
  std::uint32_t rtp = 1'000'000;
  CTimeStampConverter converter{[this] { return now; }};
};

// A forward jump of the RTP clock by more than a second: each row runs frames_before ordinary
// frames (25 per second), the jump, then 150 ordinary frames.
struct JumpCase {
  const char* label;
  int frames_before;
  std::uint32_t jump;
};

TEST(TimeStampJumpTest, AForwardJumpReanchorsAtOnceAndStaysOutOfTheStatistics) {
  const JumpCase kCases[] = {
      {"2^31 ticks after the warm-up", 150, 0x8000'0000},
      {"2^31 ticks in the warm-up", 10, 0x8000'0000},
      {"just over a second after the warm-up", 150, 90'091},
      {"ten minutes after the warm-up", 150, 54'000'000},
  };
  for (const JumpCase& c : kCases) {
    FakeStream stream;
    stream.Frame(0, 0);
    for (int i = 0; i < c.frames_before; ++i) stream.Frame(kFrameTicks, kFrameUnits);
    const std::size_t samples = stream.converter.TickStatistics().Count();
    const double mean = stream.converter.TickStatistics().Mean();

    stream.Frame(c.jump, kFrameUnits);
    EXPECT_EQ(stream.converter.OutputTime(), stream.now) << c.label;
    EXPECT_EQ(stream.converter.TickStatistics().Count(), samples) << c.label;
    EXPECT_EQ(stream.converter.TickStatistics().Mean(), mean) << c.label;
    for (int i = 0; i < 150; ++i) {
      const std::uint64_t before = stream.converter.OutputTime();
      stream.Frame(kFrameTicks, kFrameUnits);
      // About 40 ms apart, never bunched, never more than a second ahead.
      ASSERT_GE(stream.converter.OutputTime() - before, 390'000u) << c.label << ", frame " << i;
      ASSERT_LE(stream.converter.OutputTime() - before, 410'000u) << c.label << ", frame " << i;
      ASSERT_LE(stream.Ahead(), 10'000'000u) << c.label << ", frame " << i;
    }
  }
}

TEST(TimeStampJumpTest, NoFrameIsStampedMoreThanASecondAhead) {
  // The stream's clock runs at twice the real rate: 40 ms of ticks every 20 ms, so the nominal
  // warm-up steps run ahead by 20 ms a frame.
  FakeStream stream;
  stream.Frame(0, 0);
  std::uint64_t most_ahead = 0;
  for (int i = 0; i < 100; ++i) {
    stream.Frame(kFrameTicks, kFrameUnits / 2);
    most_ahead = std::max(most_ahead, stream.Ahead());
    ASSERT_LE(stream.Ahead(), 10'000'000u) << "frame " << i;
  }
  EXPECT_GT(most_ahead, 9'000'000u) << "the time line got near the limit";
}

}  // namespace
}  // namespace kalmora
