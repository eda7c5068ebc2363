#include "camsim/parameter_interface.h"

#include <gtest/gtest.h>

namespace camsim {
namespace {

constexpr const char* kProfile =
    "#! read-only General.*\n"
    "General.Brand.CompanyName=Orvane\n"
    "General.Brand.ModelName=HSD620\n"
    "Data-1.Ptz-1.Pan=0 rangemin=-64 rangemax=64\n"
    "Data-1.Ptz-1.Tilt=0 rangemin=-64 rangemax=64\n"
    "Data-1.Ptz-1.AutoFocus=On\n"
    "Video-1.Encoder-3.BitrateMode=Constant bitrate\n"
    "VideoInput.1.h264.1.FrameRate=30\n"
    "VideoInput.1.h264.1.Bitrate=2048\n";

class ParameterInterfaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(tree_.LoadText(kProfile, &error)) << error;
  }
  ParameterReply Get(const std::string& path, const std::string& query) {
    return HandleParameterRequest(tree_, ParameterRequest{"GET", path, query, ""});
  }
  ParameterTree tree_;
};

TEST(SplitTargetTest, BothPathFormsNameTheSameResource) {
  EXPECT_EQ(SplitTarget("/params/get.cgi?General.Brand*"),
            (std::pair<std::string, std::string>{"params/get.cgi", "General.Brand*"}));
  EXPECT_EQ(SplitTarget("params/get.cgi?General.Brand*"),
            (std::pair<std::string, std::string>{"params/get.cgi", "General.Brand*"}));
  EXPECT_EQ(SplitTarget("/api/param.cgi"),
            (std::pair<std::string, std::string>{"api/param.cgi", ""}));
}

TEST(PercentDecodeTest, DecodesEscapesAndPlusAndKeepsMalformedEscapes) {
  EXPECT_EQ(PercentDecode("Constant%20quality"), "Constant quality");
  EXPECT_EQ(PercentDecode("Camera+Alarm+1"), "Camera Alarm 1");
  EXPECT_EQ(PercentDecode("1%2"), "1%2");
  EXPECT_EQ(PercentDecode("%zz"), "%zz");
  EXPECT_EQ(SplitQuery("a=1&&b=%26"), (std::vector<std::string>{"a=1", "b=&"}));
}

TEST_F(ParameterInterfaceTest, WildcardGetAnswersEveryMatchOneLineEach) {
  const ParameterReply reply = Get("params/get.cgi", "General.Brand*");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "General.Brand.CompanyName=Orvane\r\nGeneral.Brand.ModelName=HSD620\r\n");
}

TEST_F(ParameterInterfaceTest, GetOfSeveralKeysAnswersThemInRequestOrder) {
  const ParameterReply reply = Get("params/get.cgi", "Data-1.Ptz-1.AutoFocus&Data-1.Ptz-1.Pan");
  EXPECT_EQ(reply.body, "Data-1.Ptz-1.AutoFocus=On\r\nData-1.Ptz-1.Pan=0\r\n");
}

TEST_F(ParameterInterfaceTest, ListAddsRangesWhereTheCameraHasThem) {
  const ParameterReply reply = Get("params/list.cgi", "Data-1.Ptz-1.*");
  EXPECT_EQ(reply.body,
            "Data-1.Ptz-1.Pan=0\trangemin=-64\trangemax=64\r\n"
            "Data-1.Ptz-1.Tilt=0\trangemin=-64\trangemax=64\r\n"
            "Data-1.Ptz-1.AutoFocus=On\r\n");
  // A plain read never shows the annotations.
  EXPECT_EQ(Get("params/get.cgi", "Data-1.Ptz-1.Pan").body, "Data-1.Ptz-1.Pan=0\r\n");
}

TEST_F(ParameterInterfaceTest, NewerReadTakesEveryReqArgument) {
  const ParameterReply reply =
      Get("api/param.cgi", "req=General.Brand.ModelName&other=1&req=VideoInput.1.h264.1.FrameRate");
  EXPECT_EQ(reply.body, "General.Brand.ModelName=HSD620\r\nVideoInput.1.h264.1.FrameRate=30\r\n");
}

TEST_F(ParameterInterfaceTest, SetChangesTheTreeAndEchoesTheWrittenLines) {
  const ParameterReply reply =
      Get("params/set.cgi", "Data-1.Ptz-1.Pan=-5&Video-1.Encoder-3.BitrateMode=Constant%20quality");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body,
            "Data-1.Ptz-1.Pan=-5\r\nVideo-1.Encoder-3.BitrateMode=Constant quality\r\n");
  EXPECT_EQ(tree_.Lookup("Data-1.Ptz-1.Pan")->value, "-5");
  EXPECT_EQ(tree_.Lookup("Data-1.Ptz-1.Pan")->range_max, 64);
  EXPECT_EQ(tree_.Lookup("Video-1.Encoder-3.BitrateMode")->value, "Constant quality");
}

TEST_F(ParameterInterfaceTest, PostFormWritesEveryLine) {
  const ParameterReply reply =
      HandleParameterRequest(tree_, ParameterRequest{"POST", "api/param.cgi", "",
                                                     "VideoInput.1.h264.1.FrameRate=25\r\n"
                                                     "VideoInput.1.h264.1.Bitrate=2166\n"});
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "VideoInput.1.h264.1.FrameRate=25\r\nVideoInput.1.h264.1.Bitrate=2166\r\n");
  EXPECT_EQ(tree_.Lookup("VideoInput.1.h264.1.FrameRate")->value, "25");
  EXPECT_EQ(tree_.Lookup("VideoInput.1.h264.1.Bitrate")->value, "2166");
}

TEST_F(ParameterInterfaceTest, UnknownKeysAnswerAnEmptyBodyByDefault) {
  EXPECT_EQ(Get("params/get.cgi", "Audio-1.Output-1*").status, 200);
  EXPECT_EQ(Get("params/get.cgi", "Audio-1.Output-1*").body, "");
  EXPECT_EQ(Get("api/param.cgi", "req=Nothing.Here").body, "");
  // Known keys of a mixed write are written; only they are echoed.
  const ParameterReply reply = Get("params/set.cgi", "Data-1.Ptz-1.Tilt=3&No.Such.Key=1");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "Data-1.Ptz-1.Tilt=3\r\n");
  EXPECT_EQ(tree_.Lookup("Data-1.Ptz-1.Tilt")->value, "3");
  EXPECT_FALSE(tree_.Contains("No.Such.Key"));
}

TEST_F(ParameterInterfaceTest, UnknownKeyStatusRefusesTheWholeWrite) {
  tree_.set_unknown_key_status(404);
  EXPECT_EQ(Get("params/get.cgi", "Audio-1.Output-1*").status, 404);
  EXPECT_EQ(Get("params/list.cgi", "Nothing*").status, 404);
  // A read with at least one match is answered normally.
  EXPECT_EQ(Get("params/get.cgi", "Nothing&Data-1.Ptz-1.Pan").status, 200);
  const ParameterReply reply = Get("params/set.cgi", "Data-1.Ptz-1.Tilt=3&No.Such.Key=1");
  EXPECT_EQ(reply.status, 404);
  EXPECT_EQ(reply.body, "");
  EXPECT_EQ(tree_.Lookup("Data-1.Ptz-1.Tilt")->value, "0");
  // A write without any assignment ("params/set.cgi?" alone) names no known key either.
  EXPECT_EQ(Get("params/set.cgi", "").status, 404);
}

TEST_F(ParameterInterfaceTest, ReadOnlyKeysAreNotWritten) {
  const ParameterReply reply = Get("params/set.cgi", "General.Brand.ModelName=Other");
  EXPECT_EQ(reply.body, "");
  EXPECT_EQ(tree_.Lookup("General.Brand.ModelName")->value, "HSD620");
  tree_.set_unknown_key_status(403);
  EXPECT_EQ(Get("params/set.cgi", "General.Brand.ModelName=Other").status, 403);
}

TEST_F(ParameterInterfaceTest, AnItemWithoutValueIsNoWrite) {
  EXPECT_EQ(Get("params/set.cgi", "Data-1.Ptz-1.Pan").body, "");
  EXPECT_EQ(Get("params/set.cgi", "=5").body, "");
  EXPECT_EQ(tree_.Lookup("Data-1.Ptz-1.Pan")->value, "0");
}

TEST_F(ParameterInterfaceTest, OtherMethodsOnReadPathsAreNotAllowed) {
  EXPECT_EQ(
      HandleParameterRequest(tree_, ParameterRequest{"POST", "params/get.cgi", "", "x"}).status,
      405);
  EXPECT_EQ(HandleParameterRequest(tree_, ParameterRequest{"PUT", "api/param.cgi", "", "x"}).status,
            405);
}

}  // namespace
}  // namespace camsim
