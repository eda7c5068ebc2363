#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "driver/log_level.h"
#include "driver_fixture.h"
#include "streaming/channel_classes.h"

namespace kalmora {
namespace {

using testing::MinimalConfig;
using testing::OpenedDriver;

TEST(DriverOpen, RequiredParametersOnlyOpensAndNoticeShowsNoFirmware) {
  OpenedDriver d;
  ASSERT_TRUE(d.Open());
  const auto entries = d.sink.Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].level, 3);
  EXPECT_EQ(entries[0].text,
            "DRIVER IS OPENED (name: Tessavirn, device model: ZD-220 Dome, FW: (none), address: 127.0.0.1:8080)");
  EXPECT_NE(d.driver.GetVideoCapture(), nullptr);
  EXPECT_NE(d.driver.GetCaptureIOApi(), nullptr);
  EXPECT_EQ(d.driver.GetPTZDriver(), nullptr);
  EXPECT_EQ(d.driver.GetPTZDriverEx(), nullptr);
}

TEST(DriverOpen, CopiesTheHostsConfiguration) {
  auto config = MinimalConfig();
  config.user = "operator";
  config.password = "s3cret";
  config.video_channels = 4;
  for (std::uint32_t i = 3; i <= 13; ++i) config.custom_parameters[i] = "0";
  config.custom_parameters[14] = "3.12.7";
  OpenedDriver d(config);
  ASSERT_TRUE(d.Open());
  EXPECT_EQ(d.driver.address(), "127.0.0.1");
  EXPECT_EQ(d.driver.port(), 8080);
  EXPECT_EQ(d.driver.user_name(), "operator");
  EXPECT_EQ(d.driver.password(), "s3cret");
  EXPECT_EQ(d.driver.stream_type(), 3);
  EXPECT_EQ(d.driver.video_channel_count(), 4);
  EXPECT_EQ(d.driver.digital_input_count(), 2);
  EXPECT_EQ(d.driver.digital_output_count(), 1);
  EXPECT_EQ(d.driver.frame_factory(), &d.frames);
  EXPECT_EQ(d.driver.GetCaptureIOApi()->GetInputCount(), 2);
  EXPECT_EQ(d.driver.GetCaptureIOApi()->GetOutputCount(), 1);
  EXPECT_EQ(d.driver.GetVideoCapture()->GetChannelCount(), 4);
  ASSERT_EQ(d.sink.Find("FW: 3.12.7,").size(), 1u);
}

TEST(DriverOpen, FirmwareBehindAGapIsNeverSeen) {
  auto config = MinimalConfig();
  config.custom_parameters[14] = "3.12.7";
  OpenedDriver d(config);
  ASSERT_TRUE(d.Open());
  EXPECT_EQ(d.sink.Find("FW: (none),").size(), 1u);
  EXPECT_EQ(d.driver.CustomParameterText(14), nullptr);
}

TEST(DriverOpen, NetworkTimeoutSetsBothTimeoutsOnlyWhenPositive) {
  for (const char* text : {"0", "-5"}) {
    auto config = MinimalConfig();
    config.custom_parameters[1] = text;
    OpenedDriver d(config);
    ASSERT_TRUE(d.Open()) << text;
    EXPECT_EQ(d.driver.communication_timeout_ms(), 5000u) << text;
    EXPECT_EQ(d.driver.long_timeout_ms(), 10000u) << text;
  }
  auto config = MinimalConfig();
  config.custom_parameters[1] = "2000";
  OpenedDriver d(config);
  ASSERT_TRUE(d.Open());
  EXPECT_EQ(d.driver.communication_timeout_ms(), 2000u);
  EXPECT_EQ(d.driver.long_timeout_ms(), 4000u);
}

TEST(DriverOpen, VideoStandardAndMjpegTransportFlags) {
  auto config = MinimalConfig();
  config.custom_parameters[2] = "-3";
  config.custom_parameters[6] = "2";
  OpenedDriver d(config);
  ASSERT_TRUE(d.Open());
  EXPECT_TRUE(d.driver.ntsc());
  EXPECT_FALSE(d.driver.mjpeg_over_http());

  config.custom_parameters[2] = "0";
  config.custom_parameters[6] = "1";
  OpenedDriver http(config);
  ASSERT_TRUE(http.Open());
  EXPECT_FALSE(http.driver.ntsc());
  EXPECT_TRUE(http.driver.mjpeg_over_http());
}

TEST(DriverOpen, MissingOrMalformedRequiredParameterFailsSilently) {
  struct Case {
    std::uint32_t index;
    const char* text;  // null: absent
  };
  const Case cases[] = {{1, nullptr}, {2, "abc"}, {2, "-"}, {2, ""},     {6, nullptr},
                        {6, "1.0"},   {8, nullptr}, {8, "x"}, {8, "-1"}, {8, "-2147483648"}};
  for (const auto& c : cases) {
    auto config = MinimalConfig();
    if (c.text == nullptr) {
      config.custom_parameters.erase(c.index);
    } else {
      config.custom_parameters[c.index] = c.text;
    }
    OpenedDriver d(config);
    EXPECT_FALSE(d.Open()) << "parameter " << c.index << " = " << (c.text ? c.text : "(absent)");
    EXPECT_TRUE(d.sink.Entries().empty()) << "parameter " << c.index;
    EXPECT_EQ(d.driver.GetPTZDriver(), nullptr);
  }
}

TEST(DriverOpen, PtzChannelCountCreatesTheHandler) {
  auto config = MinimalConfig();
  config.custom_parameters[8] = "+0";
  OpenedDriver none(config);
  ASSERT_TRUE(none.Open());
  EXPECT_EQ(none.driver.GetPTZDriver(), nullptr);
  EXPECT_EQ(none.driver.GetPTZDriverEx(), nullptr);

  config.custom_parameters[8] = "3";
  OpenedDriver three(config);
  ASSERT_TRUE(three.Open());
  ASSERT_NE(three.driver.GetPTZDriver(), nullptr);
  EXPECT_EQ(static_cast<IIPPTZDriver*>(three.driver.GetPTZDriverEx()), three.driver.GetPTZDriver());
  // Control objects are not built yet: every channel, in range or not, gives null.
  EXPECT_EQ(three.driver.GetPTZDriver()->GetPTZApi(0), nullptr);
  EXPECT_EQ(three.driver.GetPTZDriverEx()->GetPTZApiEx(3), nullptr);
}

TEST(DriverOpen, SecondOpenFailsOnceAPtzObjectExists) {
  auto config = MinimalConfig();
  config.custom_parameters[8] = "1";
  OpenedDriver d(config);
  ASSERT_TRUE(d.Open());
  EXPECT_FALSE(d.Open());
  EXPECT_EQ(d.sink.Find("DRIVER IS OPENED").size(), 1u);
}

TEST(DriverOpen, CustomParameterListEndsAtTheFirstGap) {
  auto config = MinimalConfig();
  config.custom_parameters = {{1, "5000"}, {2, "0"}, {3, "ZD-220"}, {5, "8000"}, {6, "0"}, {8, "0"}};
  OpenedDriver d(config);
  ASSERT_TRUE(d.Open());  // 6 and 8 are asked of the host directly
  EXPECT_STREQ(d.driver.CustomParameterText(3), "ZD-220");
  EXPECT_EQ(d.driver.CustomParameterText(4), nullptr);
  EXPECT_EQ(d.driver.CustomParameterText(5), nullptr);
  EXPECT_EQ(d.driver.CustomParameterInteger(5), kNoCustomInteger);
  EXPECT_EQ(d.driver.CustomParameterInteger(6), kNoCustomInteger);
  EXPECT_EQ(d.driver.CustomParameterInteger(1), 5000);
}

TEST(DriverOpen, NullHostObjectsFailInsteadOfCrashing) {
  testing::VersionedDriver driver;
  EXPECT_FALSE(driver.Open(nullptr, nullptr, nullptr));
  EXPECT_EQ(driver.GetVideoCapture(), nullptr);
}

TEST(DriverAccessors, ReservedAreNullAndBothVideoFormsAreOneObject) {
  OpenedDriver d;
  EXPECT_EQ(d.driver.GetVideoCapture(), nullptr);  // before open
  EXPECT_EQ(d.driver.GetCaptureIOApi(), nullptr);
  ASSERT_TRUE(d.Open());
  EXPECT_EQ(d.driver.GetReserved6(), nullptr);
  EXPECT_EQ(d.driver.GetReserved8(), nullptr);
  EXPECT_EQ(static_cast<ipcapture::IIPVideoCapture*>(d.driver.GetVideoCaptureEx()), d.driver.GetVideoCapture());
}

TEST(DriverClose, DeletesChildrenAndASecondCloseDoesNothing) {
  auto config = MinimalConfig();
  config.custom_parameters[8] = "2";
  OpenedDriver d(config);
  ASSERT_TRUE(d.Open());
  d.driver.Close();
  EXPECT_EQ(d.driver.GetVideoCapture(), nullptr);
  EXPECT_EQ(d.driver.GetCaptureIOApi(), nullptr);
  EXPECT_EQ(d.driver.GetPTZDriver(), nullptr);
  d.driver.Close();
  // The configuration stays until destruction.
  EXPECT_EQ(d.driver.address(), "127.0.0.1");
}

class NullCallback : public ipcapture::ICaptureFrameCallback {
 public:
  bool CaptureFrameCallback(ipcapture::ICaptureFrame*) override { return true; }
  void Reserved3() override {}
  void NotifyNoSignal() override {}
};

TEST(DriverCreateChannel, ClassFollowsStreamTypeAndTransport) {
  NullCallback callback;
  struct Case {
    std::int32_t stream;
    const char* mjpeg_http;
    bool (*is_expected)(CBaseCameraChannel*);
  };
  const Case cases[] = {
      {1, "1", [](CBaseCameraChannel* c) { return dynamic_cast<CMJPEGChannelHTTP*>(c) != nullptr; }},
      {1, "0", [](CBaseCameraChannel* c) { return dynamic_cast<CMJPEGChannelRTSP*>(c) != nullptr; }},
      {2, "1", [](CBaseCameraChannel* c) { return dynamic_cast<CMPEGChannelRTSP*>(c) != nullptr; }},
      {3, "1", [](CBaseCameraChannel* c) { return dynamic_cast<CH264ChannelRTSP*>(c) != nullptr; }},
      {7, "0", [](CBaseCameraChannel* c) { return c == nullptr; }},
  };
  for (const auto& c : cases) {
    auto config = MinimalConfig();
    config.stream_type = c.stream;
    config.custom_parameters[6] = c.mjpeg_http;
    OpenedDriver d(config);
    ASSERT_TRUE(d.Open());
    std::unique_ptr<CBaseCameraChannel> channel(d.driver.CreateChannel(2, &callback));
    EXPECT_TRUE(c.is_expected(channel.get())) << "stream " << c.stream << " http " << c.mjpeg_http;
    if (channel) {
      EXPECT_EQ(channel->channel(), 2u);
    }
    std::unique_ptr<CBaseCameraChannel> none(d.driver.CreateChannel(2, nullptr));
    EXPECT_EQ(none, nullptr);
  }
}

struct LevelCase {
  HostCoreVersion version;
  int notice_level;
  int info_level;
};

class DriverLogLevels : public ::testing::TestWithParam<LevelCase> {};

TEST_P(DriverLogLevels, NoticeAndInformationArriveAtTheHostsLevels) {
  OpenedDriver d(MinimalConfig(), GetParam().version);
  ASSERT_TRUE(d.Open());
  d.driver.Log(kMsgInfo, "%s: Camera %s is online", "kalmora::CBaseCameraChannel::SetCameraState", "127.0.0.1");
  d.driver.Log(kMsgError, "%s: failed", "f");
  d.driver.Log(kMsgDebug, "%s: detail", "f");
  const auto entries = d.sink.Entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].level, GetParam().notice_level);
  EXPECT_EQ(entries[1].level, GetParam().info_level);
  EXPECT_EQ(entries[1].text, "kalmora::CBaseCameraChannel::SetCameraState: Camera 127.0.0.1 is online");
  EXPECT_EQ(entries[2].level, 1);
}

INSTANTIATE_TEST_SUITE_P(HostVersions, DriverLogLevels,
                         ::testing::Values(LevelCase{{5, 11, 0, 0}, 2, 2}, LevelCase{{5, 12, 0, 0}, 3, 3},
                                           LevelCase{{6, 2, 9, 9}, 3, 3}, LevelCase{{6, 3, 0, 0}, 100, 3},
                                           LevelCase{{7, 0, 0, 0}, 100, 3}),
                         [](const ::testing::TestParamInfo<LevelCase>& param_info) {
                           return "Host" + std::to_string(param_info.param.version.major) + "_" +
                                  std::to_string(param_info.param.version.minor);
                         });

TEST(DriverLog, MessagesOfAnyLengthArriveWhole) {
  OpenedDriver d;
  ASSERT_TRUE(d.Open());
  const std::string long_text(20000, 'x');
  d.driver.Log(kMsgError, "%s: %s", "f", long_text.c_str());
  const auto entries = d.sink.Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].text, "f: " + long_text);
}

TEST(DriverLog, EmptyMessageReachesTheHostWithNullText) {
  OpenedDriver d;
  ASSERT_TRUE(d.Open());
  d.driver.Log(kMsgError, "%s", "");
  const auto entries = d.sink.Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_TRUE(entries[1].text_was_null);
}

TEST(DriverLog, BeforeOpenMessagesAreDroppedNotHeldBack) {
  OpenedDriver d;
  d.driver.Log(kMsgError, "%s: nobody listens", "f");
  ASSERT_TRUE(d.Open());
  const auto entries = d.sink.Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].text.rfind("DRIVER IS OPENED", 0), 0u);
}

TEST(DriverLog, SeveralThreadsLogAtOnce) {
  OpenedDriver d;
  ASSERT_TRUE(d.Open());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) d.driver.Log(kMsgError, "%s: thread %d message %d", "f", t, i);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(d.sink.Entries().size(), 1u + 4u * 200u);
  EXPECT_EQ(d.sink.Find("thread 3 message 199").size(), 1u);
}

}  // namespace
}  // namespace kalmora
