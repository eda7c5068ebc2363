#include "camera/parameter_reply.h"

#include <gtest/gtest.h>

#include <string>

namespace kalmora {
namespace {

constexpr const char* kEq = "=";
constexpr const char* kCrLf = "\r\n";

TEST(ParameterRequests, ObjectNames) {
  EXPECT_EQ(ParamsGetRequest("Data-1.Ptz-*.CameraId"), "params/get.cgi?Data-1.Ptz-*.CameraId");
  EXPECT_EQ(ParamsSetRequest("Video-1.Encoder-2.MediaSubType", "H264"),
            "params/set.cgi?Video-1.Encoder-2.MediaSubType=H264");
  EXPECT_EQ(ParamsListRequest("Data-1.Ptz-1.*"), "params/list.cgi?Data-1.Ptz-1.*");
  EXPECT_EQ(ApiParamGetRequest("General.Brand"), "api/param.cgi?req=General.Brand");
  EXPECT_EQ(ApiParamBodyLine("Video-1.Encoder-1.Bitrate", "4000"),
            "Video-1.Encoder-1.Bitrate=4000\r\n");
}

// First-match lookup.

TEST(FirstMatchValue, ValueOfFirstOccurrenceUpToLineEnd) {
  const std::string body =
      "General.Brand.CompanyName=ZX Optics\r\n"
      "General.Brand.ModelName=D-220\r\n";
  EXPECT_EQ(FirstMatchValue("General.Brand.CompanyName", kEq, body), "ZX Optics");
  EXPECT_EQ(FirstMatchValue("General.Brand.ModelName", kEq, body), "D-220");
  EXPECT_EQ(FirstMatchValue("General.Brand.ProductType", kEq, body), "");
}

TEST(FirstMatchValue, MatchesAnyPartOfAName) {
  const std::string body = "VideoInput.1.H264.1.Capabilities.FrameRateList=30,25,15\r\n";
  EXPECT_EQ(FirstMatchValue("FrameRateList", kEq, body), "30,25,15");
}

TEST(FirstMatchValue, ValueAtEndOfBodyAndSeparatorAsLastCharacter) {
  EXPECT_EQ(FirstMatchValue("General.ProductVersion", kEq, "General.ProductVersion=2.4.17"),
            "2.4.17");
  EXPECT_EQ(FirstMatchValue("General.ProductVersion", kEq, "General.ProductVersion="), "");
  EXPECT_EQ(FirstMatchValue("a", kEq, "a=1\nb=2\n"), "1");
}

TEST(FirstMatchValue, CaseSensitiveAndEmptyKeyFindsNothing) {
  const std::string body = "GENERAL.BRAND.MODELNAME=D-220\r\n";
  EXPECT_EQ(FirstMatchValue("General.Brand.ModelName", kEq, body), "");
  EXPECT_EQ(FirstMatchValue("", kEq, body), "");
}

// Exact-name lookup.

TEST(GetValue, NameMustEndAtSeparator) {
  const std::string body = "Network.1.Attributes.MacAddress=00:40:8C:12:34:56\r\n";
  EXPECT_EQ(GetValue("Network.1.MacAddress", kEq, body, kCrLf), "");
  EXPECT_EQ(GetValue("Network.1.Attributes.MacAddress", kEq, body, kCrLf), "00:40:8C:12:34:56");
}

TEST(GetValue, KeyThatIsStartOfLongerNamePassesToItsOwnLine) {
  const std::string body =
      "Data-1.Status.CameraAlarm10=ON\r\n"
      "Data-1.Status.CameraAlarm1=-\r\n";
  EXPECT_EQ(GetValue("Data-1.Status.CameraAlarm1", kEq, body, kCrLf), "-");
  EXPECT_EQ(
      GetValue("Data-1.Status.CameraAlarm1", kEq, "Data-1.Status.CameraAlarm10=ON\r\n", kCrLf), "");
}

TEST(GetValue, KeyThatIsTailOfLongerNameMatches) {
  EXPECT_EQ(GetValue("Ptz-1.CameraId", kEq, "Data-1.Ptz-1.CameraId=3\r\n", kCrLf), "3");
}

TEST(GetValue, KeyInsideAnotherValueIsPassedOver) {
  const std::string body =
      "Data-1.Ptz-1.Comment=see Data-1.Ptz-1.CameraId\r\n"
      "Data-1.Ptz-1.CameraId=4\r\n";
  EXPECT_EQ(GetValue("Data-1.Ptz-1.CameraId", kEq, body, kCrLf), "4");
}

TEST(GetValue, BlanksAroundNameAreIgnoredValueIsKept) {
  EXPECT_EQ(GetValue("Data-1.Status.AuxOut1", kEq, "Data-1.Status.AuxOut1 \t= ON\r\n", kCrLf),
            " ON");
}

TEST(GetValue, ValueAtEndOfBodyWithoutLineEnd) {
  EXPECT_EQ(GetValue("General.Brand.ProductType", kEq,
                     "General.Brand.ProductType=Network Dome HD610", kCrLf),
            "Network Dome HD610");
}

TEST(GetValue, SeparatorAsLastCharacterGivesEmpty) {
  EXPECT_EQ(
      GetValue("Data-1.Ptz-1.CameraProtocolFile", kEq, "Data-1.Ptz-1.CameraProtocolFile=", kCrLf),
      "");
}

TEST(GetValue, SeparatorOnLaterLineDoesNotCount) {
  EXPECT_EQ(GetValue("Data-1.Ptz-1.CameraId", kEq, "Data-1.Ptz-1.CameraId\r\nOther=5\r\n", kCrLf),
            "");
}

TEST(GetValue, CaseSensitiveAndEmptyArgumentsFindNothing) {
  EXPECT_EQ(GetValue("Network.1.MacAddress", kEq, "network.1.macaddress=00408C123456\r\n", kCrLf),
            "");
  const std::string body = "a=1\r\n";
  EXPECT_EQ(GetValue("", kEq, body, kCrLf), "");
  EXPECT_EQ(GetValue("a", "", body, kCrLf), "");
  EXPECT_EQ(GetValue("a", kEq, body, ""), "");
}

TEST(GetValue, SeparatorReachingOverLineEndGivesEmpty) {
  EXPECT_EQ(GetValue("A", "=\r", "A=\r\nB=2\r\n", kCrLf), "");
}

TEST(GetValue, KeyBeginningWithTerminatorEnds) {
  EXPECT_EQ(GetValue("\nB", kEq, "A=1\r\nB=2\r\n", kCrLf), "");
}

// Reply parser.

TEST(ResponseParserFindKeyEnd, PositionOfDelimiterAfterName) {
  const std::string reply = "Data-1.Ptz-1.AutoFocus=1\r\n";
  const COrvaneResponseParser parser(reply);
  EXPECT_EQ(parser.FindKeyEnd("Data-1.Ptz-1.AutoFocus"),
            static_cast<std::ptrdiff_t>(reply.find('=')));
}

TEST(ResponseParserFindKeyEnd, LongerNamesArePassedOver) {
  const std::string reply =
      "Data-1.Ptz-1.Focus.Speed=3\r\n"
      "Data-1.Ptz-1.Focus=0 rangemin=-8 rangemax=8\r\n";
  const COrvaneResponseParser parser(reply);
  EXPECT_EQ(parser.FindKeyEnd("Data-1.Ptz-1.Focus"),
            static_cast<std::ptrdiff_t>(reply.find("Focus=") + 5));
}

TEST(ResponseParserFindKeyEnd, EveryDelimiterEndsName) {
  for (const char* reply : {"A.Key=1", "A.Key\r\n", "A.Key\n", "A.Key\t1", "A.Key 1"}) {
    EXPECT_EQ(COrvaneResponseParser(reply).FindKeyEnd("A.Key"), 5) << reply;
  }
  EXPECT_EQ(COrvaneResponseParser("A.Key,1\r\n").FindKeyEnd("A.Key"), -1);
}

TEST(ResponseParserHasKey, CaseInsensitive) {
  const COrvaneResponseParser parser("DATA-1.PTZ-1.AUTOIRIS=1\r\n");
  EXPECT_TRUE(parser.HasKey("Data-1.Ptz-1.AutoIris"));
  EXPECT_FALSE(parser.HasKey("Data-1.Ptz-1.AutoFocus"));
}

TEST(ResponseParserHasKey, NameAtEndOfReplyOrEmptyKeyIsNotFound) {
  EXPECT_FALSE(COrvaneResponseParser("Data-1.Ptz-1.AutoIris").HasKey("Data-1.Ptz-1.AutoIris"));
  EXPECT_FALSE(COrvaneResponseParser("Data-1.Ptz-1.AutoIris=1\r\n").HasKey(""));
  EXPECT_FALSE(COrvaneResponseParser("").HasKey("Data-1.Ptz-1.AutoIris"));
}

TEST(ResponseParserGetRange, ReadsBothAnnotations) {
  const COrvaneResponseParser parser(
      "Data-1.Ptz-1.Zoom.Speed=1 rangemin=1 rangemax=4\r\n"
      "Data-1.Ptz-1.Zoom=0 RangeMin=-8 RangeMax=8\r\n");
  int minimum = 0;
  int maximum = 0;
  ASSERT_TRUE(parser.GetRange("Data-1.Ptz-1.Zoom", minimum, maximum));
  EXPECT_EQ(minimum, -8);
  EXPECT_EQ(maximum, 8);
}

TEST(ResponseParserGetRange, OnlyOnKeysOwnLine) {
  for (const char* reply :
       {"Data-1.Ptz-1.Pan=0 rangemin=-64\r\nData-1.Ptz-1.Tilt=0 rangemax=64\r\n",
        "Data-1.Ptz-1.Pan=0 rangemin=-64\nData-1.Ptz-1.Tilt=0 rangemax=64\n"}) {
    int minimum = 11;
    int maximum = 12;
    EXPECT_FALSE(COrvaneResponseParser(reply).GetRange("Data-1.Ptz-1.Pan", minimum, maximum));
    EXPECT_EQ(minimum, 11);
    EXPECT_EQ(maximum, 12);
  }
}

TEST(ResponseParserGetRange, AnnotationWithoutNumberFails) {
  int minimum = 0;
  int maximum = 0;
  EXPECT_FALSE(COrvaneResponseParser("Video-1.Encoder-3.Bitrate=4000 rangemin=x rangemax=8000\r\n")
                   .GetRange("Video-1.Encoder-3.Bitrate", minimum, maximum));
  EXPECT_FALSE(
      COrvaneResponseParser("Video-1.Encoder-3.Bitrate=4000 rangemin=64 rangemax=\r\n8\r\n")
          .GetRange("Video-1.Encoder-3.Bitrate", minimum, maximum));
  EXPECT_FALSE(
      COrvaneResponseParser("Video-1.Encoder-3.Bitrate=1 rangemin=0 rangemax=99999999999\r\n")
          .GetRange("Video-1.Encoder-3.Bitrate", minimum, maximum));
  EXPECT_FALSE(COrvaneResponseParser("Video-1.Encoder-3.Bitrate=1 rangemin=0 rangemax=8\r\n")
                   .GetRange("Video-1.Encoder-1.Bitrate", minimum, maximum));
}

TEST(ResponseParserMaxIndex, HighestInstanceNumber) {
  const COrvaneResponseParser parser(
      "Data-1.Ptz-2.CameraId=2\r\n"
      "Data-1.Ptz-12.CameraId=12\r\n"
      "Data-1.Ptz-1.CameraId=1\r\n");
  EXPECT_EQ(parser.MaxIndex("Data-1.Ptz-"), 12);
  EXPECT_EQ(parser.MaxIndex("DATA-1.PTZ-"), 12);
  // A number may also end the name.
  EXPECT_EQ(COrvaneResponseParser("Data-1.Status.AuxOut3=ON\r\nData-1.Status.AuxOut1=-\r\n")
                .MaxIndex("Data-1.Status.AuxOut"),
            3);
}

TEST(ResponseParserMaxIndex, NoOccurrenceOrNoNumberGivesMinusOne) {
  EXPECT_EQ(COrvaneResponseParser("Data-1.Status.AuxOut1=ON\r\n").MaxIndex("Data-1.Ptz-"), -1);
  EXPECT_EQ(COrvaneResponseParser("Data-1.Ptz-*.CameraId=1\r\n").MaxIndex("Data-1.Ptz-"), -1);
  EXPECT_EQ(COrvaneResponseParser("Data-1.Ptz-1.CameraId=1\r\n").MaxIndex(""), -1);
}

TEST(ResponseParserMaxIndex, OccurrenceWithoutDelimiterIsSkipped) {
  EXPECT_EQ(
      COrvaneResponseParser("Data-1.Ptz-1.CameraId=1\r\nData-1.Ptz-7").MaxIndex("Data-1.Ptz-"), 1);
  EXPECT_EQ(COrvaneResponseParser("Data-1.Ptz-7").MaxIndex("Data-1.Ptz-"), -1);
  // The dot that continues the name is delimiter enough.
  EXPECT_EQ(COrvaneResponseParser("Data-1.Ptz-3.CameraId").MaxIndex("Data-1.Ptz-"), 3);
}

TEST(ResponseParserMaxIndex, PrefixIsTakenLiterally) {
  EXPECT_EQ(COrvaneResponseParser("Q%d-4.Level=1\r\n").MaxIndex("Q%d-"), 4);
}

}  // namespace
}  // namespace kalmora
