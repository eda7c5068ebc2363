// The RTCP responder: the reply bytes, answering on a real loopback port, and its life cycle.
#include "streaming/rtcp_responder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "udp_test_socket.h"

namespace kalmora {
namespace {

using namespace std::chrono_literals;
using test::UdpTestSocket;
using Reply = std::vector<std::uint8_t>;

// A sender report without report blocks: 28 bytes, sender SSRC DE AD BE EF.
const std::vector<std::uint8_t> kSenderReport = {
    0x80, 0xC8, 0x00, 0x06,  // V=2, RC=0, PT=200, length 6
    0xDE, 0xAD, 0xBE, 0xEF,  // sender SSRC
    0xE8, 0x12, 0x34, 0x56,  // NTP time stamp, most significant word
    0x9A, 0xBC, 0xDE, 0xF0,  // NTP time stamp, least significant word
    0x00, 0x01, 0x5F, 0x90,  // RTP time stamp
    0x00, 0x00, 0x00, 0x2A,  // packet count
    0x00, 0x00, 0x4E, 0x20,  // octet count
};

std::string HostName() {
  char name[129] = {};
  if (gethostname(name, 128) != 0 || name[0] == '\0') return "default";
  return std::string(name, strnlen(name, 128));
}

// The reply as the camera must see it, written out field by field.
Reply ExpectedReply(std::uint32_t own, const std::uint8_t sender[4], const std::uint8_t last_sr[4],
                    const std::string& cname) {
  const std::uint8_t o[4] = {static_cast<std::uint8_t>(own >> 24), static_cast<std::uint8_t>(own >> 16),
                             static_cast<std::uint8_t>(own >> 8), static_cast<std::uint8_t>(own)};
  Reply reply = {
      0x81, 0xC9, 0x00, 0x07,                          // receiver report, one block
      o[0], o[1], o[2], o[3],                          // our SSRC
      sender[0], sender[1], sender[2], sender[3],      // the block is about the sender
      0x00, 0x00, 0x00, 0x00,                          // nothing lost
      0x00, 0x00, 0x00, 0x00,                          // highest sequence 0
      0x00, 0x00, 0x00, 0x00,                          // jitter
      last_sr[0], last_sr[1], last_sr[2], last_sr[3],  // last sender report
      0x00, 0x00, 0x00, 0x01,                          // delay since it
      0x81, 0xCA, 0x00, 0x05,                          // source description, one chunk
      o[0], o[1], o[2], o[3],                          // our SSRC
      0x01, static_cast<std::uint8_t>(cname.size()),   // CNAME item and its length
  };
  for (std::size_t i = 0; i < 26; ++i) reply.push_back(i < cname.size() ? static_cast<std::uint8_t>(cname[i]) : 0);
  return reply;
}

// The SSRC a seed gives: four draws, the low byte of each, first most significant.
std::uint32_t SsrcForSeed(std::time_t seed) {
  std::srand(static_cast<unsigned>(seed));
  std::uint32_t ssrc = 0;
  for (int i = 0; i < 4; ++i) ssrc = (ssrc << 8) | static_cast<std::uint32_t>(std::rand() & 0xFF);
  return ssrc;
}

TEST(RTCPResponderTest, ReplyBytes) {
  const std::uint8_t sender[4] = {0xA1, 0xB2, 0xC3, 0xD4};
  const std::uint8_t last_sr[4] = {0x55, 0x66, 0x77, 0x88};
  const std::string cname = "camera-7";
  const auto reply = CRTCPResponder::BuildReply(0x11223344, 0xA1B2C3D4, last_sr, 0x0102,
                                                reinterpret_cast<const std::uint8_t*>(cname.data()), cname.size());
  const Reply expected = {
      0x81, 0xC9, 0x00, 0x07, 0x11, 0x22, 0x33, 0x44, 0xA1, 0xB2, 0xC3, 0xD4, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x55, 0x66, 0x77, 0x88, 0x00, 0x00, 0x00, 0x01, 0x81, 0xCA,
      0x00, 0x05, 0x11, 0x22, 0x33, 0x44, 0x01, 0x08, 'c',  'a',  'm',  'e',  'r',  'a',  '-',  '7',  0x00,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
  };
  EXPECT_EQ(Reply(reply.begin(), reply.end()), expected);
  // The helper the live tests compare with writes the same bytes (sequence 0, as the responder).
  const auto zero_sequence = CRTCPResponder::BuildReply(
      0x11223344, 0xA1B2C3D4, last_sr, 0, reinterpret_cast<const std::uint8_t*>(cname.data()), cname.size());
  EXPECT_EQ(Reply(zero_sequence.begin(), zero_sequence.end()), ExpectedReply(0x11223344, sender, last_sr, cname));

  // A long name: its full length, but only 26 of its bytes.
  const std::string long_name = "recorder-host-0123456789abcdefghijklmnopqrstuv.example";
  const auto cut = CRTCPResponder::BuildReply(
      0x11223344, 0xA1B2C3D4, last_sr, 0, reinterpret_cast<const std::uint8_t*>(long_name.data()), long_name.size());
  EXPECT_EQ(cut[41], long_name.size());
  EXPECT_EQ(std::string(cut.begin() + 42, cut.end()), long_name.substr(0, 26));
}

// kSenderReport from another source, or with another last-report field.
std::vector<std::uint8_t> SenderReportOf(std::uint8_t ssrc_first, std::uint8_t ntp_low_first) {
  std::vector<std::uint8_t> report = kSenderReport;
  report[4] = ssrc_first;
  report[12] = ntp_low_first;
  return report;
}

TEST(RTCPResponderTest, AnswersTheStreamSourcesReportWithTheExactReply) {
  CRtpSourceFilter filter;
  filter.Lock(0xDEADBEEF);
  CRTCPResponder responder;
  responder.SetSourceFilter(&filter);
  const std::time_t before = std::time(nullptr);
  ASSERT_TRUE(responder.Start(0));
  const std::time_t after = std::time(nullptr);
  EXPECT_TRUE(responder.IsRunning());
  ASSERT_NE(responder.Port(), 0);
  bool seeded_with_time = false;
  for (std::time_t t = before; t <= after; ++t) seeded_with_time |= responder.Ssrc() == SsrcForSeed(t);
  EXPECT_TRUE(seeded_with_time) << std::hex << responder.Ssrc();

  UdpTestSocket camera("127.0.0.141");
  ASSERT_TRUE(camera.valid());
  ASSERT_TRUE(camera.SendTo(responder.Port(), kSenderReport));
  sockaddr_in from{};
  const auto reply = camera.Receive(5000ms, &from);
  ASSERT_TRUE(reply.has_value());
  const std::uint8_t sender[4] = {0xDE, 0xAD, 0xBE, 0xEF};
  const std::uint8_t last_sr[4] = {0x9A, 0xBC, 0xDE, 0xF0};
  EXPECT_EQ(*reply, ExpectedReply(responder.Ssrc(), sender, last_sr, HostName()));
  EXPECT_EQ(ntohs(from.sin_port), responder.Port());

  responder.RequestStop();
  EXPECT_TRUE(responder.WaitForEnd());
  EXPECT_FALSE(responder.IsRunning());
}

TEST(RTCPResponderTest, NothingIsAnsweredWhileTheStreamSsrcIsUnknown) {
  CRtpSourceFilter filter;
  CRTCPResponder responder;
  responder.SetSourceFilter(&filter);
  ASSERT_TRUE(responder.Start(0));
  UdpTestSocket camera("127.0.0.160");
  ASSERT_TRUE(camera.valid());
  ASSERT_TRUE(camera.SendTo(responder.Port(), kSenderReport));
  EXPECT_FALSE(camera.Receive(300ms).has_value());
  EXPECT_TRUE(responder.IsRunning());
}

// A responder whose stream source is DE AD BE EF, and a camera socket on the test's own address.
class StreamResponderTest : public ::testing::Test {
 protected:
  void Start(const char* address) {
    filter_.Lock(0xDEADBEEF);
    responder_.SetSourceFilter(&filter_);
    ASSERT_TRUE(responder_.Start(0));
    camera_.emplace(address);
    ASSERT_TRUE(camera_->valid());
  }
  bool Send(const std::vector<std::uint8_t>& datagram) { return camera_->SendTo(responder_.Port(), datagram); }
  // The reply to the stream's report whose last-report field is last_sr.
  Reply ExpectedFor(std::array<std::uint8_t, 4> last_sr) {
    const std::uint8_t sender[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    return ExpectedReply(responder_.Ssrc(), sender, last_sr.data(), HostName());
  }

  CRtpSourceFilter filter_;
  CRTCPResponder responder_;
  std::optional<UdpTestSocket> camera_;
};

TEST_F(StreamResponderTest, AForeignFloodDrawsNoReply) {
  Start("127.0.0.161");
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(Send(SenderReportOf(0x01, 0x9A)));
  // The stream's own report comes last (again, should the flood have filled the socket buffer);
  // the replies leave in order, so the first to arrive would be one to the flood if any were sent.
  std::optional<Reply> reply;
  for (int i = 0; i < 25 && !reply; ++i) {
    ASSERT_TRUE(Send(SenderReportOf(0xDE, 0x42)));
    reply = camera_->Receive(200ms);
  }
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(*reply, ExpectedFor({0x42, 0xBC, 0xDE, 0xF0}));
}

TEST_F(StreamResponderTest, AFloodOfTheStreamsReportsDrawsOneReplyPerHalfSecond) {
  Start("127.0.0.162");
  const auto first_sent = std::chrono::steady_clock::now();
  for (int i = 0; i < 300; ++i) ASSERT_TRUE(Send(kSenderReport));
  // Replies until a second of silence; they leave at least 500 ms apart, so between the first
  // datagram sent and the last reply received there is room for at most this many.
  int replies = 0;
  auto last_received = first_sent;
  for (int i = 0; i < 300 && camera_->Receive(1000ms).has_value(); ++i) {
    ++replies;
    last_received = std::chrono::steady_clock::now();
  }
  EXPECT_GE(replies, 1);
  EXPECT_LE(replies, 1 + (last_received - first_sent) / std::chrono::milliseconds(500));
}

TEST_F(StreamResponderTest, ShortDatagramsAreIgnoredAndTheResponderGoesOn) {
  Start("127.0.0.142");
  ASSERT_TRUE(Send(std::vector<std::uint8_t>(kSenderReport.begin(), kSenderReport.begin() + 10)));
  ASSERT_TRUE(Send({0x80}));
  ASSERT_TRUE(Send({}));
  // Eleven bytes carry the sender SSRC: answered, with no last-report field to echo.
  ASSERT_TRUE(Send(std::vector<std::uint8_t>(kSenderReport.begin(), kSenderReport.begin() + 11)));
  const auto reply = camera_->Receive(5000ms);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(*reply, ExpectedFor({0, 0, 0, 0}));
  EXPECT_TRUE(responder_.IsRunning());
  EXPECT_EQ(responder_.LastSocketError(), 0);
}

TEST(RTCPResponderTest, WaitForEndAfterRequestStopReturns) {
  CRTCPResponder responder;
  ASSERT_TRUE(responder.Start(0));
  EXPECT_FALSE(responder.Start(0));  // one thread at a time
  responder.RequestStop();
  auto waited = std::async(std::launch::async, [&] { return responder.WaitForEnd(); });
  ASSERT_EQ(waited.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(waited.get());
  EXPECT_FALSE(responder.IsRunning());
  EXPECT_TRUE(responder.WaitForEnd());
}

TEST(RTCPResponderTest, StartOnATakenPortFails) {
  UdpTestSocket taken("127.0.0.143");
  ASSERT_TRUE(taken.valid());
  CRTCPResponder responder;
  EXPECT_FALSE(responder.Start(taken.port()));
  EXPECT_FALSE(responder.IsRunning());
  EXPECT_TRUE(responder.WaitForEnd());
  // The same object takes a free port afterwards.
  ASSERT_TRUE(responder.Start(0));
  EXPECT_NE(responder.Port(), taken.port());
}

TEST(RTCPResponderTest, PortIsFreeAgainOnceTheResponderEnded) {
  CRtpSourceFilter filter;
  filter.Lock(0xDEADBEEF);
  CRTCPResponder responder;
  ASSERT_TRUE(responder.Start(0));
  const std::uint16_t port = responder.Port();
  responder.RequestStop();
  ASSERT_TRUE(responder.WaitForEnd());

  responder.SetSourceFilter(&filter);
  ASSERT_TRUE(responder.Start(port));
  UdpTestSocket camera("127.0.0.144");
  ASSERT_TRUE(camera.valid());
  ASSERT_TRUE(camera.SendTo(port, kSenderReport));
  const auto reply = camera.Receive(5000ms);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->size(), CRTCPResponder::kReplySize);

  responder.RequestStop();
  ASSERT_TRUE(responder.WaitForEnd());

  // Destroyed while running and not told to stop: it still ends and lets its port go.
  std::uint16_t running_port = 0;
  {
    CRTCPResponder running;
    ASSERT_TRUE(running.Start(0));
    running_port = running.Port();
  }
  UdpTestSocket rebound("0.0.0.0", running_port);
  EXPECT_TRUE(rebound.valid());
}

}  // namespace
}  // namespace kalmora
