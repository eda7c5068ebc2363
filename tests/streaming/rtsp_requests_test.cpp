#include "streaming/rtsp_requests.h"

#include <gtest/gtest.h>

#include <string>

namespace kalmora {
namespace {

RTSPRequestArgs CameraArgs() {
  RTSPRequestArgs args;
  args.host = "192.168.0.90";
  args.video_input = 2;
  args.stream_kind = kRTSPStreamH264;
  args.client_rtp_port = 3556;
  args.client_rtcp_port = 3557;
  args.session_id = "0042ab";
  return args;
}

// Request texts.

TEST(RTSPRequestText, Describe) {
  EXPECT_EQ(FormatRTSPRequest(kRTSPDescribe, CameraArgs(), 1),
            "DESCRIBE rtsp://192.168.0.90:554/VideoInput/2/h264/1 RTSP/1.0\r\n"
            "CSeq: 1\r\n"
            "Accept: application/sdp\r\n"
            "User-Agent: Kalmora\r\n"
            "\r\n");
}

TEST(RTSPRequestText, SetupNamesTrackAndClientPorts) {
  EXPECT_EQ(FormatRTSPRequest(kRTSPSetup, CameraArgs(), 2),
            "SETUP rtsp://192.168.0.90:554/VideoInput/2/h264/1/trackID=1 RTSP/1.0\r\n"
            "CSeq: 2\r\n"
            "Transport: RTP/AVP;unicast;client_port=3556-3557\r\n"
            "User-Agent: Kalmora\r\n"
            "\r\n");
}

TEST(RTSPRequestText, PlayFromStartWithSessionAsSent) {
  EXPECT_EQ(FormatRTSPRequest(kRTSPPlay, CameraArgs(), 3),
            "PLAY rtsp://192.168.0.90:554/VideoInput/2/h264/1 RTSP/1.0\r\n"
            "CSeq: 3\r\n"
            "Session: 0042ab\r\n"
            "Range: npt=0.000-\r\n"
            "User-Agent: Kalmora\r\n"
            "\r\n");
}

TEST(RTSPRequestText, PauseTeardownOptions) {
  const RTSPRequestArgs args = CameraArgs();
  EXPECT_EQ(FormatRTSPRequest(kRTSPPause, args, 4),
            "PAUSE rtsp://192.168.0.90:554/VideoInput/2/h264/1 RTSP/1.0\r\n"
            "CSeq: 4\r\nSession: 0042ab\r\nUser-Agent: Kalmora\r\n\r\n");
  EXPECT_EQ(FormatRTSPRequest(kRTSPTeardown, args, 5),
            "TEARDOWN rtsp://192.168.0.90:554/VideoInput/2/h264/1 RTSP/1.0\r\n"
            "CSeq: 5\r\nSession: 0042ab\r\nUser-Agent: Kalmora\r\n\r\n");
  EXPECT_EQ(FormatRTSPRequest(kRTSPOptions, args, 4294967295U),
            "OPTIONS rtsp://192.168.0.90:554/VideoInput/2/h264/1 RTSP/1.0\r\n"
            "CSeq: 4294967295\r\nSession: 0042ab\r\nUser-Agent: Kalmora\r\n\r\n");
}

TEST(RTSPRequestText, StreamNameFollowsKind) {
  RTSPRequestArgs args = CameraArgs();
  args.host = "cam-lobby.local";
  args.video_input = 1;
  args.stream_kind = kRTSPStreamMJPEG;
  EXPECT_EQ(FormatRTSPRequest(kRTSPDescribe, args, 7),
            "DESCRIBE rtsp://cam-lobby.local:554/VideoInput/1/mjpeg/1 RTSP/1.0\r\nCSeq: 7\r\n"
            "Accept: application/sdp\r\nUser-Agent: Kalmora\r\n\r\n");
  args.stream_kind = kRTSPStreamMPEG4;
  EXPECT_EQ(FormatRTSPRequest(kRTSPDescribe, args, 8).substr(0, 56),
            "DESCRIBE rtsp://cam-lobby.local:554/VideoInput/1/mpeg4/1");
}

TEST(RTSPRequestText, UnknownTypeOrKindGivesNoText) {
  RTSPRequestArgs args = CameraArgs();
  EXPECT_EQ(FormatRTSPRequest(0, args, 1), "");
  EXPECT_EQ(FormatRTSPRequest(7, args, 1), "");
  args.stream_kind = 0;
  EXPECT_EQ(FormatRTSPRequest(kRTSPDescribe, args, 1), "");
  args.stream_kind = 4;
  EXPECT_EQ(FormatRTSPRequest(kRTSPDescribe, args, 1), "");
}

// CSeq counter.

TEST(RTSPCSeq, FirstRequestCarriesOneThenCounts) {
  CRTSPCSeqCounter cseq;
  const RTSPRequestArgs args = CameraArgs();
  EXPECT_NE(BuildRTSPRequest(kRTSPDescribe, args, cseq).find("\r\nCSeq: 1\r\n"),
            std::string::npos);
  EXPECT_NE(BuildRTSPRequest(kRTSPSetup, args, cseq).find("\r\nCSeq: 2\r\n"), std::string::npos);
  EXPECT_EQ(cseq.Last(), 2U);
}

TEST(RTSPCSeq, NextRequestFollowsCamerasCSeq) {
  CRTSPCSeqCounter cseq;
  const RTSPRequestArgs args = CameraArgs();
  BuildRTSPRequest(kRTSPDescribe, args, cseq);
  // The camera answered with its own numbering.
  cseq.Follow(517);
  EXPECT_EQ(BuildRTSPRequest(kRTSPSetup, args, cseq),
            "SETUP rtsp://192.168.0.90:554/VideoInput/2/h264/1/trackID=1 RTSP/1.0\r\n"
            "CSeq: 518\r\n"
            "Transport: RTP/AVP;unicast;client_port=3556-3557\r\n"
            "User-Agent: Kalmora\r\n\r\n");
  cseq.Follow(3);
  EXPECT_NE(BuildRTSPRequest(kRTSPPlay, args, cseq).find("\r\nCSeq: 4\r\n"), std::string::npos);
}

TEST(RTSPCSeq, WrapsAfterLargestValue) {
  CRTSPCSeqCounter cseq;
  cseq.Follow(4294967295U);
  EXPECT_NE(BuildRTSPRequest(kRTSPOptions, CameraArgs(), cseq).find("\r\nCSeq: 0\r\n"),
            std::string::npos);
}

TEST(RTSPCSeq, RefusedRequestLeavesCounter) {
  CRTSPCSeqCounter cseq;
  RTSPRequestArgs args = CameraArgs();
  EXPECT_EQ(BuildRTSPRequest(9, args, cseq), "");
  args.stream_kind = 5;
  EXPECT_EQ(BuildRTSPRequest(kRTSPDescribe, args, cseq), "");
  EXPECT_EQ(cseq.Last(), 0U);
  args.stream_kind = kRTSPStreamH264;
  EXPECT_NE(BuildRTSPRequest(kRTSPDescribe, args, cseq).find("\r\nCSeq: 1\r\n"),
            std::string::npos);
}

}  // namespace
}  // namespace kalmora
