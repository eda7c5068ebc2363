// The encoder numbers and the request texts built from them.
#include "streaming/encoder_configuration.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kalmora {
namespace {

TEST(EncoderConfigurationTest, StreamProfiles) {
  const StreamProfile h264 = H264StreamProfile();
  EXPECT_EQ(h264.stream_name, "h264");
  EXPECT_EQ(h264.media_subtype, "H264");
  EXPECT_EQ(h264.bitrate_mode, "Constant bitrate non-drop");
  EXPECT_EQ(h264.encoder_index, 4u);
  const StreamProfile mjpeg = MjpegStreamProfile();
  EXPECT_EQ(mjpeg.stream_name, "mjpeg");
  EXPECT_EQ(mjpeg.media_subtype, "MJPEG");
  EXPECT_EQ(mjpeg.bitrate_mode, "Constant bitrate");
  EXPECT_EQ(mjpeg.encoder_index, 1u);
  const StreamProfile mpeg4 = Mpeg4StreamProfile();
  EXPECT_EQ(mpeg4.stream_name, "mpeg4");
  EXPECT_EQ(mpeg4.media_subtype, "MPEG-4");
  EXPECT_EQ(mpeg4.bitrate_mode, "Variable bitrate non-drop");
  EXPECT_EQ(mpeg4.encoder_index, 1u);
}

TEST(EncoderConfigurationTest, ResolutionNamesForBothVideoStandards) {
  struct Row {
    const char* name;
    unsigned width, pal_height, ntsc_height;
  };
  const Row rows[] = {
      {"D1", 720, 576, 480},   {"1/2 D1", 352, 576, 480}, {"2CIF", 720, 288, 240}, {"CIF", 352, 288, 240},
      {"QCIF", 176, 144, 128}, {"2/3 D1", 480, 576, 480}, {"VGA", 640, 480, 480},  {"QVGA", 320, 240, 240},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(ResolutionName(row.width, row.pal_height, false), row.name);
    EXPECT_EQ(ResolutionName(row.width, row.ntsc_height, true), row.name);
  }
  // The height column follows the flag: QCIF is 176 x 128 with it, and 176 x 120 is nothing.
  EXPECT_EQ(ResolutionName(176, 128, false), "");
  EXPECT_EQ(ResolutionName(176, 144, true), "");
  EXPECT_EQ(ResolutionName(176, 120, true), "");
  EXPECT_EQ(ResolutionName(720, 480, false), "");
  EXPECT_EQ(ResolutionName(704, 576, false), "");
  EXPECT_EQ(ResolutionName(0, 0, false), "");
}

TEST(EncoderConfigurationTest, FrameRateAndQualityValue) {
  EXPECT_EQ(EncoderFrameRate(40), 25u);
  EXPECT_EQ(EncoderFrameRate(33), 30u);
  EXPECT_EQ(EncoderFrameRate(100), 10u);
  EXPECT_EQ(EncoderFrameRate(0), 1000u);  // counts as 1 ms
  EXPECT_EQ(EncoderFrameRate(1), 1000u);
  EXPECT_EQ(EncoderFrameRate(1000), 1u);
  EXPECT_EQ(EncoderFrameRate(1001), 1u);  // never 0
  EXPECT_EQ(EncoderFrameRate(2000), 1u);
  EXPECT_EQ(EncoderFrameRate(0xFFFFFFFFu), 1u);

  EXPECT_EQ(EncoderQualityValue(0), 10u);
  EXPECT_EQ(EncoderQualityValue(1), 10u);
  EXPECT_EQ(EncoderQualityValue(50), 40u);
  EXPECT_EQ(EncoderQualityValue(60), 46u);
  EXPECT_EQ(EncoderQualityValue(99), 69u);
  EXPECT_EQ(EncoderQualityValue(100), 70u);
  EXPECT_EQ(EncoderQualityValue(101), 70u);
  EXPECT_EQ(EncoderQualityValue(0xFFFFFFFFu), 70u);
}

TEST(EncoderConfigurationTest, MjpegBitrateFollowsTheQualityAlone) {
  EXPECT_EQ(RtspBitrate("MJPEG", 60, 25, nullptr, nullptr), 7200u);
  EXPECT_EQ(RtspBitrate("MJPEG", 0, 25, "500", "8000"), 3000u);
  EXPECT_EQ(RtspBitrate("MJPEG", 100, 1, nullptr, nullptr), 10000u);
  EXPECT_EQ(RtspBitrate("MJPEG", 5, 30, nullptr, nullptr), 3350u);  // not raised to 10
  EXPECT_EQ(RtspBitrate("MJPEG", 200, 30, nullptr, nullptr), 17000u);  // not limited
  EXPECT_EQ(RtspBitrate("MJPEG", 0xFFFFFFFFu, 30, nullptr, nullptr), 0xFFFFFFFFu);
}

TEST(EncoderConfigurationTest, Mpeg4BitrateBetweenTheMinimumAnd7500) {
  // q 5 counts as 10: trunc(7300 x 0.1) = 730, (730 + 200) x 30 / 30 = 930.
  EXPECT_EQ(RtspBitrate("MPEG-4", 5, 30, "200", nullptr), 930u);
  EXPECT_EQ(RtspBitrate("MPEG-4", 10, 30, "200", "1"), 930u);  // the maximum plays no part
  EXPECT_EQ(RtspBitrate("MPEG-4", 100, 30, "0", nullptr), 7500u);
  EXPECT_EQ(RtspBitrate("MPEG-4", 100, 60, "0", nullptr), 7500u);  // at most 7500
  // trunc(6500 x 0.46) = 2990, (2990 + 1000) x 10 / 30 = 1330.
  EXPECT_EQ(RtspBitrate("MPEG-4", 46, 10, "1000", nullptr), 1330u);
  EXPECT_EQ(RtspBitrate("MPEG-4", 10, 1, "1000", nullptr), 1000u);  // at least the minimum
  EXPECT_EQ(RtspBitrate("MPEG-4", 60, 30, "+200", nullptr), 4580u);
  // A minimum above the ceiling is the result.
  EXPECT_EQ(RtspBitrate("MPEG-4", 60, 30, "9000", nullptr), 9000u);
  // Without a readable minimum nothing is computed.
  EXPECT_EQ(RtspBitrate("MPEG-4", 60, 30, nullptr, nullptr), 0u);
  EXPECT_EQ(RtspBitrate("MPEG-4", 60, 30, "", nullptr), 0u);
  EXPECT_EQ(RtspBitrate("MPEG-4", 60, 30, "200k", nullptr), 0u);
  EXPECT_EQ(RtspBitrate("MPEG-4", 60, 30, " 200", nullptr), 0u);
  EXPECT_EQ(RtspBitrate("MPEG-4", 60, 30, "2147483648", nullptr), 0u);
}

TEST(EncoderConfigurationTest, H264BitrateBetweenTheMinimumAndHalfTheMaximum) {
  // H = 4000; trunc(3500 x 0.6) = 2100; (2100 + 500) x 25 / 30 = 2166.
  EXPECT_EQ(RtspBitrate("H264", 60, 25, "500", "8000"), 2166u);
  EXPECT_EQ(RtspBitrate("H264", 60, 25, "500", "8001"), 2166u);  // H = 8001 / 2 = 4000
  EXPECT_EQ(RtspBitrate("H264", 100, 30, "500", "8000"), 4000u);
  EXPECT_EQ(RtspBitrate("H264", 100, 60, "500", "8000"), 4000u);  // at most H
  EXPECT_EQ(RtspBitrate("H264", 0, 1, "500", "8000"), 500u);      // at least M
  // q 0 counts as 10: trunc(3500 x 0.1) = 350, 850 x 30 / 30.
  EXPECT_EQ(RtspBitrate("H264", 0, 30, "500", "8000"), 850u);
  // A minimum above H is the result, whatever the intermediate values.
  EXPECT_EQ(RtspBitrate("H264", 60, 25, "5000", "8000"), 5000u);
  EXPECT_EQ(RtspBitrate("H264", 60, 25, "500", "-8001"), 500u);  // H = -4000
  // A negative minimum with a negative result: never below 0.
  EXPECT_EQ(RtspBitrate("H264", 10, 1, "-1000", "8000"), 0u);
  EXPECT_EQ(RtspBitrate("H264", 60, 30, "-1000", "8000"), 2000u);
  // Values whose product overflows 32 bits: computed without wrapping, then limited to H.
  EXPECT_EQ(RtspBitrate("H264", 100, 1000, "0", "2147483647"), 1073741823u);
  EXPECT_EQ(RtspBitrate("H264", 0xFFFFFFFFu, 1000, "-2147483648", "2147483647"), 1073741823u);
  // Either limit missing or not an integer: 0.
  EXPECT_EQ(RtspBitrate("H264", 60, 25, "500", nullptr), 0u);
  EXPECT_EQ(RtspBitrate("H264", 60, 25, nullptr, "8000"), 0u);
  EXPECT_EQ(RtspBitrate("H264", 60, 25, "500", "8000.0"), 0u);
  EXPECT_EQ(RtspBitrate("H264", 60, 25, "500", "-"), 0u);
  // Anything that is neither MJPEG nor MPEG-4 follows this rule.
  EXPECT_EQ(RtspBitrate("", 60, 25, "500", "8000"), 2166u);
}

EncoderInputs H264Inputs() {
  EncoderInputs in;
  in.input = 1;
  in.width = 720;
  in.height = 576;
  in.quality = 60;
  in.frame_interval_ms = 40;
  in.min_bitrate = "500";
  in.max_bitrate = "8000";
  return in;
}

TEST(EncoderConfigurationTest, H264Requests) {
  EncoderInputs in = H264Inputs();
  in.media_type_option = "1";
  StreamProfile profile = H264StreamProfile();
  const auto requests = BuildEncoderRequests(in, profile);
  EXPECT_EQ(profile.resolution_name, "D1");
  EXPECT_EQ(profile.bitrate, 2166u);
  EXPECT_EQ(profile.frame_rate, 25u);
  EXPECT_EQ(profile.quality, 46u);

  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].verb, "GET");
  EXPECT_EQ(requests[0].path, "params/set.cgi?Video-1.Encoder-4.MediaSubType=H264");
  EXPECT_EQ(requests[0].body, "");
  EXPECT_EQ(requests[1].verb, "POST");
  EXPECT_EQ(requests[1].path, "/api/param.cgi");
  EXPECT_EQ(requests[1].body,
            "VideoInput.1.h264.1.Resolution=D1\r\n"
            "VideoInput.1.h264.1.FrameRate=25\r\n"
            "VideoInput.1.h264.1.GopSize=25\r\n"
            "VideoInput.1.h264.1.Bitrate=2166\r\n");
  EXPECT_EQ(requests[2].verb, "GET");
  EXPECT_EQ(requests[2].path,
            "params/set.cgi?Video-1.Encoder-4.FrameRateDivider=1"
            "&Video-1.Encoder-4.BitrateMode=Constant bitrate non-drop"
            "&Video-1.Encoder-4.Resolution=D1"
            "&Video-1.Encoder-4.Bitrate=2166"
            "&Video-1.Encoder-4.StreamManager.StreamBandwidthLimit=2490"
            "&Video-1.Encoder-4.GopLength=25");
  EXPECT_EQ(requests[2].body, "");
}

TEST(EncoderConfigurationTest, MjpegRequestsCarryQualityAndGopOne) {
  EncoderInputs in;
  in.input = 3;
  in.width = 352;
  in.height = 480;
  in.quality = 60;
  in.frame_interval_ms = 100;
  in.ntsc = true;
  StreamProfile profile = MjpegStreamProfile();
  const auto requests = BuildEncoderRequests(in, profile);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].body,
            "VideoInput.3.mjpeg.1.Resolution=1/2 D1\r\n"
            "VideoInput.3.mjpeg.1.FrameRate=10\r\n"
            "VideoInput.3.mjpeg.1.Quality=46\r\n"
            "VideoInput.3.mjpeg.1.GopSize=1\r\n"
            "VideoInput.3.mjpeg.1.Bitrate=7200\r\n");
  // Divider trunc(30 / 10 + 0.5) = 3; limit trunc(7200 x 1.15) = 8280.
  EXPECT_EQ(requests[1].path,
            "params/set.cgi?Video-3.Encoder-1.FrameRateDivider=3"
            "&Video-3.Encoder-1.BitrateMode=Constant bitrate"
            "&Video-3.Encoder-1.Resolution=1/2 D1"
            "&Video-3.Encoder-1.Bitrate=7200"
            "&Video-3.Encoder-1.StreamManager.StreamBandwidthLimit=8280"
            "&Video-3.Encoder-1.GopLength=1");
}

TEST(EncoderConfigurationTest, Mpeg4RequestsWithAnUnknownSize) {
  EncoderInputs in;
  in.width = 704;
  in.height = 576;
  in.quality = 5;
  in.frame_interval_ms = 33;
  in.min_bitrate = "200";
  in.media_type_option = "1";
  StreamProfile profile = Mpeg4StreamProfile();
  const auto requests = BuildEncoderRequests(in, profile);
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].path, "params/set.cgi?Video-1.Encoder-1.MediaSubType=MPEG-4");
  EXPECT_EQ(requests[1].body,
            "VideoInput.1.mpeg4.1.Resolution=\r\n"
            "VideoInput.1.mpeg4.1.FrameRate=30\r\n"
            "VideoInput.1.mpeg4.1.GopSize=30\r\n"
            "VideoInput.1.mpeg4.1.Bitrate=930\r\n");
  // Divider trunc(25 / 30 + 0.5) = 1; limit trunc(930 + 139.5) = 1069.
  EXPECT_EQ(requests[2].path,
            "params/set.cgi?Video-1.Encoder-1.FrameRateDivider=1"
            "&Video-1.Encoder-1.BitrateMode=Variable bitrate non-drop"
            "&Video-1.Encoder-1.Resolution="
            "&Video-1.Encoder-1.Bitrate=930"
            "&Video-1.Encoder-1.StreamManager.StreamBandwidthLimit=1069"
            "&Video-1.Encoder-1.GopLength=30");
}

TEST(EncoderConfigurationTest, FrameRateDivider) {
  struct Case {
    unsigned interval;
    bool ntsc;
    const char* divider;
  };
  // 30 / 10 + 0.5 and 25 / 10 + 0.5 both give 3; at 1 frame per second the divider is the base rate.
  const Case cases[] = {{100, true, "3"}, {100, false, "3"}, {2000, false, "25"}, {2000, true, "30"},
                        {40, false, "1"}, {0, false, "0"},   {200, false, "5"}};
  for (const Case& c : cases) {
    EncoderInputs in = H264Inputs();
    in.frame_interval_ms = c.interval;
    in.ntsc = c.ntsc;
    StreamProfile profile = H264StreamProfile();
    const auto requests = BuildEncoderRequests(in, profile);
    ASSERT_EQ(requests.size(), 2u);
    const std::string expected = std::string("params/set.cgi?Video-1.Encoder-4.FrameRateDivider=") + c.divider + "&";
    EXPECT_EQ(requests[1].path.substr(0, expected.size()), expected) << c.interval << " " << c.ntsc;
  }
  EncoderInputs slow = H264Inputs();
  slow.frame_interval_ms = 2000;
  StreamProfile profile = H264StreamProfile();
  const auto requests = BuildEncoderRequests(slow, profile);
  EXPECT_EQ(profile.frame_rate, 1u);
  EXPECT_NE(requests[0].body.find("VideoInput.1.h264.1.FrameRate=1\r\n"), std::string::npos);
  EXPECT_NE(requests[1].path.find("&Video-1.Encoder-4.GopLength=1"), std::string::npos);
}

TEST(EncoderConfigurationTest, WithoutMaximumEveryRequestCarriesBitrateZero) {
  EncoderInputs in = H264Inputs();
  in.max_bitrate = nullptr;
  StreamProfile profile = H264StreamProfile();
  const auto requests = BuildEncoderRequests(in, profile);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(profile.bitrate, 0u);
  EXPECT_NE(requests[0].body.find("VideoInput.1.h264.1.Bitrate=0\r\n"), std::string::npos);
  EXPECT_NE(requests[1].path.find("&Video-1.Encoder-4.Bitrate=0&"), std::string::npos);
  EXPECT_NE(requests[1].path.find("&Video-1.Encoder-4.StreamManager.StreamBandwidthLimit=0&"), std::string::npos);
}

TEST(EncoderConfigurationTest, MediaSubtypeRequestOnlyWhenTheOptionReadsAsOne) {
  const struct {
    const char* option;
    bool present;
  } cases[] = {{"1", true}, {"+1", true}, {"01", true}, {"01x", false}, {"2", false},
               {"0", false}, {"", false}, {" 1", false}, {nullptr, false}};
  for (const auto& c : cases) {
    EncoderInputs in = H264Inputs();
    in.media_type_option = c.option;
    StreamProfile profile = H264StreamProfile();
    const auto requests = BuildEncoderRequests(in, profile);
    const char* shown = c.option != nullptr ? c.option : "(absent)";
    ASSERT_EQ(requests.size(), c.present ? 3u : 2u) << shown;
    EXPECT_EQ(requests[0].verb == "GET", c.present) << shown;
    EXPECT_EQ(requests[c.present ? 1 : 0].verb, "POST") << shown;
  }
}

}  // namespace
}  // namespace kalmora
