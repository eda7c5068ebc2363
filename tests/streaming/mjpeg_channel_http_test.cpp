// Motion-JPEG over HTTP without a camera: the pace a frame interval gives, the frame cache's
// queue and thread, and the encoder values that are not plain on the wire test's one format.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "child_program.h"
#include "frame_factory.h"
#include "streaming/caching_thread.h"
#include "streaming/encoder_configuration.h"
#include "streaming/mjpeg_channel_http.h"

namespace kalmora {
namespace {

using namespace std::chrono_literals;
using tessavirn_test::WaitFor;

// The first data byte of each picture the host took, and the no-signal notices.
class TagRecorder : public ipcapture::ICaptureFrameCallback {
 public:
  bool CaptureFrameCallback(ipcapture::ICaptureFrame* frame) override {
    std::lock_guard<std::mutex> guard(mutex_);
    tags_.push_back(frame->GetData()[0]);
    return true;
  }
  void Reserved3() override {}
  void NotifyNoSignal() override { no_signal_.fetch_add(1); }
  std::vector<int> tags() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return tags_;
  }
  int no_signal() const { return no_signal_.load(); }

 private:
  mutable std::mutex mutex_;
  std::vector<int> tags_;
  std::atomic<int> no_signal_{0};
};

ipcapture::ICaptureFrame* Tagged(tessavirn_host::FrameFactory& factory, std::uint8_t tag) {
  ipcapture::ICaptureFrame* frame = factory.AllocateFrame(ipcapture::kFrameTypeJpeg, 16, "Tessavirn");
  frame->GetData()[0] = tag;
  frame->SetDataLength(1);
  return frame;
}

TEST(MjpegHttpPace, FrameIntervalGivesCacheQueueAndPeriods) {
  const struct {
    std::uint32_t interval;
    bool caching;
    std::uint32_t queue_limit;  // what the cache would take from this interval
    std::uint32_t poll_ms;
    std::uint32_t picture_period_ms;
  } kRows[] = {
      {200, true, 2, 200, 170},    // 5 per second: the first that is cached
      {250, false, 2, 250, 250},   // 4 per second: straight to the host
      {1000, false, 1, 500, 1000},
      {40, true, 12, 40, 34},
      {1, true, 500, 1, 0},        // the waits of 0 ms become 1 ms
      {0, true, 1, 500, 0},        // counts as 1 ms; the cache keeps its defaults
  };
  for (const auto& row : kRows) {
    EXPECT_EQ(UsesFrameCache(row.interval), row.caching) << row.interval;
    EXPECT_EQ(PicturePeriodMs(row.interval, row.caching), row.picture_period_ms) << row.interval;
    CCachingThread cache(nullptr, nullptr);
    cache.SetFrameInterval(row.interval);
    EXPECT_EQ(cache.queue_limit(), row.queue_limit) << row.interval;
    EXPECT_EQ(cache.poll_period_ms(), row.poll_ms) << row.interval;
  }
}

TEST(MjpegHttpPace, NoFrameTimeFollowsTheSignalLossTimeOut) {
  const struct {
    std::uint32_t signal_loss_ms;
    std::uint32_t no_frame_ms;
  } kRows[] = {{10000, 9500}, {600, 2000}, {2501, 2001}, {2500, 2000}, {400, 2000}};
  for (const auto& row : kRows) {
    CCachingThread cache(nullptr, nullptr);
    cache.SetNoFrameTime(row.signal_loss_ms);
    EXPECT_EQ(cache.no_frame_time_ms(), row.no_frame_ms) << row.signal_loss_ms;
  }
}

TEST(CachingThreadTest, AFullQueueDropsItsOldestPictures) {
  tessavirn_host::FrameFactory factory;
  CCachingThread cache(&factory, nullptr);
  cache.SetFrameInterval(200);  // queue limit 2
  for (std::uint8_t tag = 1; tag <= 5; ++tag) cache.PushFrame(Tagged(factory, tag));
  EXPECT_EQ(cache.queued(), 3u);  // limit + 1
  EXPECT_EQ(factory.released(), 2u);
  for (const std::uint8_t tag : {3, 4, 5}) {
    ipcapture::ICaptureFrame* frame = cache.PopFrame();
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->GetData()[0], tag);
    factory.ReleaseFrame(frame);
  }
  EXPECT_EQ(cache.PopFrame(), nullptr);
}

TEST(CachingThreadTest, DeliversInOrderAndEveryBufferGoesBack) {
  tessavirn_host::FrameFactory factory;
  TagRecorder host;
  {
    CCachingThread cache(&factory, &host);
    ASSERT_TRUE(cache.Start("cache test", 50));
    for (std::uint8_t tag = 1; tag <= 3; ++tag) cache.PushFrame(Tagged(factory, tag));
    ASSERT_TRUE(WaitFor([&] { return host.tags().size() >= 3; }, 5s));
    EXPECT_EQ(host.tags(), (std::vector<int>{1, 2, 3}));
    // Pictures still queued at the stop go back to the host's factory undelivered.
    for (std::uint8_t tag = 4; tag <= 6; ++tag) cache.PushFrame(Tagged(factory, tag));
    cache.Stop();
    EXPECT_EQ(factory.allocated(), factory.released());
    // Pushed after the stop: the destructor gives it back.
    cache.PushFrame(Tagged(factory, 7));
  }
  EXPECT_EQ(factory.allocated(), 7u);
  EXPECT_EQ(factory.released(), 7u);
  EXPECT_EQ(host.no_signal(), 0);
}

TEST(CachingThreadTest, AtAOneMillisecondIntervalTheIdleTimeStillCounts) {
  // Half the 1 ms poll period is 0: waits of 0 ms would spin and never add up to the no-frame
  // time, so the host would never hear of the silence.
  TagRecorder host;
  CCachingThread cache(nullptr, &host);
  cache.SetNoFrameTime(600);  // 2000 ms
  ASSERT_TRUE(cache.Start("cache test", 1));
  EXPECT_TRUE(WaitFor([&] { return host.no_signal() >= 1; }, 20s));
  cache.Stop();
}

TEST(MjpegEncoderRequestTest, FrameRateDividerForEveryInterval) {
  const struct {
    std::uint32_t interval;
    bool ntsc;
    const char* divider_item;
  } kRows[] = {
      {250, false, "FrameRateDivider=6&"},
      {100, true, "FrameRateDivider=3&"},
      {2000, false, "FrameRateDivider=25&"},  // above 1000 ms: 1 frame per second
      {2000, true, "FrameRateDivider=30&"},
      {1, false, "FrameRateDivider=1&"},      // 1000 per second would round to 0
      {0, false, "FrameRateDivider=1&"},
  };
  for (const auto& row : kRows) {
    EncoderInputs in;
    in.frame_interval_ms = row.interval;
    in.ntsc = row.ntsc;
    EXPECT_NE(MjpegEncoderRequest(in, 6000).find(row.divider_item), std::string::npos) << row.interval;
  }
  EXPECT_NE(IdleEncoderRequest(1, true, 6000).find("FrameRateDivider=6&"), std::string::npos);
}

TEST(MjpegEncoderRequestTest, BitrateRangeOnlyFromTheKeysOwnLine) {
  const struct {
    const char* name;
    const char* reply;
    int maximum;  // -1: the query fails
  } kRows[] = {
      {"range on the line", "Video-1.Encoder-3.Bitrate=2000 rangemin=128 rangemax=6000\r\n", 6000},
      {"upper-case reply", "VIDEO-1.ENCODER-3.BITRATE=2000 RANGEMIN=128 RANGEMAX=8000\r\n", 8000},
      {"negative maximum", "Video-1.Encoder-3.Bitrate=2000 rangemin=-9 rangemax=-1\r\n", -1},
      {"no maximum", "Video-1.Encoder-3.Bitrate=2000 rangemin=128\r\n", -1},
      {"maximum on the next line", "Video-1.Encoder-3.Bitrate=2000 rangemin=128\r\nX=1 rangemax=6000\r\n", -1},
      {"another encoder's line", "Video-1.Encoder-30.Bitrate=2000 rangemin=128 rangemax=6000\r\n", -1},
      {"empty reply", "", -1},
  };
  for (const auto& row : kRows) {
    const auto maximum = ParseBitrateRangeMaximum(row.reply, 1);
    EXPECT_EQ(maximum.has_value() ? static_cast<int>(*maximum) : -1, row.maximum) << row.name;
  }
}

}  // namespace
}  // namespace kalmora
