#include "record_options.h"

#include <gtest/gtest.h>

#include "host/types.h"

namespace tessavirn_host {
namespace {

using Parameters = std::map<std::uint32_t, std::string>;

TEST(RecordDefaults, RequiredParametersAreFilledOnlyWhereNotGiven) {
  DeviceConfig config;
  FillDefaultCustomParameters(config);
  EXPECT_EQ(config.custom_parameters, (Parameters{{1, "5000"}, {2, "0"}, {6, "0"}, {8, "0"}}));
  EXPECT_TRUE(DescribeRequiredParameterProblems(config).empty());

  // Given values stay, malformed ones too (the driver's refusal then names them), and other
  // parameters are left alone.
  config.custom_parameters = {{1, "2000"}, {6, "1"}, {8, "x"}, {3, "ZD-220"}, {14, "4.2.1"}};
  FillDefaultCustomParameters(config);
  EXPECT_EQ(config.custom_parameters,
            (Parameters{{1, "2000"}, {2, "0"}, {3, "ZD-220"}, {6, "1"}, {8, "x"}, {14, "4.2.1"}}));
  // An empty text is a given value as well.
  config.custom_parameters = {{2, ""}};
  FillDefaultCustomParameters(config);
  EXPECT_EQ(config.custom_parameters.at(2), "");
}

TEST(RecordDefaults, OutputFileFollowsTheStreamType) {
  EXPECT_EQ(DefaultRecordPath(kalmora::ipcapture::kStreamH264), "record.h264");
  EXPECT_EQ(DefaultRecordPath(kalmora::ipcapture::kStreamMjpeg), "record.mjpeg");
  EXPECT_EQ(DefaultRecordPath(kalmora::ipcapture::kStreamMpeg4), "record.m4v");
  EXPECT_EQ(DefaultRecordPath(9), "record.bin");
  const RecordOptions options;
  EXPECT_EQ(options.device.stream_type, kalmora::ipcapture::kStreamH264);
  EXPECT_EQ(options.seconds, 10u);
  EXPECT_EQ(options.interval_ms, 40u);
}

TEST(ParsePictureSize, AcceptsWidthByHeight) {
  EXPECT_EQ(ParsePictureSize("640x480"), std::make_pair(std::uint16_t{640}, std::uint16_t{480}));
  EXPECT_EQ(ParsePictureSize("1x65535"), std::make_pair(std::uint16_t{1}, std::uint16_t{65535}));
}

TEST(ParsePictureSize, RejectsEverythingElse) {
  for (const char* bad : {"", "640", "0x480", "640x0", "axb", "x480", "640x", "640x480x2", "-640x480", "+640x480",
                          "640 x480", "65536x480", "640X480", "640x480 "}) {
    EXPECT_FALSE(ParsePictureSize(bad)) << '"' << bad << '"';
  }
}

}  // namespace
}  // namespace tessavirn_host
