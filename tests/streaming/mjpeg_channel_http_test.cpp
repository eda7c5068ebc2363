// Motion-JPEG over HTTP without a camera: the pace a frame interval gives, the frame cache, and
// the encoder values the camera test's one format leaves out.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <tuple>
#include <utility>
#include <vector>

#include "child_program.h"
#include "frame_factory.h"
#include "streaming/mjpeg_channel_http.h"

namespace kalmora {
namespace {

using namespace std::chrono_literals;

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
  std::atomic<int> no_signal_{0};

 private:
  mutable std::mutex mutex_;
  std::vector<int> tags_;
};

ipcapture::ICaptureFrame* Tagged(tessavirn_host::FrameFactory& factory, std::uint8_t tag) {
  ipcapture::ICaptureFrame* frame = factory.AllocateFrame(ipcapture::kFrameTypeJpeg, 16, "Tessavirn");
  frame->GetData()[0] = tag;
  return frame;
}

TEST(MjpegHttpPace, FrameIntervalGivesCacheQueueAndPeriods) {
  const struct {
    std::uint32_t interval;
    bool caching;
    std::uint32_t queue_limit, poll_ms;  // what the cache takes from this interval
    std::uint32_t picture_period_ms;
  } kRows[] = {
      {200, true, 2, 200, 170},  {250, false, 2, 250, 250}, {1000, false, 1, 500, 1000},
      {40, true, 12, 40, 34},    {1, true, 500, 1, 0},      {0, true, 1, 500, 0},  // 0: kept defaults
  };
  for (const auto& row : kRows) {
    EXPECT_EQ(UsesFrameCache(row.interval), row.caching) << row.interval;
    EXPECT_EQ(PicturePeriodMs(row.interval, row.caching), row.picture_period_ms) << row.interval;
    CCachingThread cache(nullptr, nullptr);
    cache.SetFrameInterval(row.interval);
    EXPECT_EQ(cache.queue_limit(), row.queue_limit) << row.interval;
    EXPECT_EQ(cache.poll_period_ms(), row.poll_ms) << row.interval;
  }
  for (const auto& [signal_loss, no_frame] : {std::pair{10000u, 9500u}, {600u, 2000u}, {2501u, 2001u}}) {
    CCachingThread cache(nullptr, nullptr);
    cache.SetNoFrameTime(signal_loss);
    EXPECT_EQ(cache.no_frame_time_ms(), no_frame) << signal_loss;
  }
}

TEST(CachingThreadTest, QueueDropsItsOldestAndEveryBufferGoesBack) {
  tessavirn_host::FrameFactory factory;
  TagRecorder host;
  {
    CCachingThread cache(&factory, &host);
    cache.SetFrameInterval(200);  // queue limit 2: at most 3 wait
    for (std::uint8_t tag = 1; tag <= 5; ++tag) cache.PushFrame(Tagged(factory, tag));
    EXPECT_EQ(factory.released(), 2u);
    for (const int tag : {3, 4, 5}) {
      ipcapture::ICaptureFrame* frame = cache.PopFrame();
      ASSERT_NE(frame, nullptr);
      EXPECT_EQ(frame->GetData()[0], tag);
      factory.ReleaseFrame(frame);
    }
    ASSERT_TRUE(cache.Start("cache test", 50));
    for (std::uint8_t tag = 6; tag <= 8; ++tag) cache.PushFrame(Tagged(factory, tag));
    ASSERT_TRUE(tessavirn_test::WaitFor([&] { return host.tags().size() >= 3; }, 5s));
    EXPECT_EQ(host.tags(), (std::vector<int>{6, 7, 8}));
    for (std::uint8_t tag = 9; tag <= 11; ++tag) cache.PushFrame(Tagged(factory, tag));
    cache.Stop();  // undelivered pictures go back too
    cache.PushFrame(Tagged(factory, 12));
  }
  EXPECT_EQ(factory.allocated(), 12u);
  EXPECT_EQ(factory.released(), 12u);
}

TEST(CachingThreadTest, AtAOneMillisecondIntervalTheSilenceStillCounts) {
  // Half the 1 ms poll period is 0: waits of 0 ms would spin and never add up to the no-frame
  // time, and the host would never hear of the silence.
  TagRecorder host;
  CCachingThread cache(nullptr, &host);
  cache.SetNoFrameTime(600);  // 2000 ms
  ASSERT_TRUE(cache.Start("cache test", 1));
  EXPECT_TRUE(tessavirn_test::WaitFor([&] { return host.no_signal_.load() >= 1; }, 20s));
}

TEST(MjpegEncoderRequestTest, DividerAndBitrateRangeEdges) {
  for (const auto& [interval, ntsc, item] : {std::tuple{2000u, false, "FrameRateDivider=25&"},  // 1 per second
                                             {2000u, true, "FrameRateDivider=30&"},
                                             {1u, false, "FrameRateDivider=1&"}}) {  // 25/1000 rounds to 0
    EncoderInputs in;
    in.frame_interval_ms = interval;
    in.ntsc = ntsc;
    EXPECT_NE(MjpegEncoderRequest(in, 6000).find(item), std::string::npos) << interval;
  }
  EXPECT_EQ(ParseBitrateRangeMaximum("Video-1.Encoder-3.Bitrate=2 rangemin=0 rangemax=6000\r\n", 1), 6000u);
  EXPECT_FALSE(ParseBitrateRangeMaximum("Video-1.Encoder-3.Bitrate=2 rangemin=-9 rangemax=-1\r\n", 1));
  EXPECT_FALSE(ParseBitrateRangeMaximum("Video-1.Encoder-30.Bitrate=2 rangemin=0 rangemax=6000\r\n", 1));
}

}  // namespace
}  // namespace kalmora
