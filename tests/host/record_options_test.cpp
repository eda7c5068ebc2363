#include "record_options.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

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

TEST(ParseChannelList, ListsRangesAndWhatIsRefused) {
  using Channels = std::vector<std::uint32_t>;
  struct Row {
    const char* text;
    std::optional<Channels> channels;  // nullopt: refused
    const char* error = "";            // part of the refusal
  };
  const Row rows[] = {
      {"1", Channels{1}},
      {"0-3", Channels{0, 1, 2, 3}},
      {"0,2", Channels{0, 2}},
      {"5,1-2,15", Channels{5, 1, 2, 15}},
      {"0-15", Channels{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}},
      {"", std::nullopt, "\"\" is not a channel"},
      {"1,", std::nullopt, "\"\" is not a channel"},
      {"a", std::nullopt, "\"a\" is not a channel"},
      {"-1", std::nullopt, "\"-1\" is not a channel"},
      {"1-2-3", std::nullopt, "is not a channel"},
      {" 1", std::nullopt, "is not a channel"},
      {"99999999999", std::nullopt, "is not a channel"},
      {"16", std::nullopt, "from 0 to 15, not \"16\""},
      {"3-1", std::nullopt, "\"3-1\" runs backwards"},
      {"0,0", std::nullopt, "channel 0 is listed twice"},
      {"0-3,2", std::nullopt, "channel 2 is listed twice"},
  };
  for (const Row& row : rows) {
    std::string error;
    const auto channels = ParseChannelList(row.text, error);
    EXPECT_EQ(channels, row.channels) << '"' << row.text << '"';
    if (!row.channels) {
      EXPECT_NE(error.find(row.error), std::string::npos) << '"' << row.text << "\": " << error;
    }
  }
}

TEST(ChannelFilePath, TheAddressAndChannelGoBeforeTheExtension) {
  struct Row {
    const char* path;
    const char* address;
    std::uint32_t channel;
    const char* expected;
  };
  const Row rows[] = {
      {"rec.h264", "10.0.0.5", 2, "rec-10.0.0.5-ch2.h264"},
      {"out/rec.h264", "cam-a.local", 0, "out/rec-cam-a.local-ch0.h264"},
      {"archive.2024/rec.tar.h264", "10.0.0.5", 3, "archive.2024/rec.tar-10.0.0.5-ch3.h264"},
      {".hidden", "10.0.0.5", 1, ".hidden-10.0.0.5-ch1"},
      {"/tmp/frames.log", "::1", 4, "/tmp/frames-__1-ch4.log"},
      {"rec.h264", "a/b c", 0, "rec-a_b_c-ch0.h264"},
      {"pics/", "10.0.0.5", 1, "pics-10.0.0.5-ch1"},
      {"shots.d//", "10.0.0.5", 1, "shots-10.0.0.5-ch1.d"},
      {"/dev/null", "10.0.0.5", 7, "/dev/null"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(ChannelFilePath(row.path, row.address, row.channel), row.expected) << row.path;
  }
  // Every channel of every camera gets a file of its own.
  std::set<std::string> names;
  for (const char* address : {"10.0.0.5", "10.0.0.50"}) {
    for (std::uint32_t channel = 0; channel < kChannelsPerCamera; ++channel) {
      names.insert(ChannelFilePath("rec.h264", address, channel));
    }
  }
  EXPECT_EQ(names.size(), 2 * kChannelsPerCamera);
}

}  // namespace
}  // namespace tessavirn_host
