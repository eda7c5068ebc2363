// The profiles made for the capability query's rarer branches answer the requests of those
// branches as the query needs them, and the wildcard-status directive they rely on.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "simulator_fixture.h"

namespace camsim_test {
namespace {

struct Exchange {
  const char* target;  // as the query sends it
  long status;
  int lines;             // "key=value" lines in the body
  const char* contains;  // a line the body holds, or ""
};

struct ProfileCase {
  const char* profile;
  const char* address;
  std::vector<Exchange> exchanges;
};

const ProfileCase kCases[] = {
    {"ptz_auth_wildcard",
     "127.0.0.46",
     {
         {"params/get.cgi?Data-1.Ptz-*.CameraId", 401, 0, ""},
         {"/api/param.cgi?req=Data-1.Ptz-*.CameraId", 401, 0, ""},
         {"params/get.cgi?Data-1.Ptz-1.CameraId", 200, 1, "Data-1.Ptz-1.CameraId=1"},
         {"params/get.cgi?Data-1.Ptz-2.CameraId", 200, 1, "Data-1.Ptz-2.CameraId=2"},
         {"params/get.cgi?Data-1.Ptz-3.CameraId", 200, 0, ""},  // ends the count at 2
         {"params/list.cgi?Data-1.Ptz-1.*", 200, 11, "Data-1.Ptz-1.Pan=0\trangemin=-64\trangemax=64"},
         {"params/get.cgi?Audio-1.Output-1*", 200, 3, "Audio-1.Output-1.Enable=True"},
     }},
    {"named_inputs_32",
     "127.0.0.47",
     {
         {"params/get.cgi?Cc-1*DeviceName*", 200, 36, "Cc-1.Input-32.DeviceName=Zone 32 tamper"},
         {"params/get.cgi?Cc-1*DeviceName*", 200, 36, "Cc-1.Output-4.DeviceName=Strobe"},
         {"params/get.cgi?Cc-1.Input-*.CcDetectAlarm", 200, 32, "Cc-1.Input-17.CcDetectAlarm=-"},
         {"params/get.cgi?Cc-1.Udp-1.SourceSelection.Input*S*", 200, 0, ""},
     }},
    {"no_frame_rates",
     "127.0.0.48",
     {
         {"api/param.cgi?req=VideoInput.1.Capabilities.CodecList", 200, 1,
          "VideoInput.1.Capabilities.CodecList=h264,mjpeg"},
         {"api/param.cgi?req=VideoInput.1.Capabilities.h264.FrameRateList", 200, 0, ""},
         {"api/param.cgi?req=VideoInput.1.Capabilities.mjpeg.FrameRateList", 200, 0, ""},
         {"api/param.cgi?req=VideoInput.1.h264.*.Capabilities.FrameRateList", 200, 0, ""},
         {"api/param.cgi?req=VideoInput.1.mjpeg.*.Capabilities.FrameRateList", 200, 0, ""},
         {"api/param.cgi?req=VideoInput.1.Capabilities.h264.ResolutionList", 200, 1,
          "VideoInput.1.Capabilities.h264.ResolutionList=720p,VGA,QVGA"},
         {"api/param.cgi?req=VideoInput.1.mjpeg.1.Capabilities.MaxBitrate", 200, 1,
          "VideoInput.1.mjpeg.1.Capabilities.MaxBitrate=8000"},
     }},
};

class CapabilityProfileTest : public SimulatorTest {};

// Credentials that are right throughout: a 401 here is the profile's own refusal.
TEST_F(CapabilityProfileTest, EachProfileAnswersTheRequestsOfItsBranch) {
  for (const ProfileCase& c : kCases) {
    StartWith(c.profile, c.address);
    simulator_.ClearRequestLog();
    simulator_.SetAuth({camsim::AuthMode::kBasic, "admin", "secret", "Orvane Network Camera"});
    HttpTestClient client;
    client.SetAuth(CURLAUTH_BASIC, "admin", "secret");
    for (const Exchange& e : c.exchanges) {
      const std::string what = std::string(c.profile) + " " + e.target;
      const HttpResponse response = client.Get(Url(e.target));
      EXPECT_EQ(response.status, e.status) << what;
      EXPECT_EQ(response.has_header("WWW-Authenticate: Basic realm=\"Orvane Network Camera\""),
                e.status == 401)
          << what;
      if (e.status != 200) continue;
      EXPECT_EQ(std::count(response.body.begin(), response.body.end(), '\n'), e.lines) << what;
      if (*e.contains != '\0') {
        EXPECT_NE(response.body.find(std::string(e.contains) + "\r\n"), std::string::npos) << what;
      }
    }
    // The refusals were the camera's: the log shows the credentials accepted for every request.
    for (const camsim::RequestRecord& record : simulator_.RequestLog())
      EXPECT_TRUE(record.auth_accepted) << c.profile << " " << record.target;
    simulator_.Stop();
  }
}

TEST(WildcardStatusDirective, RefusesMalformedDirectivesAndMatchesTheKeyAsWritten) {
  for (const char* bad : {"#! wildcard-status\n", "#! wildcard-status Data-1.*\n",
                          "#! wildcard-status Data-1.* 99\n", "#! wildcard-status Data-1.* 4o1\n"}) {
    camsim::ParameterTree tree;
    std::string error;
    EXPECT_FALSE(tree.LoadText(bad, &error)) << bad;
    EXPECT_NE(error.find("line 1"), std::string::npos) << bad;
  }
  camsim::ParameterTree tree;
  std::string error;
  ASSERT_TRUE(tree.LoadText("#! wildcard-status A.*.B 403\n#! wildcard-status A.* 500\nA.1.B=x\n",
                            &error))
      << error;
  EXPECT_EQ(tree.WildcardStatus("A.*.B"), 403);  // the first directive that matches
  EXPECT_EQ(tree.WildcardStatus("A.1.*"), 500);
  EXPECT_EQ(tree.WildcardStatus("A.1.B"), std::nullopt);  // no '*': read as usual
  EXPECT_EQ(tree.WildcardStatus("C.*"), std::nullopt);
}

}  // namespace
}  // namespace camsim_test
