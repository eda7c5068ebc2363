// "/video.jpg" and the test picture, checked by libjpeg's decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "camsim/jpeg_picture.h"
#include "camsim/video_jpeg.h"
#include "jpeg_decode.h"
#include "simulator_fixture.h"

namespace camsim_test {
namespace {

// The pictures a client finds in what it received: from each FF D8 to the next FF D9.
std::vector<std::string> CutPictures(const std::string& stream) {
  std::vector<std::string> pictures;
  std::size_t start = stream.find("\xFF\xD8");
  while (start != std::string::npos) {
    const std::size_t end = stream.find("\xFF\xD9", start + 2);
    if (end == std::string::npos) break;
    pictures.push_back(stream.substr(start, end + 2 - start));
    start = stream.find("\xFF\xD8", end + 2);
  }
  return pictures;
}

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

class VideoModeTest : public SimulatorTest {
 protected:
  void SetUp() override { StartWith("minimal_fixed", "127.0.0.50"); }
};

TEST_F(VideoModeTest, BodiesJoinToExactlyThePicturesServed) {
  using camsim::VideoJpegMode;
  const struct {
    const char* label;
    VideoJpegMode mode;
    std::optional<camsim::FaultKind> fault;
    int bodies;
    std::size_t in_each_body;  // complete pictures a body holds on its own
    std::size_t pictures;      // complete pictures in all bodies joined
  } kRows[] = {
      {"single", VideoJpegMode::kSingle, std::nullopt, 4, 1, 4},
      {"two per body, chunked", VideoJpegMode::kTwoPerBody, camsim::FaultKind::kChunked, 4, 2, 8},
      // A connection of its own for each body: the picture goes on where the last reply left it.
      {"split in two, close-delimited", VideoJpegMode::kSplitTwo,
       camsim::FaultKind::kCloseDelimited, 8, 0, 4},
      {"split in three", VideoJpegMode::kSplitThree, std::nullopt, 12, 0, 4},
      {"no picture", VideoJpegMode::kNoPicture, std::nullopt, 4, 0, 0},
  };
  for (const auto& row : kRows) {
    simulator_.SetVideoJpegSettings({.mode = row.mode, .fps = 200, .jitter_ms = 5, .seed = 3});
    simulator_.ClearServedPictures();
    simulator_.ClearFaults();
    if (row.fault) simulator_.AddFault({*row.fault, "video.jpg*", 0, -1});
    HttpTestClient client;
    std::string joined;
    std::vector<std::size_t> body_ends;
    const auto row_start = std::chrono::steady_clock::now();
    for (int i = 0; i < row.bodies; ++i) {
      const HttpResponse response = client.Get(Url("/video.jpg"));
      ASSERT_EQ(response.status, 200) << row.label;
      const std::vector<std::string> in_body = CutPictures(response.body);
      EXPECT_EQ(in_body.size(), row.in_each_body) << row.label;
      EXPECT_TRUE(in_body.size() < 2 || in_body[0] != in_body[1]) << row.label;
      joined += response.body;
      body_ends.push_back(joined.size());
      // A picture counts as served once the body with its end has gone out, not before.
      EXPECT_EQ(simulator_.ServedPictures().size(), CutPictures(joined).size()) << row.label;
    }
    const std::vector<std::string> found = CutPictures(joined);
    const std::vector<camsim::ServedPicture> served = simulator_.ServedPictures();
    ASSERT_EQ(found.size(), row.pictures) << row.label;
    ASSERT_EQ(served.size(), row.pictures) << row.label;
    for (std::size_t i = 0; i < found.size(); ++i) {
      EXPECT_TRUE(found[i] == served[i].jpeg) << row.label << ", picture " << i;
      EXPECT_TRUE(Decode(found[i]).ok) << row.label << ", picture " << i;
      EXPECT_GE(served[i].completed, row_start) << row.label;
      if (i > 0) {
        EXPECT_EQ(served[i].sequence, served[i - 1].sequence + 1) << row.label;
        EXPECT_GE(served[i].completed, served[i - 1].completed) << row.label;
      }
    }
    // Split pictures: some body ends within the first 4 bytes of a picture, where a client that
    // looks for markers in each body alone loses it.
    bool cut_near_a_start = false;
    for (std::size_t start = joined.find("\xFF\xD8"); start != std::string::npos;
         start = joined.find("\xFF\xD8", start + 2)) {
      for (std::size_t end : body_ends) cut_near_a_start |= end > start && end < start + 4;
    }
    EXPECT_EQ(cut_near_a_start, row.in_each_body == 0 && row.pictures > 0) << row.label;
  }
}

TEST_F(VideoModeTest, NoPictureBodiesAreAnErrorPageOrAPictureWithoutEnd) {
  simulator_.SetVideoJpegSettings({.mode = camsim::VideoJpegMode::kNoPicture});
  HttpTestClient client;
  const std::string page = client.Get(Url("/video.jpg")).body;
  const std::string truncated = client.Get(Url("/video.jpg")).body;
  EXPECT_TRUE(page.starts_with("<html>")) << page;
  EXPECT_EQ(page.find('\xFF'), std::string::npos);
  EXPECT_TRUE(truncated.starts_with("\xFF\xD8")) << truncated.size();
  EXPECT_GT(truncated.size(), 100u);
  EXPECT_EQ(truncated.find("\xFF\xD9"), std::string::npos);
}

TEST_F(VideoModeTest, TheLaterOfPictureAndSettingsChoosesThePictures) {
  const std::string small = camsim::EncodeTestPicture(176, 144, 50);
  simulator_.SetVideoJpegSettings({.mode = camsim::VideoJpegMode::kTwoPerBody});
  simulator_.SetJpegPicture(small);
  HttpTestClient client;
  EXPECT_TRUE(client.Get(Url("/video.jpg")).body == small + small);
  simulator_.SetVideoJpegSettings({.width = 320, .height = 240});
  const DecodedPicture moving = Decode(client.Get(Url("/video.jpg")).body);
  ASSERT_TRUE(moving.ok);
  EXPECT_EQ(moving.width, 320);
}

TEST_F(VideoModeTest, AdminPathChangesTheSettingsAndRefusesBadValues) {
  HttpTestClient client;
  const HttpResponse set =
      client.Get(Url("/camsim/video?mode=split-three&fps=10&jitter=40&seed=4000000000"));
  EXPECT_EQ(set.status, 200);
  EXPECT_TRUE(
      set.body.starts_with("mode=split-three\r\nfps=10\r\njitter=40\r\nseed=4000000000\r\n"))
      << set.body;
  EXPECT_EQ(simulator_.video_jpeg_settings().mode, camsim::VideoJpegMode::kSplitThree);
  EXPECT_EQ(simulator_.video_jpeg_settings().seed, 4000000000u);
  for (const char* bad : {"mode=sideways", "fps=0", "fps=1001", "jitter=-1", "seed=4294967296",
                          "width=", "quality=7x", "colour=red"}) {
    EXPECT_EQ(client.Get(Url(std::string("/camsim/video?") + bad)).status, 400) << bad;
  }
  EXPECT_EQ(simulator_.video_jpeg_settings().fps, 10);
}

TEST(VideoJpegStreamTest, TheFrameFollowsTheClockAndLoops) {
  const auto epoch = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
  camsim::VideoJpegStream stream("");
  stream.SetLoop({.fps = 25}, {"f0", "f1", "f2"}, epoch);
  const struct { int ms; const char* frame; } kRows[] = {
      {-5, "f0"}, {0, "f0"}, {39, "f0"}, {40, "f1"}, {119, "f2"}, {120, "f0"}, {1000, "f1"},
  };
  for (const auto& row : kRows) {
    EXPECT_EQ(stream.PictureAt(epoch + std::chrono::milliseconds(row.ms)), row.frame) << row.ms;
  }
}

TEST(VideoJpegStreamTest, JitterIsASeededDrawWithinItsBound) {
  auto delays = [](std::uint32_t seed) {
    camsim::VideoJpegStream stream("");
    const auto now = std::chrono::steady_clock::now();
    stream.SetLoop({.jitter_ms = 30, .seed = seed}, {"\xFF\xD8\xFF\xD9"}, now);
    std::vector<long> drawn;
    for (int i = 0; i < 64; ++i) drawn.push_back(stream.NextBody(now).delay.count());
    return drawn;
  };
  const std::vector<long> drawn = delays(7);
  EXPECT_EQ(drawn, delays(7));
  EXPECT_NE(drawn, delays(8));
  EXPECT_GE(*std::min_element(drawn.begin(), drawn.end()), 0);
  EXPECT_LE(*std::max_element(drawn.begin(), drawn.end()), 30);
  EXPECT_GT(*std::max_element(drawn.begin(), drawn.end()), 15);  // spread over the range
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
