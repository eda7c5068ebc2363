// "/video.jpg" and the test picture, checked by libjpeg's decoder.
#include <gtest/gtest.h>

#include <string>

#include "camsim/jpeg_picture.h"
#include "jpeg_decode.h"
#include "simulator_fixture.h"

namespace camsim_test {
namespace {

class VideoTest : public SimulatorTest {
 protected:
  void SetUp() override { StartWith("minimal_fixed", "127.0.0.27"); }
};

TEST_F(VideoTest, ServesAJpegThatLibjpegDecodes) {
  HttpTestClient client;
  const HttpResponse response = client.Get(Url("/video.jpg"));
  ASSERT_EQ(response.status, 200);
  EXPECT_TRUE(response.has_header("Content-Type: image/jpeg"));
  const DecodedPicture picture = Decode(response.body);
  ASSERT_TRUE(picture.ok);
  EXPECT_EQ(picture.width, 640);
  EXPECT_EQ(picture.height, 480);
  EXPECT_EQ(picture.components, 3);
  // The first colour bar is near white, the last near black.
  EXPECT_GT(picture.pixels[3 * 10], 200);
  EXPECT_LT(picture.pixels[3 * 630], 60);
}

TEST_F(VideoTest, ServesThePictureItWasGiven) {
  const std::string small = camsim::EncodeTestPicture(176, 144, 50);
  simulator_.SetJpegPicture(small);
  HttpTestClient client;
  const HttpResponse response = client.Get(Url("/video.jpg?resolution=QCIF"));
  EXPECT_EQ(response.body, small);
  const DecodedPicture picture = Decode(response.body);
  ASSERT_TRUE(picture.ok);
  EXPECT_EQ(picture.width, 176);
  EXPECT_EQ(picture.height, 144);
}

TEST_F(VideoTest, OnlyReadsAreAllowed) {
  HttpTestClient client;
  EXPECT_EQ(client.Post(Url("/video.jpg"), "x").status, 405);
}

TEST(TestPictureTest, QualityChangesTheEncoding) {
  const std::string low = camsim::EncodeTestPicture(320, 240, 10);
  const std::string high = camsim::EncodeTestPicture(320, 240, 95);
  ASSERT_FALSE(low.empty());
  EXPECT_LT(low.size(), high.size());
  EXPECT_TRUE(Decode(low).ok);
  EXPECT_TRUE(Decode(high).ok);
  // Start and end of image markers.
  EXPECT_EQ(high.substr(0, 2), "\xFF\xD8");
  EXPECT_EQ(high.substr(high.size() - 2), "\xFF\xD9");
}

TEST(TestPictureTest, RefusesSizesOutOfRange) {
  EXPECT_TRUE(camsim::EncodeTestPicture(0, 240, 75).empty());
  EXPECT_TRUE(camsim::EncodeTestPicture(320, -1, 75).empty());
  EXPECT_TRUE(camsim::EncodeTestPicture(5000, 240, 75).empty());
  EXPECT_TRUE(Decode(camsim::EncodeTestPicture(1, 1, 75)).ok);
}

TEST(TestPictureTest, DecoderCatchesATruncatedPicture) {
  const std::string picture = camsim::EncodeTestPicture(320, 240, 75);
  EXPECT_FALSE(Decode(picture.substr(0, picture.size() / 2)).ok);
}

}  // namespace
}  // namespace camsim_test
