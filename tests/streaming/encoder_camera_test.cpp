// The encoder configuration against the camera simulator: the requests as the camera receives
// them, what they change, and where a failure stops the sequence.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "camera/http_client.h"
#include "camsim/faults.h"
#include "camsim/simulator.h"
#include "streaming/encoder_configuration.h"

namespace kalmora {
namespace {

constexpr const char* kAgent = "Kalmora::HttpClient";

const char* const kH264Mode = "/params/set.cgi?Video-1.Encoder-4.MediaSubType=H264";
const char* const kH264Body =
    "VideoInput.1.h264.1.Resolution=D1\r\n"
    "VideoInput.1.h264.1.FrameRate=25\r\n"
    "VideoInput.1.h264.1.GopSize=25\r\n"
    "VideoInput.1.h264.1.Bitrate=2166\r\n";
const char* const kH264Set =
    "/params/set.cgi?Video-1.Encoder-4.FrameRateDivider=1"
    "&Video-1.Encoder-4.BitrateMode=Constant%20bitrate%20non-drop"
    "&Video-1.Encoder-4.Resolution=D1"
    "&Video-1.Encoder-4.Bitrate=2166"
    "&Video-1.Encoder-4.StreamManager.StreamBandwidthLimit=2490"
    "&Video-1.Encoder-4.GopLength=25";

EncoderInputs H264Inputs(const char* media_type_option) {
  EncoderInputs in;
  in.input = 1;
  in.width = 720;
  in.height = 576;
  in.quality = 60;
  in.frame_interval_ms = 40;
  in.min_bitrate = "500";
  in.max_bitrate = "8000";
  in.media_type_option = media_type_option;
  return in;
}

class EncoderCameraTest : public ::testing::Test {
 protected:
  void StartCamera(const std::string& address) {
    std::string error;
    ASSERT_TRUE(camera_.LoadProfileFile(CAMSIM_PROFILE_DIR "/ptz_dome.params", &error)) << error;
    ASSERT_TRUE(camera_.Start(address, 0, &error)) << error;
    client_.SetHost(camera_.address().c_str());
    client_.SetPort(camera_.port());
  }
  void AddFault(const char* text) {
    std::string error;
    const auto fault = camsim::ParseFault(text, &error);
    ASSERT_TRUE(fault.has_value()) << error;
    camera_.AddFault(*fault);
  }
  bool Configure(const EncoderInputs& in, StreamProfile profile) {
    return SendEncoderRequests(client_, BuildEncoderRequests(in, profile));
  }
  void TearDown() override { camera_.Stop(); }

  camsim::Simulator camera_;
  Web::CHttpClient client_{kAgent, 5000};
};

TEST_F(EncoderCameraTest, H264ConfigurationArrivesAsBuilt) {
  StartCamera("127.0.0.147");
  ASSERT_TRUE(Configure(H264Inputs("1"), H264StreamProfile()));

  const auto log = camera_.RequestLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].method, "GET");
  EXPECT_EQ(log[0].target, kH264Mode);
  EXPECT_EQ(log[0].body, "");
  EXPECT_EQ(log[1].method, "POST");
  EXPECT_EQ(log[1].target, "/api/param.cgi");
  EXPECT_EQ(log[1].body, kH264Body);
  EXPECT_EQ(log[2].method, "GET");
  EXPECT_EQ(log[2].target, kH264Set);
  for (const auto& record : log) EXPECT_EQ(record.status, 200) << record.target;
  // The newer interface's H.264 stream took the values.
  EXPECT_EQ(camera_.GetParameter("VideoInput.1.h264.1.Bitrate"), "2166");
  EXPECT_EQ(camera_.GetParameter("VideoInput.1.h264.1.FrameRate"), "25");
  EXPECT_EQ(camera_.GetParameter("VideoInput.1.h264.1.GopSize"), "25");
}

TEST_F(EncoderCameraTest, ASizeOutsideTheListGoesOutWithAnEmptyResolution) {
  StartCamera("127.0.0.146");
  EncoderInputs in = H264Inputs(nullptr);
  in.width = 704;
  ASSERT_TRUE(Configure(in, H264StreamProfile()));
  const auto log = camera_.RequestLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].body,
            "VideoInput.1.h264.1.Resolution=\r\n"
            "VideoInput.1.h264.1.FrameRate=25\r\n"
            "VideoInput.1.h264.1.GopSize=25\r\n"
            "VideoInput.1.h264.1.Bitrate=2166\r\n");
  EXPECT_EQ(log[1].target,
            "/params/set.cgi?Video-1.Encoder-4.FrameRateDivider=1"
            "&Video-1.Encoder-4.BitrateMode=Constant%20bitrate%20non-drop"
            "&Video-1.Encoder-4.Resolution="
            "&Video-1.Encoder-4.Bitrate=2166"
            "&Video-1.Encoder-4.StreamManager.StreamBandwidthLimit=2490"
            "&Video-1.Encoder-4.GopLength=25");
}

TEST_F(EncoderCameraTest, MjpegConfigurationChangesTheFirstEncoder) {
  StartCamera("127.0.0.148");
  EncoderInputs in;
  in.width = 352;
  in.height = 240;
  in.ntsc = true;
  in.quality = 60;
  in.frame_interval_ms = 100;
  ASSERT_TRUE(Configure(in, MjpegStreamProfile()));

  ASSERT_EQ(camera_.RequestLog().size(), 2u);
  EXPECT_EQ(camera_.GetParameter("VideoInput.1.mjpeg.1.Resolution"), "CIF");
  EXPECT_EQ(camera_.GetParameter("VideoInput.1.mjpeg.1.Quality"), "46");
  EXPECT_EQ(camera_.GetParameter("VideoInput.1.mjpeg.1.GopSize"), "1");
  // The escaped bitrate mode arrives as the camera's own text.
  EXPECT_EQ(camera_.GetParameter("Video-1.Encoder-1.BitrateMode"), "Constant bitrate");
  EXPECT_EQ(camera_.GetParameter("Video-1.Encoder-1.Resolution"), "CIF");
  EXPECT_EQ(camera_.GetParameter("Video-1.Encoder-1.FrameRateDivider"), "3");
  EXPECT_EQ(camera_.GetParameter("Video-1.Encoder-1.Bitrate"), "7200");
  EXPECT_EQ(camera_.GetParameter("Video-1.Encoder-1.StreamManager.StreamBandwidthLimit"), "8280");
  EXPECT_EQ(camera_.GetParameter("Video-1.Encoder-1.GopLength"), "1");
}

TEST_F(EncoderCameraTest, MediaSubtypeRequestOnlyForOptionOne) {
  StartCamera("127.0.0.149");
  const char* const options[] = {"01x", "2", nullptr};
  for (const char* option : options) {
    camera_.ClearRequestLog();
    ASSERT_TRUE(Configure(H264Inputs(option), H264StreamProfile()));
    const auto log = camera_.RequestLog();
    ASSERT_EQ(log.size(), 2u) << (option != nullptr ? option : "(absent)");
    EXPECT_EQ(log[0].method, "POST");
    EXPECT_EQ(log[0].body, kH264Body);
    EXPECT_EQ(log[1].target, kH264Set);
  }
  camera_.ClearRequestLog();
  ASSERT_TRUE(Configure(H264Inputs("1"), H264StreamProfile()));
  const auto log = camera_.RequestLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].target, kH264Mode);
}

TEST_F(EncoderCameraTest, FailingStatusStopsTheConfiguration) {
  StartCamera("127.0.0.150");
  AddFault("status:api/*:500");
  EXPECT_FALSE(Configure(H264Inputs("1"), H264StreamProfile()));
  auto log = camera_.RequestLog();
  ASSERT_EQ(log.size(), 2u);  // the older generation's request is not sent
  EXPECT_EQ(log[0].target, kH264Mode);
  EXPECT_EQ(log[0].status, 200);
  EXPECT_EQ(log[1].target, "/api/param.cgi");
  EXPECT_EQ(log[1].status, 500);

  // A refused media subtype stops before the POST; a refused set request fails at the end.
  camera_.ClearFaults();
  camera_.ClearRequestLog();
  AddFault("status:params/set.cgi*:503:1");
  EXPECT_FALSE(Configure(H264Inputs("1"), H264StreamProfile()));
  log = camera_.RequestLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].status, 503);

  camera_.ClearRequestLog();
  AddFault("status:params/set.cgi*:404:1");
  EXPECT_FALSE(Configure(H264Inputs(nullptr), H264StreamProfile()));
  log = camera_.RequestLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1].status, 404);
  EXPECT_TRUE(Configure(H264Inputs(nullptr), H264StreamProfile()));
}

}  // namespace
}  // namespace kalmora
