// The shipped profiles answer every request the driver sends to a camera of their kind.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "simulator_fixture.h"

namespace camsim_test {
namespace {

constexpr const char* kAddress = "127.0.0.28";

struct ProfileFacts {
  const char* name;
  const char* product_type;
  const char* firmware;
  int video_inputs;
  // Capabilities under "VideoInput.1.Capabilities.<codec>." instead of "VideoInput.1.<codec>.1."
  bool capability_keys_of_old_form;
  std::vector<std::string> codecs;
};

const ProfileFacts kProfiles[] = {
    {"ptz_dome", "Dome HSD620", "2.6.12", 1, false, {"h264", "mjpeg", "mpeg4"}},
    {"encoder_4ch", "Video Encoder 4CH", "2.9.3", 4, false, {"h264", "mjpeg", "mpeg4"}},
    {"old_firmware", "Dome MD610", "1.8.7", 1, true, {"h264", "mpeg4"}},
    {"minimal_fixed", "Fixed Box Camera", "2.4.1", 1, true, {"h264", "mjpeg"}},
};

void PrintTo(const ProfileFacts& facts, std::ostream* out) { *out << facts.name; }

// The value of key in a reply body, empty when the line is missing.
std::string ValueOf(const std::string& body, const std::string& key) {
  const std::string start = key + "=";
  std::size_t line = 0;
  while (line < body.size()) {
    const std::size_t end = body.find("\r\n", line);
    if (body.compare(line, start.size(), start) == 0) {
      return body.substr(line + start.size(), end - line - start.size());
    }
    if (end == std::string::npos) break;
    line = end + 2;
  }
  return {};
}

class ProfileTest : public SimulatorTest, public ::testing::WithParamInterface<ProfileFacts> {
 protected:
  void SetUp() override { StartWith(GetParam().name, kAddress); }
  std::string Read(const std::string& target) {
    const HttpResponse response = client_.Get(Url(target));
    EXPECT_EQ(response.status, 200) << target;
    return response.body;
  }
  HttpTestClient client_;
};

TEST_P(ProfileTest, AnswersIdentityAndFirmware) {
  const std::string brand = Read("/api/param.cgi?req=General.Brand");
  EXPECT_EQ(ValueOf(brand, "General.Brand.CompanyName"), "Orvane");
  EXPECT_FALSE(ValueOf(brand, "General.Brand.ModelName").empty());
  EXPECT_EQ(
      ValueOf(Read("/api/param.cgi?req=General.Brand.ProductType"), "General.Brand.ProductType"),
      GetParam().product_type);
  EXPECT_EQ(ValueOf(Read("/params/get.cgi?General.ProductVersion"), "General.ProductVersion"),
            GetParam().firmware);
  EXPECT_EQ(ValueOf(Read("/api/param.cgi?req=VideoInput.Capabilities.EntityCount"),
                    "VideoInput.Capabilities.EntityCount"),
            std::to_string(GetParam().video_inputs));
}

TEST_P(ProfileTest, AnswersTheCapabilitiesOfEveryCodecOfEveryInput) {
  const ProfileFacts& facts = GetParam();
  for (int input = 1; input <= facts.video_inputs; ++input) {
    const std::string prefix = "VideoInput." + std::to_string(input) + ".";
    std::string codec_list;
    for (const std::string& codec : facts.codecs)
      codec_list += (codec_list.empty() ? "" : ",") + codec;
    EXPECT_EQ(ValueOf(Read("api/param.cgi?req=" + prefix + "Capabilities.CodecList"),
                      prefix + "Capabilities.CodecList"),
              codec_list);
    for (const std::string& codec : facts.codecs) {
      const std::string rates_key = facts.capability_keys_of_old_form
                                        ? prefix + "Capabilities." + codec + ".FrameRateList"
                                        : prefix + codec + ".1.Capabilities.FrameRateList";
      const std::string rates_request = facts.capability_keys_of_old_form
                                            ? rates_key
                                            : prefix + codec + ".*.Capabilities.FrameRateList";
      EXPECT_FALSE(ValueOf(Read("api/param.cgi?req=" + rates_request), rates_key).empty())
          << rates_key;
      const std::string resolutions_key = facts.capability_keys_of_old_form
                                              ? prefix + "Capabilities." + codec + ".ResolutionList"
                                              : prefix + codec + ".1.Capabilities.ResolutionList";
      EXPECT_FALSE(ValueOf(Read("api/param.cgi?req=" + resolutions_key), resolutions_key).empty());
      for (const char* bound : {"MinBitrate", "MaxBitrate"}) {
        const std::string key = prefix + codec + ".1.Capabilities." + bound;
        const std::string value = ValueOf(Read("api/param.cgi?req=" + key), key);
        EXPECT_FALSE(value.empty()) << key;
        EXPECT_EQ(value.find_first_not_of("0123456789"), std::string::npos) << key;
      }
    }
  }
}

TEST_P(ProfileTest, AcceptsTheEncoderSettingsOfBothGenerations) {
  const ProfileFacts& facts = GetParam();
  for (int input = 1; input <= facts.video_inputs; ++input) {
    const std::string video = "Video-" + std::to_string(input) + ".Encoder-";
    for (const char* subtype : {"H264", "MJPEG", "MPEG-4"}) {
      const std::string item = video + "1.MediaSubType=" + subtype;
      EXPECT_EQ(Read("params/set.cgi?" + item), item + "\r\n");
    }
    for (int encoder : {1, 3, 4}) {
      const std::string e = video + std::to_string(encoder) + ".";
      const std::string query = e + "FrameRateDivider=1&" + e + "BitrateMode=Constant%20bitrate&" +
                                e + "Resolution=CIF&" + e + "Bitrate=2166&" + e +
                                "StreamManager.StreamBandwidthLimit=2490&" + e + "GopLength=25&" +
                                e + "DeInterlacing=Off&" + e + "Enable=True&" + e + "Quality=60";
      const std::string echo = Read("params/set.cgi?" + query);
      EXPECT_EQ(std::count(echo.begin(), echo.end(), '\n'), 9) << echo;
      EXPECT_EQ(simulator_.GetParameter(e + "BitrateMode"), "Constant bitrate");
    }
    EXPECT_FALSE(
        ValueOf(Read("params/get.cgi?" + video + "3.UserLabel1"), video + "3.UserLabel1").empty());
    for (const std::string& codec : facts.codecs) {
      const std::string p = "VideoInput." + std::to_string(input) + "." + codec + ".1.";
      const std::string form = p + "Resolution=CIF\r\n" + p + "FrameRate=25\r\n" + p +
                               "Quality=46\r\n" + p + "GopSize=25\r\n" + p + "Bitrate=2166\r\n";
      const HttpResponse response = client_.Post(Url("/api/param.cgi"), form);
      EXPECT_EQ(response.status, 200);
      EXPECT_EQ(response.body, form);
    }
  }
}

TEST_P(ProfileTest, IdentityIsReadOnly) {
  const HttpResponse response = client_.Get(Url("/params/set.cgi?General.Brand.ModelName=X"));
  EXPECT_EQ(response.body.find("ModelName"), std::string::npos);
  EXPECT_NE(simulator_.GetParameter("General.Brand.ModelName"), "X");
}

INSTANTIATE_TEST_SUITE_P(Profiles, ProfileTest, ::testing::ValuesIn(kProfiles),
                         [](const auto& test_info) { return std::string(test_info.param.name); });

class ProfileContentTest : public SimulatorTest {
 protected:
  std::string Read(const std::string& target) { return client_.Get(Url(target)).body; }
  HttpTestClient client_;
};

TEST_F(ProfileContentTest, PtzDomeHasAFullPtzHeadAlarmsAndAuxOutput) {
  StartWith("ptz_dome", kAddress);
  const std::string list = Read("params/list.cgi?Data-1.Ptz-1.*");
  for (const char* axis : {"Pan", "Tilt"}) {
    EXPECT_NE(list.find(std::string("Data-1.Ptz-1.") + axis + "=0\trangemin=-64\trangemax=64"),
              std::string::npos);
  }
  for (const char* axis : {"Zoom", "Focus", "Iris"}) {
    EXPECT_NE(list.find(std::string("Data-1.Ptz-1.") + axis + "=0\trangemin=-8\trangemax=8"),
              std::string::npos);
  }
  EXPECT_NE(list.find("Data-1.Ptz-1.GoPreset=0\trangemin=1\trangemax=255"), std::string::npos);
  EXPECT_EQ(ValueOf(list, "Data-1.Ptz-1.AutoFocus"), "On");
  EXPECT_EQ(ValueOf(list, "Data-1.Ptz-1.AutoIris"), "On");
  EXPECT_EQ(Read("params/get.cgi?Data-1.Ptz-*.CameraId"), "Data-1.Ptz-1.CameraId=1\r\n");
  EXPECT_EQ(ValueOf(Read("/api/param.cgi?req=Network.1"), "Network.1.MacAddress"),
            "00:1B:9D:4E:21:07");
  EXPECT_FALSE(Read("params/get.cgi?Audio-1.Output-1*").empty());
  EXPECT_EQ(Read("params/get.cgi?Cc-1*DeviceName*"), "");
  EXPECT_EQ(Read("params/get.cgi?Data-1.Status.AuxOut*"), "Data-1.Status.AuxOut1=Off\r\n");
  EXPECT_EQ(Read("params/get.cgi?Data-1.Status.CameraAlarm*"),
            "Data-1.Status.CameraAlarm1=-\r\nData-1.Status.CameraAlarm2=-\r\n");
  EXPECT_EQ(Read("params/set.cgi?Data-1.Status.AuxOut1=On"), "Data-1.Status.AuxOut1=On\r\n");
  EXPECT_EQ(Read("params/set.cgi?Data-1.Ptz-1.GoPreset=12"), "Data-1.Ptz-1.GoPreset=12\r\n");
}

TEST_F(ProfileContentTest, EncoderNamesItsInputsOutputsAndSerialHeads) {
  StartWith("encoder_4ch", kAddress);
  const std::string names = Read("params/get.cgi?Cc-1*DeviceName*");
  for (int i = 1; i <= 4; ++i) {
    EXPECT_FALSE(ValueOf(names, "Cc-1.Input-" + std::to_string(i) + ".DeviceName").empty());
  }
  EXPECT_TRUE(ValueOf(names, "Cc-1.Input-5.DeviceName").empty());
  EXPECT_FALSE(ValueOf(names, "Cc-1.Output-2.DeviceName").empty());
  EXPECT_TRUE(ValueOf(names, "Cc-1.Output-3.DeviceName").empty());
  const std::string alarms = Read("params/get.cgi?Cc-1.Input-*.CcDetectAlarm");
  EXPECT_EQ(std::count(alarms.begin(), alarms.end(), '\n'), 4);
  EXPECT_EQ(Read("params/set.cgi?Cc-1.Output-1.OperationalMode=Invert"),
            "Cc-1.Output-1.OperationalMode=Invert\r\n");
  EXPECT_EQ(Read("params/get.cgi?Data-1.Ptz-1.CameraProtocolFile&Data-1.Ptz-1.CameraId"),
            "Data-1.Ptz-1.CameraProtocolFile=serial_ptz_v2.ptz\r\nData-1.Ptz-1.CameraId=1\r\n");
  EXPECT_EQ(Read("params/get.cgi?Data-1.Ptz-3.CameraProtocolFile&Data-1.Ptz-3.CameraId"),
            "Data-1.Ptz-3.CameraProtocolFile=\r\nData-1.Ptz-3.CameraId=3\r\n");
  const std::string list = Read("params/list.cgi?Data-1.Ptz-1.*");
  EXPECT_EQ(list.find("AutoIris"), std::string::npos);
  EXPECT_NE(list.find("Data-1.Ptz-1.AutoFocus=On"), std::string::npos);
}

TEST_F(ProfileContentTest, OldFirmwareUsesOldKeysAndSourceSelection) {
  StartWith("old_firmware", kAddress);
  const std::string network = Read("/api/param.cgi?req=Network.1");
  EXPECT_TRUE(ValueOf(network, "Network.1.MacAddress").empty());
  EXPECT_EQ(ValueOf(network, "Network.1.Attributes.MacAddress"), "00:1B:9D:31:0C:5E");
  const std::string sources = Read("params/get.cgi?Cc-1.Udp-1.SourceSelection.Input*S*");
  EXPECT_EQ(ValueOf(sources, "Cc-1.Udp-1.SourceSelection.Input2Source"), "Camera Alarm 1");
  EXPECT_EQ(ValueOf(sources, "Cc-1.Udp-1.SourceSelection.Input4Source"), "Camera Alarm 2");
  EXPECT_EQ(ValueOf(sources, "Cc-1.Udp-1.SourceSelection.Input4Status"), "False");
  EXPECT_NE(
      ValueOf(Read("params/get.cgi?Video-1.Encoder-3.UserLabel1"), "Video-1.Encoder-3.UserLabel1")
          .find("JPEG"),
      std::string::npos);
  EXPECT_EQ(client_.Get(Url("/params/get.cgi?Cc-1*DeviceName*")).status, 404);
  EXPECT_EQ(client_.Get(Url("/params/get.cgi?Data-1.Status.CameraAlarm*")).status, 404);
  EXPECT_FALSE(Read("params/get.cgi?Audio-1.Output-1*").empty());
}

TEST_F(ProfileContentTest, MinimalCameraHasNoPtzAudioOrIo) {
  StartWith("minimal_fixed", kAddress);
  for (const char* target :
       {"params/get.cgi?Data-1.Ptz-*.CameraId", "params/get.cgi?Audio-1.Output-1*",
        "params/get.cgi?Cc-1*DeviceName*", "params/get.cgi?Data-1.Status.AuxOut*",
        "params/get.cgi?Data-1.Status.CameraAlarm*",
        "params/get.cgi?Cc-1.Udp-1.SourceSelection.Input*S*"}) {
    const HttpResponse response = client_.Get(Url(std::string("/") + target));
    EXPECT_EQ(response.status, 200) << target;
    EXPECT_EQ(response.body, "") << target;
  }
}

}  // namespace
}  // namespace camsim_test
