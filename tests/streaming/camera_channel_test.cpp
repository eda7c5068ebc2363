// The channel base and the H.264 channel's delivery, without a camera: RTP packets are handed
// to the channel as its receive thread would.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "../driver/driver_fixture.h"
#include "streaming/h264_channel_rtsp.h"
#include "streaming/rtsp_channel.h"

namespace kalmora {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::OpenedDriver;

TEST(PictureSizeClassTest, FollowsWidthAndAspect) {
  EXPECT_EQ(PictureSizeClass(720, 288), 3u);
  EXPECT_EQ(PictureSizeClass(720, 576), 4u);
  EXPECT_EQ(PictureSizeClass(352, 288), 2u);
  EXPECT_EQ(PictureSizeClass(1280, 720), 4u);
  EXPECT_EQ(PictureSizeClass(1280, 300), 4u);  // wide, but not below 1024
  EXPECT_EQ(PictureSizeClass(0, 0), 2u);
}

TEST(FrameBufferSizeTest, AsksInSteps) {
  EXPECT_EQ(FrameBufferSize(0), 4096u);
  EXPECT_EQ(FrameBufferSize(4096), 4096u);
  EXPECT_EQ(FrameBufferSize(4097), 16384u);
  EXPECT_EQ(FrameBufferSize(16385), 32768u);
  EXPECT_EQ(FrameBufferSize(32769), 131072u);
  EXPECT_EQ(FrameBufferSize(131072), 131072u);
  EXPECT_EQ(FrameBufferSize(200000), 200000u);
}

TEST(CheckSignalTest, QuietRestartAtThreeFifthsThenLossAtTheFullTimeOut) {
  bool armed = true;
  EXPECT_EQ(CheckSignal(6000, 10000, ipcapture::kChannelStreaming, armed), SignalAction::kNone);
  EXPECT_EQ(CheckSignal(6001, 10000, ipcapture::kChannelStreaming, armed), SignalAction::kQuietRestart);
  EXPECT_FALSE(armed);
  // The quiet restart set state 2; while it stays silent nothing more happens until the full time-out.
  EXPECT_EQ(CheckSignal(8000, 10000, ipcapture::kChannelSignalLost, armed), SignalAction::kNone);
  EXPECT_EQ(CheckSignal(10000, 10000, ipcapture::kChannelSignalLost, armed), SignalAction::kNone);
  EXPECT_EQ(CheckSignal(10001, 10000, ipcapture::kChannelSignalLost, armed), SignalAction::kReportLoss);
  EXPECT_TRUE(armed);
  // Reported once: later checks of the same silence do nothing.
  EXPECT_EQ(CheckSignal(20000, 10000, ipcapture::kChannelSignalLost, armed), SignalAction::kNone);
  // A re-opened session (state 0) that still delivers nothing is reported again.
  EXPECT_EQ(CheckSignal(21000, 10000, ipcapture::kChannelStreaming, armed), SignalAction::kReportLoss);
}

TEST(CheckSignalTest, FramesFlowingAgainRearmTheQuietRestart) {
  bool armed = false;
  EXPECT_EQ(CheckSignal(7000, 10000, ipcapture::kChannelStreaming, armed), SignalAction::kNone);
  EXPECT_EQ(CheckSignal(100, 10000, ipcapture::kChannelSignalLost, armed), SignalAction::kNone);
  EXPECT_FALSE(armed);
  EXPECT_EQ(CheckSignal(100, 10000, ipcapture::kChannelStreaming, armed), SignalAction::kArm);
  EXPECT_TRUE(armed);
  EXPECT_EQ(CheckSignal(6001, 10000, ipcapture::kChannelStreaming, armed), SignalAction::kQuietRestart);
}

TEST(KeepAliveDueTest, PastHalfTheSessionTimeOutAtFullResolution) {
  constexpr std::uint64_t kMs = 10000;  // 100-ns units
  EXPECT_FALSE(KeepAliveDue(10000 * kMs, 20000));
  EXPECT_TRUE(KeepAliveDue(10000 * kMs + 1, 20000));
  // Three passes of a little over a second reach a six-second session's due time.
  EXPECT_TRUE(KeepAliveDue(3 * (1000 * kMs + 50), 6000));
  EXPECT_FALSE(KeepAliveDue(29999 * kMs, 60000));
}

class RecordingCallback : public ipcapture::ICaptureFrameCallback {
 public:
  struct Frame {
    Bytes data;
    std::uint32_t type = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t size_class = 0;
    std::uint32_t capacity = 0;
    ipcapture::SystemTime time;
  };
  bool CaptureFrameCallback(ipcapture::ICaptureFrame* frame) override {
    std::lock_guard<std::mutex> guard(mutex_);
    Frame copy;
    copy.data.assign(frame->GetData(), frame->GetData() + frame->GetDataLength());
    copy.type = frame->GetFrameType();
    copy.width = frame->GetWidth();
    copy.height = frame->GetHeight();
    copy.size_class = frame->GetSizeClass();
    copy.capacity = frame->GetCapacity();
    copy.time = frame->GetTimeStamp();
    frames_.push_back(std::move(copy));
    return accept_;
  }
  void Reserved3() override {}
  void NotifyNoSignal() override { ++no_signal_; }

  std::vector<Frame> frames() {
    std::lock_guard<std::mutex> guard(mutex_);
    return frames_;
  }
  void set_accept(bool accept) { accept_ = accept; }

 private:
  std::mutex mutex_;
  std::vector<Frame> frames_;
  bool accept_ = true;
  int no_signal_ = 0;
};

class H264ChannelDelivery : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(d_.Open()); }

  // One RTP packet as the receiver hands it over.
  void Packet(const Bytes& payload, bool marker, std::uint32_t time_stamp = 90000) {
    RtpPacket packet;
    packet.version = 2;
    packet.payload_type = 96;
    packet.sequence_number = sequence_++;
    packet.time_stamp = time_stamp;
    packet.marker = marker;
    packet.payload = payload.data();
    packet.payload_length = payload.size();
    sockaddr_in sender{};
    channel_.OnRTPPacket(nullptr, sender, packet);
  }
  void ParameterSets(std::uint32_t time_stamp) {
    Packet({0x67, 0x42, 0x00, 0x1F}, false, time_stamp);
    Packet({0x68, 0xCE, 0x3C}, true, time_stamp);
  }
  // An IDR slice of `size` bytes in FU-A fragments of at most 1000 bytes.
  // With `lose` the fragment of that index is lost on the way.
  void IdrInFragments(std::size_t size, std::uint32_t time_stamp, int lose = -1) {
    Bytes slice(size, 0xA5);
    slice[0] = 0x65;
    for (std::size_t at = 1; at < size; at += 1000) {
      const std::size_t piece = std::min<std::size_t>(1000, size - at);
      std::uint8_t header = 0x05;
      if (at == 1) header |= 0x80;
      if (at + piece == size) header |= 0x40;
      Bytes payload(2 + piece);
      payload[0] = 0x7C;  // FU indicator: NRI 3, type 28
      payload[1] = header;
      std::copy_n(slice.begin() + static_cast<std::ptrdiff_t>(at), piece, payload.begin() + 2);
      if (static_cast<int>(at / 1000) == lose) {
        ++sequence_;
        continue;
      }
      Packet(payload, at + piece == size, time_stamp);
    }
  }

  OpenedDriver d_;
  RecordingCallback callback_;
  CH264ChannelRTSP channel_{0, &d_.driver, &callback_};
  std::uint16_t sequence_ = 65530;  // wraps during the tests
};

const Bytes kParameterSetsAnnexB = {0x00, 0x00, 0x01, 0x67, 0x42, 0x00, 0x1F, 0x00, 0x00, 0x01, 0x68, 0xCE, 0x3C};
const Bytes kDelimiter = {0x00, 0x00, 0x01, 0x09, 0x30};

bool EndsWithDelimiter(const Bytes& frame) {
  return frame.size() >= kDelimiter.size() &&
         std::equal(kDelimiter.begin(), kDelimiter.end(), frame.end() - static_cast<std::ptrdiff_t>(kDelimiter.size()));
}

TEST_F(H264ChannelDelivery, NothingIsTakenUnlessTheChannelStreams) {
  ParameterSets(90000);
  IdrInFragments(3000, 90000);
  EXPECT_TRUE(callback_.frames().empty());
}

TEST_F(H264ChannelDelivery, ParameterSetsAreCachedAndPutInFrontOfTheIdr) {
  channel_.SetState(ipcapture::kChannelStreaming);
  ParameterSets(90000);
  EXPECT_TRUE(callback_.frames().empty());  // a header, not a frame
  IdrInFragments(3000, 90000);
  // A predicted picture of 300 bytes is a frame too, however small.
  Bytes small(300, 0x11);
  small[0] = 0x41;
  Packet(small, true, 93600);

  const auto frames = callback_.frames();
  ASSERT_EQ(frames.size(), 2u);
  const auto& idr = frames[0];
  EXPECT_EQ(idr.type, ipcapture::kFrameTypeH264);
  ASSERT_GT(idr.data.size(), kParameterSetsAnnexB.size());
  EXPECT_TRUE(std::equal(kParameterSetsAnnexB.begin(), kParameterSetsAnnexB.end(), idr.data.begin()));
  EXPECT_EQ(idr.data.size(), kParameterSetsAnnexB.size() + 3 + 3000 + kDelimiter.size());
  EXPECT_TRUE(EndsWithDelimiter(idr.data));
  EXPECT_EQ(idr.capacity, 4096u);
  EXPECT_EQ(idr.width, 0u);  // the channel was never started with a format

  const auto& predicted = frames[1];
  EXPECT_EQ(predicted.type, ipcapture::kFrameTypeH264Delta);
  EXPECT_EQ(predicted.data.size(), 3 + 300 + kDelimiter.size());
  EXPECT_TRUE(EndsWithDelimiter(predicted.data));
  EXPECT_EQ(d_.sink.Find("Camera 127.0.0.1 is online").size(), 1u);
}

TEST_F(H264ChannelDelivery, AFrameOfOneHundredThirtyKilobytesGetsAnExactBuffer) {
  channel_.SetState(ipcapture::kChannelStreaming);
  ParameterSets(1000);
  IdrInFragments(140000, 1000);
  const auto frames = callback_.frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].capacity, kParameterSetsAnnexB.size() + 3 + 140000 + kDelimiter.size());
  EXPECT_EQ(frames[0].data.size(), frames[0].capacity);
}

TEST_F(H264ChannelDelivery, ALostFragmentDamagesOnlyItsFrame) {
  channel_.SetState(ipcapture::kChannelStreaming);
  ParameterSets(1000);
  IdrInFragments(3500, 1000, 1);  // the second of four fragments is lost
  Bytes predicted(1500, 0x22);
  predicted[0] = 0x41;
  Packet(predicted, true, 4600);
  IdrInFragments(2500, 8200);
  const auto frames = callback_.frames();
  // The broken IDR is not delivered in pieces; what follows the gap is whole again.
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].type, ipcapture::kFrameTypeH264Delta);
  EXPECT_EQ(frames[0].data.size(), 3 + 1500 + kDelimiter.size());
  EXPECT_EQ(frames[1].type, ipcapture::kFrameTypeH264);
  EXPECT_EQ(frames[1].data.size(), kParameterSetsAnnexB.size() + 3 + 2500 + kDelimiter.size());
}

TEST_F(H264ChannelDelivery, ARefusedFrameStillCountsAsReceivedButNotAsOnline) {
  channel_.SetState(ipcapture::kChannelStreaming);
  callback_.set_accept(false);
  ParameterSets(1000);
  IdrInFragments(2000, 1000);
  EXPECT_EQ(callback_.frames().size(), 1u);
  EXPECT_TRUE(d_.sink.Find("is online").empty());
  EXPECT_LT(channel_.MillisecondsSinceLastFrame(), 5000u);
}

TEST(CameraStateTest, OfflineMessagesFollowTheStateAndAreLoggedOncePerChange) {
  OpenedDriver d;
  ASSERT_TRUE(d.Open());
  RecordingCallback callback;
  CH264ChannelRTSP channel(4, &d.driver, &callback);
  channel.SetCameraState(false);  // not online yet: no change
  EXPECT_EQ(d.sink.Entries().size(), 1u);  // only the driver-opened notice
  channel.SetCameraState(true);
  channel.SetCameraState(true);
  channel.SetState(ipcapture::kChannelSignalLost);
  channel.SetCameraState(false);
  channel.SetCameraState(false);
  channel.SetCameraState(true);
  channel.SetState(ipcapture::kChannelStopped);
  channel.SetCameraState(false);
  channel.SetCameraState(true);
  channel.SetState(ipcapture::kChannelStreaming);
  channel.SetCameraState(false);

  std::vector<std::string> lines;
  for (const auto& entry : d.sink.Entries()) lines.push_back(entry.text);
  const std::string fn = "kalmora::CBaseCameraChannel::SetCameraState: ";
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[1], fn + "Camera 127.0.0.1 is online");
  EXPECT_EQ(lines[2], fn + "Signal was lost for camera 127.0.0.1 (channel 4)");
  EXPECT_EQ(lines[3], fn + "Camera 127.0.0.1 is online");
  EXPECT_EQ(lines[4], fn + "Camera 127.0.0.1 is offline. Channel was stopped");
  EXPECT_EQ(lines[6], fn + "Camera 127.0.0.1 is offline or failed");
}

TEST(ChannelStartTest, StartIsRefusedUnlessStoppedAndStopIsPromptWithoutACamera) {
  OpenedDriver d;  // 127.0.0.1:8080: nothing answers, so every session open fails at once
  ASSERT_TRUE(d.Open());
  RecordingCallback callback;
  CH264ChannelRTSP channel(0, &d.driver, &callback);
  ASSERT_TRUE(channel.Start(40, 704, 576, 60));
  channel.SetState(ipcapture::kChannelSignalLost);  // as the thread does after a failed open
  EXPECT_FALSE(channel.Start(40, 352, 288, 60));
  EXPECT_EQ(channel.width(), 704u);  // the refused start changed nothing
  channel.Stop();
  EXPECT_EQ(channel.GetState(), ipcapture::kChannelStopped);
  EXPECT_TRUE(channel.Start(40, 352, 288, 60));
  EXPECT_EQ(channel.width(), 352u);
  channel.Stop();
  EXPECT_TRUE(callback.frames().empty());
}

}  // namespace
}  // namespace kalmora
