#include "streaming/rtsp_response_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace kalmora {
namespace {

using Status = RTSPParseStatus;

constexpr std::string_view kSdp =
    "v=0\r\n"
    "o=- 1 1 IN IP4 192.168.0.90\r\n"
    "s=Session streamed by camera\r\n"
    "m=video 0 RTP/AVP 96\r\n"
    "a=rtpmap:96 H264/90000\r\n"
    "a=control:trackID=1\r\n";

std::string DescribeReply() {
  return std::string(
             "RTSP/1.0 200 OK\r\n"
             "CSeq: 1\r\n"
             "Content-Base: rtsp://192.168.0.90:554/VideoInput/1/h264/1/\r\n"
             "Content-Type: application/sdp\r\n"
             "Content-Length: ") +
         std::to_string(kSdp.size()) + "\r\n\r\n" + std::string(kSdp);
}

// Feeds a whole reply in one piece; the status it ends with.
Status FeedAll(CRTSPResponseParser& parser, std::string_view bytes) {
  return parser.Feed(bytes).status;
}

// A 200 reply with one extra header line.
std::string ReplyWith(std::string_view header_line) {
  return "RTSP/1.0 200 OK\r\nCSeq: 2\r\n" + std::string(header_line) + "\r\n\r\n";
}

// Lines.

TEST(RTSPReplyLines, LongLineKeepsFirst1022AndLosesThe1023rd) {
  // A 1500-character status line whose characters 1024 to 1500 form a CSeq header: they come
  // back as the next line. Were the 1023rd kept, that line would be no CSeq.
  std::string line = "RTSP/1.0 200 OK";
  line.resize(1022, ' ');
  line += 'L';  // character 1023: lost
  line += "CSeq: 9";
  line.resize(1500, ' ');
  CRTSPResponseParser parser;
  EXPECT_EQ(FeedAll(parser, line + "\r\n\r\n"), Status::kComplete);
  EXPECT_EQ(parser.Reply().status_code, 200);
  EXPECT_EQ(parser.Reply().reason, "OK");
  EXPECT_TRUE(parser.Reply().has_cseq);
  EXPECT_EQ(parser.Reply().cseq, 9U);
}

TEST(RTSPReplyLines, RemainderOfLongLineIsParsedAsHeader) {
  std::string line = "X-Padding: ";
  line.resize(1022, 'p');
  line += '!';  // lost
  // The remainder is a CSeq line, which proves the cut falls exactly after 1022 characters.
  CRTSPResponseParser parser;
  EXPECT_EQ(FeedAll(parser, "RTSP/1.0 200 OK\r\n" + line + "CSeq: 77\r\n\r\n"), Status::kComplete);
  EXPECT_TRUE(parser.Reply().has_cseq);
  EXPECT_EQ(parser.Reply().cseq, 77U);
}

TEST(RTSPReplyLines, LineOfExactly1022EndsAtItsLineFeed) {
  std::string line = "X-Padding: ";
  line.resize(1022, 'p');
  CRTSPResponseParser parser;
  EXPECT_EQ(FeedAll(parser, "RTSP/1.0 200 OK\r\n" + line + "\r\nCSeq: 5\r\n\r\n"),
            Status::kComplete);
  EXPECT_EQ(parser.Reply().cseq, 5U);
}

TEST(RTSPReplyLines, BareLineFeedsAndStrayCarriageReturns) {
  CRTSPResponseParser parser;
  EXPECT_EQ(FeedAll(parser, "RTSP/1.0 200 OK\nCSeq: 1\r3\n\n"), Status::kComplete);
  EXPECT_EQ(parser.Reply().cseq, 13U);
}

// Status line.

TEST(RTSPReplyStatusLine, FieldsOfOkReply) {
  CRTSPResponseParser parser;
  EXPECT_EQ(FeedAll(parser, "RTSP/1.0 200 OK\r\nCSeq: 3\r\n\r\n"), Status::kComplete);
  EXPECT_EQ(parser.Reply().protocol, "RTSP/1.0");
  EXPECT_EQ(parser.Reply().status_code, 200);
  EXPECT_EQ(parser.Reply().reason, "OK");
}

TEST(RTSPReplyStatusLine, ErrorCodeFails) {
  CRTSPResponseParser parser;
  const RTSPFeedResult result = parser.Feed("RTSP/1.0 454 Session Not Found\r\nCSeq: 6\r\n\r\n");
  EXPECT_EQ(result.status, Status::kMalformed);
  EXPECT_EQ(parser.Reply().status_code, 454);
  // It stops at the failed line.
  EXPECT_EQ(result.consumed, std::string_view("RTSP/1.0 454 Session Not Found\r\n").size());
}

TEST(RTSPReplyStatusLine, TwoHundredElsewhereIsNotOk) {
  CRTSPResponseParser parser;
  EXPECT_EQ(FeedAll(parser, "RTSP/1.0 404 Not-200\r\n\r\n"), Status::kMalformed);
}

TEST(RTSPReplyStatusLine, MissingReasonFails) {
  CRTSPResponseParser parser;
  EXPECT_EQ(FeedAll(parser, "RTSP/1.0 200\r\n\r\n"), Status::kMalformed);
}

TEST(RTSPReplyStatusLine, WordOf15CharactersFails) {
  const std::string reason14(14, 'K');
  const std::string reason15(15, 'K');
  CRTSPResponseParser parser;
  EXPECT_EQ(FeedAll(parser, "RTSP/1.0 200 " + reason15 + "\r\n\r\n"), Status::kMalformed);
  parser.Reset();
  EXPECT_EQ(FeedAll(parser, "RTSP/1.0 200 " + reason14 + "\r\n\r\n"), Status::kComplete);
  EXPECT_EQ(parser.Reply().reason, reason14);
  parser.Reset();
  EXPECT_EQ(FeedAll(parser, "RTSP/1.0.0.0.0 200 OK\r\n\r\n"), Status::kComplete);  // 14
  parser.Reset();
  EXPECT_EQ(FeedAll(parser, "RTSP/1.0.0.0.0. 200 OK\r\n\r\n"), Status::kMalformed);  // 15
}

TEST(RTSPReplyStatusLine, EmptyLinesBeforeStatusArePassedOver) {
  CRTSPResponseParser parser;
  EXPECT_EQ(FeedAll(parser, "\r\n\r\nRTSP/1.0 200 OK\r\nCSeq: 4\r\n\r\n"), Status::kComplete);
  EXPECT_EQ(parser.Reply().cseq, 4U);
}

// Header kinds.

TEST(RTSPReplyHeaderKinds, EachNameWithoutRegardToCase) {
  CRTSPResponseParser parser;
  EXPECT_EQ(parser.ParseHeaderLine(""), kRTSPHeaderEnd);
  EXPECT_EQ(parser.ParseHeaderLine("CSeq: 1"), kRTSPHeaderCSeq);
  EXPECT_EQ(parser.ParseHeaderLine("cseq: 1"), kRTSPHeaderCSeq);
  EXPECT_EQ(parser.ParseHeaderLine("Date: Tue, 08 Dec 2026 05:20:00 GMT"), kRTSPHeaderDate);
  EXPECT_EQ(parser.ParseHeaderLine("Content-Base: rtsp://cam/"), kRTSPHeaderContentBase);
  EXPECT_EQ(parser.ParseHeaderLine("content-type: application/sdp"), kRTSPHeaderContentType);
  EXPECT_EQ(parser.ParseHeaderLine("CONTENT-LENGTH: 0"), kRTSPHeaderContentLength);
  EXPECT_EQ(parser.ParseHeaderLine(
                "Transport: RTP/AVP;unicast;client_port=3556-3557;server_port=6970-6971"),
            kRTSPHeaderTransport);
  EXPECT_EQ(parser.ParseHeaderLine("Session: 12345678"), kRTSPHeaderSession);
  EXPECT_EQ(parser.ParseHeaderLine("Range: npt=0.000-"), kRTSPHeaderRange);
  EXPECT_EQ(parser.ParseHeaderLine("RTP-Info: url=trackID=1;seq=65534;rtptime=0"),
            kRTSPHeaderRTPInfo);
  EXPECT_EQ(parser.ParseHeaderLine("Server: Camera RTSP 1.2"), kRTSPHeaderServer);
  EXPECT_EQ(parser.ParseHeaderLine("Accept-Ranges: NPT"), kRTSPHeaderAcceptRanges);
  EXPECT_EQ(parser.ParseHeaderLine("Cache-Control: no-cache"), kRTSPHeaderOther);
}

TEST(RTSPReplyHeaderKinds, UnknownHeaderIsIgnoredInOkReply) {
  CRTSPResponseParser parser;
  EXPECT_EQ(FeedAll(parser, "RTSP/1.0 200 OK\r\n"
                            "Cache-Control: no-cache\r\n"
                            "CSeq: 12\r\n"
                            "x-Dynamic-Rate: 1\r\n"
                            "\r\n"),
            Status::kComplete);
  EXPECT_EQ(parser.Reply().cseq, 12U);
}

// Malformed known headers.

TEST(RTSPReplyMalformedHeader, CSeq) {
  for (const char* line : {"CSeq: ", "CSeq: abc", "CSeq 5", "CSeq: -1", "CSeq: 4294967296"}) {
    CRTSPResponseParser parser;
    EXPECT_EQ(FeedAll(parser, ReplyWith(line)), Status::kMalformed) << line;
  }
}

TEST(RTSPReplyMalformedHeader, ContentTypeWithoutValueOrTooLong) {
  CRTSPResponseParser parser;
  EXPECT_EQ(FeedAll(parser, ReplyWith("Content-Type:")), Status::kMalformed);
  parser.Reset();
  EXPECT_EQ(FeedAll(parser, ReplyWith("Content-Type: " + std::string(255, 't'))),
            Status::kMalformed);
  parser.Reset();
  EXPECT_EQ(FeedAll(parser, ReplyWith("Content-Type: " + std::string(254, 't'))),
            Status::kComplete);
  EXPECT_EQ(parser.Reply().content_type.size(), 254U);
}

TEST(RTSPReplyMalformedHeader, ContentLength) {
  for (const char* line : {"Content-Length: none", "Content-Length:", "Content-Length: 2147483648",
                           "Content-Length: 1048577"}) {
    CRTSPResponseParser parser;
    EXPECT_EQ(FeedAll(parser, ReplyWith(line)), Status::kMalformed) << line;
  }
}

TEST(RTSPReplyMalformedHeader, TransportWithoutServerPort) {
  CRTSPResponseParser parser;
  EXPECT_EQ(FeedAll(parser, ReplyWith("Transport: RTP/AVP;unicast;client_port=3556-3557")),
            Status::kMalformed);
}

TEST(RTSPReplyMalformedHeader, TransportWithoutClientPortOrSecondNumber) {
  for (const char* line : {"Transport: RTP/AVP;unicast;server_port=6970-6971",
                           "Transport: RTP/AVP;client_port=3556;server_port=6970-6971",
                           "Transport: RTP/AVP;client_port=3556-;server_port=6970-6971",
                           "Transport:"}) {
    CRTSPResponseParser parser;
    EXPECT_EQ(FeedAll(parser, ReplyWith(line)), Status::kMalformed) << line;
  }
}

TEST(RTSPReplyMalformedHeader, SessionWithoutIdOrWithOverlongId) {
  for (const std::string& line :
       {std::string("Session:"), std::string("Session: ;timeout=60"),
        "Session: " + std::string(255, '7'), std::string("Session: ab\x01")}) {
    CRTSPResponseParser parser;
    EXPECT_EQ(FeedAll(parser, ReplyWith(line)), Status::kMalformed) << line;
  }
}

// Transport and Session.

TEST(RTSPReplyTransport, PortsAndFirstWord) {
  CRTSPResponseParser parser;
  EXPECT_EQ(FeedAll(parser, "RTSP/1.0 200 OK\r\n"
                            "CSeq: 2\r\n"
                            "Session: 47112344;timeout=60\r\n"
                            "Transport: RTP/AVP;unicast;client_port=3556-3557;"
                            "server_port=6970-6971;ssrc=1A2B3C4D;mode=\"PLAY\"\r\n"
                            "\r\n"),
            Status::kComplete);
  const RTSPReply& reply = parser.Reply();
  EXPECT_EQ(reply.transport,
            "RTP/AVP;unicast;client_port=3556-3557;server_port=6970-6971;ssrc=1A2B3C4D;"
            "mode=\"PLAY\"");
  EXPECT_EQ(reply.client_rtp_port, 3556);
  EXPECT_EQ(reply.client_rtcp_port, 3557);
  EXPECT_EQ(reply.server_rtp_port, 6970);
  EXPECT_EQ(reply.server_rtcp_port, 6971);
  EXPECT_TRUE(reply.has_ssrc);
  EXPECT_EQ(reply.ssrc, 0x1A2B3C4Du);
}

TEST(RTSPReplyTransport, SsrcOnlyWhenOneToEightHexDigits) {
  const struct {
    const char* parameter;
    bool has_ssrc;
    std::uint32_t ssrc;
  } kRows[] = {
      {";ssrc=0", true, 0},
      {";ssrc=fFfFfFfF", true, 0xFFFFFFFF},
      {";ssrc=12345;mode=play", true, 0x12345},
      {";ssrc=123456789", false, 0},  // nine digits name no 32-bit source
      {";ssrc=", false, 0},
      {";ssrc=xyz", false, 0},
      {"", false, 0},
  };
  for (const auto& row : kRows) {
    CRTSPResponseParser parser;
    EXPECT_EQ(parser.ParseHeaderLine(std::string("Transport: RTP/AVP;unicast;client_port=1-2;server_port=3-4") +
                                     row.parameter),
              kRTSPHeaderTransport)
        << row.parameter;
    EXPECT_EQ(parser.Reply().has_ssrc, row.has_ssrc) << row.parameter;
    EXPECT_EQ(parser.Reply().ssrc, row.ssrc) << row.parameter;
  }
}

TEST(RTSPReplyTransport, ParametersAfterSpaceAreFound) {
  CRTSPResponseParser parser;
  EXPECT_EQ(parser.ParseHeaderLine(
                "Transport: RTP/AVP; unicast; client_port=4000-4001; server_port=50000-50001"),
            kRTSPHeaderTransport);
  EXPECT_EQ(parser.Reply().transport, "RTP/AVP;");
  EXPECT_EQ(parser.Reply().client_rtp_port, 4000);
  EXPECT_EQ(parser.Reply().server_rtcp_port, 50001);
}

TEST(RTSPReplySession, NumericIdWithAndWithoutTimeout) {
  CRTSPResponseParser parser;
  EXPECT_EQ(parser.ParseHeaderLine("Session: 47112344;timeout=60"), kRTSPHeaderSession);
  EXPECT_EQ(parser.Reply().session_id, "47112344");
  EXPECT_EQ(parser.Reply().session_timeout_s, 60);
  EXPECT_EQ(parser.ParseHeaderLine("Session: 47112345"), kRTSPHeaderSession);
  EXPECT_EQ(parser.Reply().session_id, "47112345");
  EXPECT_EQ(parser.Reply().session_timeout_s, 0);
}

TEST(RTSPReplySession, LeadingZerosAndLettersKeptVerbatim) {
  CRTSPResponseParser parser;
  EXPECT_EQ(FeedAll(parser, "RTSP/1.0 200 OK\r\n"
                            "CSeq: 2\r\n"
                            "Session: 000A7f3c-9$Zq;timeout=20\r\n"
                            "\r\n"),
            Status::kComplete);
  EXPECT_EQ(parser.Reply().session_id, "000A7f3c-9$Zq");
  EXPECT_EQ(parser.Reply().session_timeout_s, 20);
}

TEST(RTSPReplySession, IdEndsAtSpaceAnd254CharactersFit) {
  CRTSPResponseParser parser;
  EXPECT_EQ(parser.ParseHeaderLine("Session:   0012 ; Timeout = 30"), kRTSPHeaderSession);
  EXPECT_EQ(parser.Reply().session_id, "0012");
  EXPECT_EQ(parser.Reply().session_timeout_s, 30);
  const std::string longest(254, 'S');
  EXPECT_EQ(parser.ParseHeaderLine("Session: " + longest), kRTSPHeaderSession);
  EXPECT_EQ(parser.Reply().session_id, longest);
}

TEST(RTSPReplySession, BadTimeoutCountsAsNone) {
  CRTSPResponseParser parser;
  EXPECT_EQ(parser.ParseHeaderLine("Session: 77;timeout=soon"), kRTSPHeaderSession);
  EXPECT_EQ(parser.Reply().session_id, "77");
  EXPECT_EQ(parser.Reply().session_timeout_s, 0);
  EXPECT_EQ(parser.ParseHeaderLine("Session: 78;timeout=-5"), kRTSPHeaderSession);
  EXPECT_EQ(parser.Reply().session_timeout_s, 0);
  EXPECT_EQ(parser.ParseHeaderLine("Session: 79;timeout=99999999999"), kRTSPHeaderSession);
  EXPECT_EQ(parser.Reply().session_timeout_s, 0);
  EXPECT_EQ(parser.ParseHeaderLine("Session: 80;mode=1;timeout=40"), kRTSPHeaderSession);
  EXPECT_EQ(parser.Reply().session_timeout_s, 0);
}

TEST(RTSPReplySession, AnnouncedTimeoutIsKeptWithinASecondAndADay) {
  const struct {
    const char* header;
    int seconds;
  } kRows[] = {
      {"Session: 1;timeout=0", 1},
      {"Session: 2;timeout=1", 1},
      {"Session: 3;timeout=86400", 86400},
      {"Session: 4;timeout=86401", 86400},
      {"Session: 5;timeout=4294968", 86400},  // in milliseconds it would wrap round to 704
  };
  for (const auto& row : kRows) {
    CRTSPResponseParser parser;
    EXPECT_EQ(parser.ParseHeaderLine(row.header), kRTSPHeaderSession) << row.header;
    EXPECT_EQ(parser.Reply().session_timeout_s, row.seconds) << row.header;
  }
}

TEST(RTSPReplyLimits, AHeaderSectionWithoutEndIsMalformedAtItsCap) {
  const struct {
    const char* name;
    std::string bytes;
    CRTSPResponseParser::Mode mode;
  } kRows[] = {
      {"101 lines", "RTSP/1.0 200 OK\r\n" + [&] {
         std::string lines;
         for (int i = 0; i < 100; ++i) lines += "X-Line: 1\r\n";
         return lines;
       }(), CRTSPResponseParser::Mode::kCheck},
      {"one endless line", "RTSP/1.0 200 OK\r\nX-Long: " + std::string(70000, 'a'), CRTSPResponseParser::Mode::kCheck},
      {"endless empty lines before the status", std::string(70000, '\n'), CRTSPResponseParser::Mode::kSkip},
      {"skipped reply of 120 header lines", "RTSP/1.0 454 Session Not Found\r\n" + [&] {
         std::string lines;
         for (int i = 0; i < 120; ++i) lines += "X-Filler: " + std::string(100, 'f') + "\r\n";
         return lines;
       }(), CRTSPResponseParser::Mode::kSkip},
  };
  for (const auto& row : kRows) {
    CRTSPResponseParser parser(row.mode);
    const RTSPFeedResult fed = parser.Feed(row.bytes);
    EXPECT_EQ(fed.status, Status::kMalformed) << row.name;
    EXPECT_LE(fed.consumed, CRTSPResponseParser::kMaxHeaderBytes) << row.name;
  }
  // 100 lines, the status line and the empty one among them, still make a reply.
  std::string lines = "RTSP/1.0 200 OK\r\n";
  for (int i = 0; i < 98; ++i) lines += "X-Line: 1\r\n";
  CRTSPResponseParser parser;
  EXPECT_EQ(FeedAll(parser, lines + "\r\n"), Status::kComplete);
}

// Body and incremental feeding.

TEST(RTSPReplyBody, DescribeInOnePiece) {
  const std::string reply = DescribeReply();
  CRTSPResponseParser parser;
  const RTSPFeedResult result = parser.Feed(reply);
  EXPECT_EQ(result.status, Status::kComplete);
  EXPECT_EQ(result.consumed, reply.size());
  EXPECT_EQ(parser.Reply().content_type, "application/sdp");
  EXPECT_EQ(parser.Reply().content_length, static_cast<int>(kSdp.size()));
  EXPECT_EQ(parser.Reply().body, kSdp);
}

TEST(RTSPReplyBody, SplitOverSeveralFeedsAtEveryPoint) {
  const std::string reply = DescribeReply();
  // Two cuts at every pair of positions a few bytes apart, including inside CR LF CR LF.
  for (std::size_t first = 1; first < reply.size(); ++first) {
    const std::size_t second = std::min(reply.size(), first + 1 + first % 7);
    CRTSPResponseParser parser;
    const RTSPFeedResult a = parser.Feed(std::string_view(reply).substr(0, first));
    ASSERT_EQ(a.status, Status::kNeedMore) << first;
    ASSERT_EQ(a.consumed, first);
    const RTSPFeedResult b = parser.Feed(std::string_view(reply).substr(first, second - first));
    const RTSPFeedResult c = parser.Feed(std::string_view(reply).substr(second));
    ASSERT_EQ(second == reply.size() ? b.status : c.status, Status::kComplete) << first;
    ASSERT_EQ(parser.Reply().body, kSdp) << first;
    ASSERT_EQ(parser.Reply().cseq, 1U);
  }
}

TEST(RTSPReplyBody, ByteByByte) {
  const std::string reply = DescribeReply();
  CRTSPResponseParser parser;
  for (std::size_t i = 0; i + 1 < reply.size(); ++i) {
    ASSERT_EQ(parser.Feed(&reply[i], 1).status, Status::kNeedMore) << i;
  }
  EXPECT_EQ(parser.Feed(&reply.back(), 1).status, Status::kComplete);
  EXPECT_EQ(parser.Reply().body, kSdp);
}

TEST(RTSPReplyBody, CompleteReplyTakesNoMore) {
  CRTSPResponseParser parser;
  EXPECT_EQ(FeedAll(parser, "RTSP/1.0 200 OK\r\nCSeq: 3\r\n\r\n"), Status::kComplete);
  const RTSPFeedResult again = parser.Feed("RTSP/1.0 200 OK\r\n");
  EXPECT_EQ(again.status, Status::kComplete);
  EXPECT_EQ(again.consumed, 0U);
}

// Two replies in one buffer.

TEST(RTSPReplyBackToBack, SecondReplyLeftIntact) {
  const std::string options = "RTSP/1.0 200 OK\r\nCSeq: 4\r\nSession: 0042ab\r\n\r\n";
  const std::string teardown = "RTSP/1.0 200 OK\r\nCSeq: 5\r\nSession: 0042ab\r\n\r\n";
  const std::string buffer = options + teardown;
  CRTSPResponseParser parser;
  const RTSPFeedResult first = parser.Feed(buffer);
  EXPECT_EQ(first.status, Status::kComplete);
  EXPECT_EQ(first.consumed, options.size());
  EXPECT_EQ(parser.Reply().cseq, 4U);
  parser.Reset();
  const RTSPFeedResult second = parser.Feed(std::string_view(buffer).substr(first.consumed));
  EXPECT_EQ(second.status, Status::kComplete);
  EXPECT_EQ(second.consumed, teardown.size());
  EXPECT_EQ(parser.Reply().cseq, 5U);
}

TEST(RTSPReplyBackToBack, SkipsKeepAliveRepliesWhateverStatus) {
  // Two queued keep-alive replies, one refused, then the reply waited for, cut short.
  const std::string queued =
      "RTSP/1.0 200 OK\r\nCSeq: 6\r\nSession: 0042ab\r\n\r\n"
      "RTSP/1.0 454 Session Not Found\r\nCSeq: 7\r\nX-Odd: 1\r\n\r\n";
  const std::string next = "RTSP/1.0 200 OK\r\nCSeq: 8\r\n";
  const std::string buffer = queued + next;
  CRTSPResponseParser skipper(CRTSPResponseParser::Mode::kSkip);
  std::size_t at = 0;
  int skipped = 0;
  for (;;) {
    const RTSPFeedResult result = skipper.Feed(std::string_view(buffer).substr(at));
    if (result.status != Status::kComplete) break;
    ASSERT_GT(result.consumed, 0U);
    at += result.consumed;
    ++skipped;
    skipper.Reset();
  }
  EXPECT_EQ(skipped, 2);
  EXPECT_EQ(skipper.Reply().cseq, 8U);
  // The bytes of the reply after the skipped ones, read again by a checking parser.
  CRTSPResponseParser parser;
  EXPECT_EQ(parser.Feed(std::string_view(buffer).substr(queued.size())).status,
            Status::kNeedMore);
  EXPECT_EQ(parser.Feed("\r\n").status, Status::kComplete);
  EXPECT_EQ(parser.Reply().cseq, 8U);
}

TEST(RTSPReplyBackToBack, SkipStillNeedsContentLength) {
  CRTSPResponseParser skipper(CRTSPResponseParser::Mode::kSkip);
  EXPECT_EQ(FeedAll(skipper, "RTSP/1.0 200 OK\r\nContent-Length: many\r\n\r\n"),
            Status::kMalformed);
}

// Connection closed by the camera.

TEST(RTSPReplyClose, HeadersEndAtClose) {
  CRTSPResponseParser parser;
  EXPECT_EQ(FeedAll(parser, "RTSP/1.0 200 OK\r\nCSeq: 3"), Status::kNeedMore);
  EXPECT_EQ(parser.FeedEnd(), Status::kComplete);
  EXPECT_EQ(parser.Reply().cseq, 3U);
}

TEST(RTSPReplyClose, ShortBodyOrNoStatusFails) {
  CRTSPResponseParser parser;
  EXPECT_EQ(FeedAll(parser, "RTSP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nv=0\r\n"),
            Status::kNeedMore);
  EXPECT_EQ(parser.FeedEnd(), Status::kMalformed);
  parser.Reset();
  EXPECT_EQ(parser.FeedEnd(), Status::kMalformed);
}

}  // namespace
}  // namespace kalmora
