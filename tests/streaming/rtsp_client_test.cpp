// The RTSP client against a scripted server on port 554 of its own loopback address.
#include "streaming/rtsp_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "scripted_tcp_server.h"

namespace kalmora {
namespace {

using tessavirn_test::ScriptedTcpServer;
using Clock = std::chrono::steady_clock;
constexpr std::uint16_t kRtspPort = 554;

constexpr const char* kSdp =
    "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=live\r\nt=0 0\r\nm=video 0 RTP/AVP 96\r\n"
    "a=rtpmap:96 H264/90000\r\na=control:trackID=1\r\n";

std::string DescribeReply(unsigned cseq) {
  return "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(cseq) +
         "\r\nContent-Type: application/sdp\r\nContent-Length: " + std::to_string(std::string(kSdp).size()) +
         "\r\n\r\n" + kSdp;
}

std::string SetupReply(unsigned cseq, const std::string& session) {
  return "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(cseq) +
         "\r\nTransport: RTP/AVP;unicast;client_port=3556-3557;server_port=6970-6971\r\nSession: " + session +
         "\r\n\r\n";
}

std::string PlainReply(unsigned cseq, const std::string& extra = "") {
  return "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(cseq) + "\r\n" + extra + "\r\n";
}

bool Connect(CBaseRTSPClient& client, const char* address) {
  return client.Connect(2000, 3556, 3557, address, "admin", "secret");
}

TEST(RtspClientTest, RequestTextsOnTheWireFollowTheCamerasCSeqAndSession) {
  std::vector<std::string> seen;
  ScriptedTcpServer server("127.0.0.81", kRtspPort, [&](ScriptedTcpServer::Connection& c) {
    seen.push_back(c.ReadRequest());
    c.Send(DescribeReply(41));  // the camera numbers its own way
    seen.push_back(c.ReadRequest());
    c.Send(SetupReply(42, "0012AB;timeout=6"));
    seen.push_back(c.ReadRequest());
    // A bare Session header, as many cameras send after SETUP.
    c.Send(PlainReply(43, "Session: 0012AB\r\nRange: npt=0.000-\r\nRTP-Info: url=trackID=1;seq=1;rtptime=0\r\n"));
    seen.push_back(c.ReadRequest());  // OPTIONS
    c.Send(PlainReply(44));
    seen.push_back(c.ReadRequest());
    c.Send(PlainReply(45));
  });
  ASSERT_TRUE(server.listening());
  COrvaneRTSPClient client(2, kRTSPStreamH264);
  ASSERT_TRUE(Connect(client, "127.0.0.81"));
  ASSERT_TRUE(client.SendRequest(kRTSPDescribe));
  ASSERT_TRUE(client.SendRequest(kRTSPSetup));
  EXPECT_EQ(client.session_id(), "0012AB");
  EXPECT_EQ(client.GetSessionTimeoutMs(), 6000u);
  ASSERT_TRUE(client.SendRequest(kRTSPPlay));
  EXPECT_EQ(client.GetSessionTimeoutMs(), 6000u);  // kept from SETUP, not reset to 60 s
  ASSERT_TRUE(client.SendRequest(kRTSPOptions));
  ASSERT_TRUE(client.SendRequest(kRTSPTeardown));
  EXPECT_EQ(client.unread_replies(), 0);
  client.Disconnect();

  ASSERT_EQ(seen.size(), 5u);
  EXPECT_EQ(seen[0],
            "DESCRIBE rtsp://127.0.0.81:554/VideoInput/2/h264/1 RTSP/1.0\r\nCSeq: 1\r\n"
            "Accept: application/sdp\r\nUser-Agent: Kalmora\r\n\r\n");
  EXPECT_EQ(seen[1],
            "SETUP rtsp://127.0.0.81:554/VideoInput/2/h264/1/trackID=1 RTSP/1.0\r\nCSeq: 42\r\n"
            "Transport: RTP/AVP;unicast;client_port=3556-3557\r\nUser-Agent: Kalmora\r\n\r\n");
  EXPECT_EQ(seen[2],
            "PLAY rtsp://127.0.0.81:554/VideoInput/2/h264/1 RTSP/1.0\r\nCSeq: 43\r\nSession: 0012AB\r\n"
            "Range: npt=0.000-\r\nUser-Agent: Kalmora\r\n\r\n");
  EXPECT_EQ(seen[3],
            "OPTIONS rtsp://127.0.0.81:554/VideoInput/2/h264/1 RTSP/1.0\r\nCSeq: 44\r\nSession: 0012AB\r\n"
            "User-Agent: Kalmora\r\n\r\n");
  // The OPTIONS reply (CSeq 44) was read and dropped before TEARDOWN's reply.
  EXPECT_EQ(seen[4],
            "TEARDOWN rtsp://127.0.0.81:554/VideoInput/2/h264/1 RTSP/1.0\r\nCSeq: 45\r\nSession: 0012AB\r\n"
            "User-Agent: Kalmora\r\n\r\n");
}

TEST(RtspClientTest, DescribeBodyInLaterSegmentsIsReadWholeAndNotTakenForTheNextReply) {
  ScriptedTcpServer server("127.0.0.82", kRtspPort, [&](ScriptedTcpServer::Connection& c) {
    c.ReadRequest();
    const std::string reply = DescribeReply(1);
    const auto split = reply.find("\r\n\r\n") + 4;
    c.Send(reply.substr(0, split));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    c.Send(reply.substr(split, 20));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    c.Send(reply.substr(split + 20));
    c.ReadRequest();
    c.Send(SetupReply(2, "77;timeout=30"));
  });
  COrvaneRTSPClient client(1, kRTSPStreamH264);
  ASSERT_TRUE(Connect(client, "127.0.0.82"));
  ASSERT_TRUE(client.SendRequest(kRTSPDescribe));
  EXPECT_EQ(client.reply().body, kSdp);
  ASSERT_TRUE(client.SendRequest(kRTSPSetup));
  EXPECT_EQ(client.session_id(), "77");
  EXPECT_EQ(client.GetSessionTimeoutMs(), 30000u);
}

TEST(RtspClientTest, KeepAliveRepliesDoNotPileUpOverALongSession) {
  constexpr int kKeepAlives = 200;
  ScriptedTcpServer server("127.0.0.83", kRtspPort, [&](ScriptedTcpServer::Connection& c) {
    for (int i = 0; i < kKeepAlives; ++i) {
      if (c.ReadRequest().empty()) return;
      // Replies of every kind the camera may send, one with a body.
      c.Send(i % 3 == 0 ? "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(i + 1) + "\r\nContent-Length: 5\r\n\r\nhello"
                        : PlainReply(static_cast<unsigned>(i + 1), "Cache-Control: no-cache\r\n"));
    }
    c.ReadRequest();
    c.Send(PlainReply(kKeepAlives + 1));
  });
  COrvaneRTSPClient client(1, kRTSPStreamH264);
  ASSERT_TRUE(Connect(client, "127.0.0.83"));
  int most_unread = 0;
  for (int i = 0; i < kKeepAlives; ++i) {
    ASSERT_TRUE(client.SendRequest(kRTSPOptions));
    most_unread = std::max(most_unread, client.unread_replies());
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  // Each send first takes what has arrived; only replies still on their way stay unread.
  EXPECT_LT(most_unread, 20);
  ASSERT_TRUE(client.SendRequest(kRTSPTeardown));
  EXPECT_EQ(client.unread_replies(), 0);
  EXPECT_EQ(client.reply().cseq, static_cast<unsigned>(kKeepAlives + 1));
}

// Each case has an address of its own: ctest runs the cases side by side.
struct FailingReply {
  const char* name;
  const char* address;
  std::string reply;
};

class RtspClientRejectsTest : public ::testing::TestWithParam<FailingReply> {};

TEST_P(RtspClientRejectsTest, SetupFails) {
  const std::string reply = GetParam().reply;
  ScriptedTcpServer server(GetParam().address, kRtspPort, [&](ScriptedTcpServer::Connection& c) {
    c.ReadRequest();
    c.Send(reply);
    c.Hold();
  });
  ASSERT_TRUE(server.listening());
  COrvaneRTSPClient client(1, kRTSPStreamH264);
  ASSERT_TRUE(Connect(client, GetParam().address));
  EXPECT_FALSE(client.SendRequest(kRTSPSetup));
}

INSTANTIATE_TEST_SUITE_P(
    Replies, RtspClientRejectsTest,
    ::testing::Values(
        FailingReply{"Status454", "127.0.0.180", "RTSP/1.0 454 Session Not Found\r\nCSeq: 1\r\n\r\n"},
        FailingReply{"NoServerPort", "127.0.0.181",
                     "RTSP/1.0 200 OK\r\nCSeq: 1\r\nTransport: RTP/AVP;unicast;client_port=3556-3557\r\n"
                     "Session: 5\r\n\r\n"},
        FailingReply{"MalformedCSeq", "127.0.0.182", "RTSP/1.0 200 OK\r\nCSeq: x\r\n\r\n"},
        FailingReply{"MalformedContentLength", "127.0.0.183", "RTSP/1.0 200 OK\r\nCSeq: 1\r\nContent-Length: many\r\n\r\n"},
        FailingReply{"SessionWithoutId", "127.0.0.184", "RTSP/1.0 200 OK\r\nCSeq: 1\r\nSession: ;timeout=60\r\n\r\n"},
        FailingReply{"BodyShortOfItsLength", "127.0.0.185",
                     "RTSP/1.0 200 OK\r\nCSeq: 1\r\nContent-Length: 400\r\n\r\nv=0\r\n"}),
    [](const ::testing::TestParamInfo<FailingReply>& param) { return std::string(param.param.name); });

TEST(RtspClientTest, UnknownHeadersAreIgnoredAndIdsKeptVerbatim) {
  ScriptedTcpServer server("127.0.0.85", kRtspPort, [&](ScriptedTcpServer::Connection& c) {
    c.ReadRequest();
    c.Send("RTSP/1.0 200 OK\r\nCSeq: 1\r\nCache-Control: no-cache\r\nExpires: Tue, 08 Dec 2026 06:00:00 GMT\r\n"
           "Transport: RTP/AVP;unicast;client_port=3556-3557;server_port=6970-6971;ssrc=1A2B\r\n"
           "Session: 00A1B2C3D4E5F607\r\n\r\n");
    c.ReadRequest();
    c.Send(PlainReply(2));
  });
  COrvaneRTSPClient client(1, kRTSPStreamH264);
  ASSERT_TRUE(Connect(client, "127.0.0.85"));
  ASSERT_TRUE(client.SendRequest(kRTSPSetup));
  EXPECT_EQ(client.session_id(), "00A1B2C3D4E5F607");
  EXPECT_EQ(client.GetSessionTimeoutMs(), 60000u);
  EXPECT_EQ(client.reply().server_rtp_port, 6970);
  ASSERT_TRUE(client.SendRequest(kRTSPPlay));
}

TEST(RtspClientTest, ConnectFailsWithoutAListenerAndRequestsNeedAConnection) {
  COrvaneRTSPClient client(1, kRTSPStreamH264);
  EXPECT_FALSE(client.SendRequest(kRTSPDescribe));
  EXPECT_FALSE(Connect(client, "127.0.0.86"));
  EXPECT_FALSE(client.connected());
  COrvaneRTSPClient unknown_kind(1, 9);
  ScriptedTcpServer server("127.0.0.86", kRtspPort, [](ScriptedTcpServer::Connection& c) { c.Hold(); });
  ASSERT_TRUE(Connect(unknown_kind, "127.0.0.86"));
  EXPECT_FALSE(unknown_kind.SendRequest(kRTSPDescribe));  // no text for that stream kind
}

TEST(RtspClientTest, AbortEndsAReplyWaitAtOnceAndTheClientStaysUnusable) {
  ScriptedTcpServer server("127.0.0.87", kRtspPort, [](ScriptedTcpServer::Connection& c) { c.Hold(); });
  COrvaneRTSPClient client(1, kRTSPStreamH264);
  ASSERT_TRUE(Connect(client, "127.0.0.87"));
  std::thread aborter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    client.Abort();
  });
  const auto start = Clock::now();
  EXPECT_FALSE(client.SendRequest(kRTSPDescribe));
  const auto waited = Clock::now() - start;
  aborter.join();
  // Without the abort the wait would last the whole receive time-out.
  EXPECT_LT(waited, std::chrono::milliseconds(CBaseRTSPClient::kReceiveTimeoutMs - 300));
  EXPECT_FALSE(client.SendRequest(kRTSPOptions));
  client.Disconnect();
}

// A reply waited for ends at one deadline from its request, however its bytes come: the
// receive time-out used to restart with every byte, and endless header lines were read forever.
TEST(RtspClientTest, AHostileReplyFailsByItsDeadlineAndLeavesTheClientUnusable) {
  using Script = std::function<void(ScriptedTcpServer::Connection&)>;
  const std::string header_line = "X-Camera: " + std::string(60, 'x') + "\r\n";
  const struct {
    const char* name;
    const char* address;
    Script reply;
  } kRows[] = {
      {"status line then a byte every 100 ms", "127.0.0.230",
       [](auto& c) { c.Trickle("RTSP/1.0 200 OK\r\nCSeq: 1\r\nX-Slow: yes\r\n", std::chrono::milliseconds(100)); }},
      {"endless header lines", "127.0.0.231",
       [&](auto& c) {
         c.Send("RTSP/1.0 200 OK\r\nCSeq: 1\r\n");
         c.Flood(header_line);
       }},
      {"one endless line", "127.0.0.232",
       [](auto& c) {
         c.Send("RTSP/1.0 200 OK\r\nX-Endless: ");
         c.Flood(std::string(4096, 'e'));
       }},
      {"endless empty lines", "127.0.0.233", [](auto& c) { c.Flood("\r\n\r\n\r\n\r\n"); }},
      {"body trickled short of its length", "127.0.0.234",
       [](auto& c) {
         c.Send("RTSP/1.0 200 OK\r\nCSeq: 1\r\nContent-Length: 1000000\r\n\r\n");
         c.Trickle("v=0\r\n", std::chrono::milliseconds(50));
       }},
  };
  for (const auto& row : kRows) {
    const Script reply = row.reply;
    ScriptedTcpServer server(row.address, kRtspPort, [&](ScriptedTcpServer::Connection& c) {
      c.ReadRequest();
      reply(c);
    });
    ASSERT_TRUE(server.listening()) << row.name;
    COrvaneRTSPClient client(1, kRTSPStreamH264);
    ASSERT_TRUE(Connect(client, row.address)) << row.name;
    const auto start = Clock::now();
    EXPECT_FALSE(client.SendRequest(kRTSPDescribe)) << row.name;
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(CBaseRTSPClient::kReceiveTimeoutMs + 1000)) << row.name;
    EXPECT_FALSE(client.SendRequest(kRTSPOptions)) << row.name;  // where the next reply starts is unknown
    client.Disconnect();
  }
}

TEST(RtspClientTest, ACameraThatNeverAnswersFailsTheRequestAfterTheReceiveTimeOut) {
  ScriptedTcpServer server("127.0.0.88", kRtspPort, [](ScriptedTcpServer::Connection& c) { c.Hold(); });
  COrvaneRTSPClient client(1, kRTSPStreamH264);
  ASSERT_TRUE(Connect(client, "127.0.0.88"));
  EXPECT_FALSE(client.SendRequest(kRTSPPlay));
}

}  // namespace
}  // namespace kalmora
