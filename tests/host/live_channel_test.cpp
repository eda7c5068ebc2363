// The live pictures of one view channel: what is decoded and when, what a waiting viewer gets,
// and that Close ends every wait, with the driver's frames delivered from a thread of their own.
#include "live_channel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "driver_frames.h"
#include "frame_factory.h"
#include "host/types.h"
#include "picture_transcoder.h"

namespace tessavirn_host {
namespace {

using namespace std::chrono_literals;
namespace ipc = kalmora::ipcapture;

// Hands one frame to the channel as the driver does.
void Deliver(LiveChannel& channel, const Bytes& bytes, std::uint32_t type) {
  Frame frame(type, static_cast<std::uint32_t>(bytes.size()), "test");
  std::copy(bytes.begin(), bytes.end(), frame.GetData());
  frame.SetDataLength(static_cast<std::uint32_t>(bytes.size()));
  ASSERT_TRUE(channel.CaptureFrameCallback(&frame));
}

void DeliverH264(LiveChannel& channel, const DriverFrame& frame) {
  Deliver(channel, frame.bytes, frame.key ? ipc::kFrameTypeH264 : ipc::kFrameTypeH264Delta);
}

std::size_t NextKey(const std::vector<DriverFrame>& frames, std::size_t from) {
  while (from < frames.size() && !frames[from].key) ++from;
  return from;
}

TEST(LiveChannel, DecodesOnlyWhatAWaitingViewerWillSeeFromTheLastKeyFrameOn) {
  const std::vector<DriverFrame> frames = DriverFrames(PictureTranscoder::Codec::kH264, CAMSIM_DEFAULT_CLIP);
  const std::size_t second_key = NextKey(frames, 1);
  ASSERT_LT(second_key + 3, frames.size());
  LiveChannel channel(0, ipc::kStreamH264, 80);

  // Nobody waits: two pictures' worth of frames are counted and queued, none decoded.
  for (std::size_t i = 0; i < second_key + 3; ++i) DeliverH264(channel, frames[i]);
  EXPECT_EQ(channel.Figures().frames, second_key + 3);
  EXPECT_EQ(channel.Figures().decoded, 0u);
  EXPECT_EQ(channel.Latest().sequence, 0u);

  // A viewer asks: the frames before the second key frame are gone, three are decoded, and the
  // picture is a JPEG of the clip's size.
  const LivePicture first = channel.WaitPicture(0, std::chrono::steady_clock::now() + 30s);
  ASSERT_EQ(first.sequence, 1u);
  EXPECT_EQ(channel.Figures().decoded, 3u);
  EXPECT_EQ(JpegPictureSize(*first.jpeg), std::make_pair(640, 480));
  EXPECT_EQ(first.width, 640);

  // While the viewer waits again, the next frames are decoded once each as they come, from
  // another thread, and one picture is made for the wait.
  auto waited = std::async(std::launch::async,
                           [&] { return channel.WaitPicture(first.sequence, std::chrono::steady_clock::now() + 30s); });
  std::thread driver([&] {
    for (std::size_t i = second_key + 3; i < second_key + 6; ++i) {
      DeliverH264(channel, frames[i]);
      std::this_thread::sleep_for(10ms);
    }
  });
  const LivePicture second = waited.get();
  driver.join();
  EXPECT_EQ(second.sequence, 2u);
  EXPECT_LE(channel.Figures().decoded, 6u);
  EXPECT_GE(channel.Figures().decoded, 4u);
}

TEST(LiveChannel, MotionJpegGoesThroughAsItCameOnlyToAWaitingViewer) {
  const std::vector<DriverFrame> frames = DriverFrames(PictureTranscoder::Codec::kH264, CAMSIM_DEFAULT_CLIP);
  PictureTranscoder transcoder(PictureTranscoder::Codec::kH264);
  ASSERT_TRUE(transcoder.Decode(frames[0].bytes));
  const Bytes jpeg = transcoder.EncodeLatest(70);
  LiveChannel channel(0, ipc::kStreamMjpeg, 80);

  Deliver(channel, jpeg, ipc::kFrameTypeJpeg);
  EXPECT_EQ(channel.Latest().sequence, 0u) << "a picture nobody waited for is not kept";
  auto waited = std::async(std::launch::async,
                           [&] { return channel.WaitPicture(0, std::chrono::steady_clock::now() + 30s); });
  // Delivered until the waiter has it: the wait may begin after the first delivery.
  while (waited.wait_for(20ms) != std::future_status::ready) Deliver(channel, jpeg, ipc::kFrameTypeJpeg);
  const LivePicture picture = waited.get();
  ASSERT_NE(picture.sequence, 0u);
  EXPECT_EQ(*picture.jpeg, jpeg);
  EXPECT_EQ(picture.width, 640);
  EXPECT_EQ(channel.Figures().decoded, 0u);
}

TEST(LiveChannel, CloseEndsEveryWaitAtOnceAndLaterFramesAreOnlyCounted) {
  const std::vector<DriverFrame> frames = DriverFrames(PictureTranscoder::Codec::kH264, CAMSIM_DEFAULT_CLIP);
  for (const std::int32_t stream : {ipc::kStreamH264, ipc::kStreamMjpeg}) {
    SCOPED_TRACE(stream);
    LiveChannel channel(0, stream, 80);
    std::vector<std::future<LivePicture>> waits;
    for (int i = 0; i < 3; ++i) {
      waits.push_back(std::async(std::launch::async,
                                 [&] { return channel.WaitPicture(0, std::chrono::steady_clock::now() + 600s); }));
    }
    std::this_thread::sleep_for(50ms);
    channel.Close();
    for (auto& wait : waits) {
      // Without Close waking them these waits would last ten minutes.
      ASSERT_EQ(wait.wait_for(30s), std::future_status::ready);
      EXPECT_EQ(wait.get().sequence, 0u);
    }
    DeliverH264(channel, frames[0]);
    EXPECT_EQ(channel.Figures().frames, 1u);
    EXPECT_EQ(channel.WaitPicture(0, std::chrono::steady_clock::now() + 600s).sequence, 0u);
  }
}

}  // namespace
}  // namespace tessavirn_host
