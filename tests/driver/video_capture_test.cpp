#include "driver/video_capture.h"

#include <gtest/gtest.h>

#include "driver_fixture.h"

namespace kalmora {
namespace {

using testing::MinimalConfig;
using testing::OpenedDriver;

class CountingCallback : public ipcapture::ICaptureFrameCallback {
 public:
  bool CaptureFrameCallback(ipcapture::ICaptureFrame*) override {
    ++frames;
    return true;
  }
  void Reserved3() override {}
  void NotifyNoSignal() override { ++no_signal; }
  int frames = 0;
  int no_signal = 0;
};

class VideoCaptureTable : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(d_.Open());
    capture_ = d_.driver.GetVideoCaptureEx();
    ASSERT_NE(capture_, nullptr);
  }
  OpenedDriver d_;
  ipcapture::IIPVideoCaptureEx* capture_ = nullptr;
  CountingCallback callback_;
  tessavirn_host::ChannelSettings settings_{704, 576, 40, 60};
};

TEST_F(VideoCaptureTable, ChannelSixteenIsRejectedWithoutCreatingAnything) {
  EXPECT_FALSE(capture_->StartChannel(16, &callback_, &settings_));
  std::int32_t state = -1;
  EXPECT_FALSE(capture_->GetChannelStatus(16, &state, nullptr, nullptr, 0));
  EXPECT_EQ(state, -1);
  EXPECT_FALSE(capture_->StopChannel(16));
}

TEST_F(VideoCaptureTable, ChannelFifteenStartsAndStopsOnce) {
  // Nothing answers at the configured address: the channel runs and keeps trying.
  EXPECT_TRUE(capture_->StartChannel(15, &callback_, &settings_));
  std::int32_t state = -1;
  std::int32_t second = 7;
  std::uint8_t flag = 9;
  ASSERT_TRUE(capture_->GetChannelStatus(15, &state, &second, &flag, 1));
  EXPECT_NE(state, ipcapture::kChannelStreaming);
  EXPECT_EQ(second, 0);
  EXPECT_EQ(flag, 0);
  EXPECT_TRUE(capture_->StopChannel(15));
  EXPECT_FALSE(capture_->StopChannel(15));
  EXPECT_FALSE(capture_->GetChannelStatus(15, &state, nullptr, nullptr, 0));
  EXPECT_EQ(callback_.frames, 0);
}

TEST_F(VideoCaptureTable, StatusOutputsAreClearedEvenWithoutAChannel) {
  std::int32_t state = -1;
  std::int32_t second = 7;
  std::uint8_t flag = 9;
  EXPECT_FALSE(capture_->GetChannelStatus(3, &state, &second, &flag, 0));
  EXPECT_EQ(second, 0);
  EXPECT_EQ(flag, 9);  // only cleared when asked for
  EXPECT_FALSE(capture_->GetChannelStatus(3, &state, &second, &flag, 1));
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(state, -1);
}

TEST_F(VideoCaptureTable, NullCallbackStartsNothingAndSucceeds) {
  EXPECT_TRUE(capture_->StartChannel(0, nullptr, &settings_));
  EXPECT_FALSE(capture_->GetChannelStatus(0, nullptr, nullptr, nullptr, 0));
  EXPECT_FALSE(capture_->ChangeChannelFormat(0, &settings_, 40));
}

TEST_F(VideoCaptureTable, ReservedOperationsGiveTheirFixedResults) {
  EXPECT_EQ(capture_->Reserved6(), 0);
  EXPECT_FALSE(capture_->Reserved8(1, 2, 3));
  EXPECT_FALSE(capture_->Reserved9(1, 2, 3));
  EXPECT_FALSE(capture_->Reserved10(nullptr));
  EXPECT_FALSE(capture_->Reserved11(nullptr));
}

TEST(VideoCaptureStreamType, UnknownStreamTypeOpensButStartsNoChannel) {
  auto config = MinimalConfig();
  config.stream_type = 7;
  OpenedDriver d(config);
  ASSERT_TRUE(d.Open());
  CountingCallback callback;
  tessavirn_host::ChannelSettings settings(352, 288, 100, 50);
  EXPECT_TRUE(d.driver.GetVideoCapture()->StartChannel(0, &callback, &settings));
  EXPECT_FALSE(d.driver.GetVideoCapture()->GetChannelStatus(0, nullptr, nullptr, nullptr, 0));
}

TEST(VideoCaptureLifetime, ClosingTheDriverDeletesChannelsStillInTheTable) {
  OpenedDriver d;
  ASSERT_TRUE(d.Open());
  CountingCallback callback;
  tessavirn_host::ChannelSettings settings(352, 288, 100, 50);
  for (std::uint32_t ch = 0; ch < CIPVideoCapture::kMaxChannels; ++ch) {
    d.driver.GetVideoCapture()->StartChannel(ch, &callback, &settings);
  }
  std::int32_t state = -1;
  EXPECT_TRUE(d.driver.GetVideoCapture()->GetChannelStatus(9, &state, nullptr, nullptr, 0));
  d.driver.Close();  // the leak checker of the sanitizer run sees any channel left behind
  EXPECT_EQ(d.driver.GetVideoCapture(), nullptr);
}

}  // namespace
}  // namespace kalmora
