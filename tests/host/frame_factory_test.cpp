// The recorder's frame factory keeps released buffers for the next frame of the same capacity;
// a reused frame must come back as a new one, and nothing may be handed out twice.
#include "frame_factory.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace tessavirn_host {
namespace {

using kalmora::ipcapture::ICaptureFrame;

TEST(FrameFactoryTest, ReusesReleasedBuffersOfTheSameCapacityAsNewFrames) {
  FrameFactory factory;
  ICaptureFrame* first = factory.AllocateFrame(1, 4096, "first");
  ASSERT_NE(first, nullptr);
  std::uint8_t* buffer = first->GetData();
  first->SetDataLength(100);
  first->SetWidth(1280);
  first->SetHeight(720);
  first->SetSizeClass(4);
  first->StampCurrentTime();
  factory.ReleaseFrame(first);

  // Another capacity never gets that buffer; the same capacity does, with nothing of the old frame.
  ICaptureFrame* other = factory.AllocateFrame(2, 16384, "other");
  ICaptureFrame* again = factory.AllocateFrame(3, 4096, "again");
  ASSERT_NE(other, nullptr);
  ASSERT_NE(again, nullptr);
  EXPECT_NE(other->GetData(), buffer);
  EXPECT_EQ(again->GetData(), buffer);
  EXPECT_EQ(again->GetCapacity(), 4096u);
  EXPECT_EQ(again->GetDataLength(), 0u);
  EXPECT_EQ(again->GetFrameType(), 3u);
  EXPECT_EQ(again->GetWidth(), 0u);
  EXPECT_EQ(again->GetHeight(), 0u);
  EXPECT_EQ(again->GetSizeClass(), 0u);
  EXPECT_EQ(again->GetTimeStamp().year, 0u);
  EXPECT_EQ(static_cast<Frame*>(again)->tag(), "again");
  factory.ReleaseFrame(other);
  factory.ReleaseFrame(again);
  EXPECT_EQ(factory.allocated(), 3u);
  EXPECT_EQ(factory.released(), 3u);
}

TEST(FrameFactoryTest, FramesHandedOutAtOnceNeverShareABuffer) {
  FrameFactory factory;
  for (int round = 0; round < 3; ++round) {
    std::vector<ICaptureFrame*> frames;
    std::set<std::uint8_t*> buffers;
    // More than the pool keeps, so some come from the pool and some are new.
    for (std::size_t i = 0; i < FrameFactory::kPooledPerCapacity + 4; ++i) {
      frames.push_back(factory.AllocateFrame(1, 131072, "t"));
      ASSERT_NE(frames.back(), nullptr);
      buffers.insert(frames.back()->GetData());
    }
    EXPECT_EQ(buffers.size(), frames.size()) << round;
    for (ICaptureFrame* frame : frames) factory.ReleaseFrame(frame);
  }
}

}  // namespace
}  // namespace tessavirn_host
