// The media on the wire: RTP headers, packetisation, the clip's units, pacing and RTCP.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "camsim/h264_packetizer.h"
#include "rtsp_fixture.h"

namespace camsim_test {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr std::uint32_t kTicksPerFrame = 3600;

std::uint32_t Word(const std::string& bytes, std::size_t at) {
  return (std::uint32_t{static_cast<std::uint8_t>(bytes[at])} << 24) |
         (static_cast<std::uint8_t>(bytes[at + 1]) << 16) |
         (static_cast<std::uint8_t>(bytes[at + 2]) << 8) | static_cast<std::uint8_t>(bytes[at + 3]);
}

std::uint32_t RtpInfoField(const RtspResponse& play, const std::string& field) {
  const std::string info = play.Header("RTP-Info").value_or("");
  const std::size_t at = info.find(field + "=");
  return at == std::string::npos ? 0 : static_cast<std::uint32_t>(
                                           std::stoul(info.substr(at + field.size() + 1)));
}

std::uint16_t ServerRtcpPort(const RtspResponse& setup) {
  const std::string transport = setup.Header("Transport").value_or("");
  const std::size_t at = transport.find("server_port=");
  return static_cast<std::uint16_t>(std::atoi(transport.c_str() + at + 12) + 1);
}

// Compares received units with the clip's, from its first unit on, wrapping at its end.
void ExpectClipUnits(const std::vector<ReceivedUnit>& units) {
  const std::vector<camsim::ClipUnit>& clip = DefaultClip().units();
  for (std::size_t i = 0; i < units.size(); ++i) {
    const camsim::ClipUnit& expected = clip[i % clip.size()];
    EXPECT_FALSE(units[i].damaged) << i;
    ASSERT_EQ(units[i].nal_units.size(), expected.nal_units.size()) << "unit " << i;
    for (std::size_t n = 0; n < expected.nal_units.size(); ++n) {
      EXPECT_TRUE(units[i].nal_units[n] == expected.nal_units[n]) << "unit " << i << " NAL " << n;
    }
  }
}

TEST_F(RtspTest, RtpHeadersSequenceTimeStampsAndMarkers) {
  StartRtsp("127.0.0.111");
  ASSERT_FALSE(OpenSession(client_, udp_).empty());
  // Over a loop of the clip (104 units), to see time stamps go on across the wrap.
  const std::size_t unit_count = DefaultClip().units().size() + 8;
  const std::vector<RtpView> packets = udp_.ReceiveUnits(unit_count, milliseconds(30000));
  ASSERT_FALSE(packets.empty());
  EXPECT_EQ(packets.front().sequence, RtpInfoField(last_play_, "seq"));
  EXPECT_EQ(packets.front().time_stamp, RtpInfoField(last_play_, "rtptime"));
  for (std::size_t i = 0; i < packets.size(); ++i) {
    const RtpView& packet = packets[i];
    EXPECT_EQ(packet.version, 2);
    EXPECT_EQ(packet.payload_type, 96);
    EXPECT_EQ(packet.ssrc, packets.front().ssrc);
    EXPECT_LE(packet.payload.size(), 1400u);
    if (i == 0) continue;
    EXPECT_EQ(packet.sequence, static_cast<std::uint16_t>(packets[i - 1].sequence + 1)) << i;
    // The time stamp changes only after a marker, and then by one frame or not at all (the
    // parameter sets share their picture's).
    const std::uint32_t step = packet.time_stamp - packets[i - 1].time_stamp;
    if (packets[i - 1].marker) {
      EXPECT_TRUE(step == 0 || step == kTicksPerFrame) << i << " " << step;
    } else {
      EXPECT_EQ(step, 0u) << i;
    }
  }
  const std::vector<ReceivedUnit> units = Reassemble(packets);
  ASSERT_EQ(units.size(), unit_count);
  ExpectClipUnits(units);
  const std::vector<camsim::ClipUnit>& clip = DefaultClip().units();
  for (std::size_t i = 1; i < units.size(); ++i) {
    const bool header = clip[(i - 1) % clip.size()].parameter_sets;
    EXPECT_EQ(units[i].time_stamp - units[i - 1].time_stamp, header ? 0u : kTicksPerFrame) << i;
  }
  // Large slices went as FU-A fragments.
  EXPECT_NE(std::find(units[1].packet_types.begin(), units[1].packet_types.end(),
                      camsim::kFuAType),
            units[1].packet_types.end());

  // The server's records agree with the wire (each is made once its unit is out).
  ASSERT_TRUE(simulator_.WaitForSentFrames(units.size(), kGenerousWait));
  const std::vector<camsim::SentFrame> frames = simulator_.SentFrames();
  ASSERT_GE(frames.size(), units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    EXPECT_EQ(frames[i].index, i);
    EXPECT_EQ(frames[i].rtp_time, units[i].time_stamp);
    EXPECT_EQ(frames[i].packets, units[i].packets);
    EXPECT_EQ(frames[i].parameter_sets, clip[i % clip.size()].parameter_sets);
    EXPECT_EQ(frames[i].idr, clip[i % clip.size()].idr);
    std::size_t annexb = 0;
    for (const std::string& nal : units[i].nal_units) annexb += 3 + nal.size();
    EXPECT_EQ(frames[i].annexb_length, annexb);
    if (i > 0) {
      EXPECT_GE(frames[i].marker_time_ns, frames[i - 1].marker_time_ns);
    }
  }
}

TEST_F(RtspTest, ParameterSetsComeBeforeEveryIdrPicture) {
  camsim::RtspSettings settings;
  settings.max_payload = 500;
  StartRtsp("127.0.0.112", settings);
  ASSERT_FALSE(OpenSession(client_, udp_).empty());
  const std::vector<RtpView> packets = udp_.ReceiveUnits(60, kGenerousWait);
  for (const RtpView& packet : packets) EXPECT_LE(packet.payload.size(), 500u);
  const std::vector<ReceivedUnit> units = Reassemble(packets);
  ASSERT_EQ(units.size(), 60u);
  ExpectClipUnits(units);
  std::size_t idr_pictures = 0;
  for (std::size_t i = 0; i < units.size(); ++i) {
    const bool idr = camsim::NalTypeOf(units[i].nal_units.front()) == camsim::kNalIdrSlice;
    if (!idr) continue;
    ++idr_pictures;
    ASSERT_GT(i, 0u);
    const ReceivedUnit& header = units[i - 1];
    ASSERT_GE(header.nal_units.size(), 2u);
    EXPECT_EQ(camsim::NalTypeOf(header.nal_units[0]), camsim::kNalSps);
    EXPECT_EQ(camsim::NalTypeOf(header.nal_units[1]), camsim::kNalPps);
    EXPECT_EQ(header.time_stamp, units[i].time_stamp);
  }
  EXPECT_GE(idr_pictures, 2u);  // 60 units hold the start and the next GOP
}

TEST_F(RtspTest, StapAOptionSendsTheParameterSetsInOnePacket) {
  camsim::RtspSettings settings;
  settings.stap_a_parameter_sets = true;
  StartRtsp("127.0.0.113", settings);
  ASSERT_FALSE(OpenSession(client_, udp_).empty());
  const std::vector<RtpView> packets = udp_.ReceiveUnits(30, kGenerousWait);
  ASSERT_FALSE(packets.empty());
  const RtpView& first = packets.front();
  EXPECT_EQ(first.payload[0] & 0x1F, camsim::kStapAType);
  EXPECT_TRUE(first.marker);
  const std::vector<ReceivedUnit> units = Reassemble(packets);
  ASSERT_GE(units.size(), 30u);
  ExpectClipUnits(units);
  EXPECT_EQ(units[0].packets, 1u);
  EXPECT_EQ(units[0].time_stamp, units[1].time_stamp);
  // The second GOP's parameter sets go the same way.
  EXPECT_EQ(units[26].packet_types, std::vector<std::uint8_t>{camsim::kStapAType});
}

TEST_F(RtspTest, PicturesArePacedAtTheFrameRate) {
  StartRtsp("127.0.0.114");
  ASSERT_FALSE(OpenSession(client_, udp_).empty());
  ASSERT_FALSE(udp_.ReceiveRtp(1, kGenerousWait).empty());
  // 25 pictures a second; a burst would send far more in one second, a stall far fewer.
  const auto end = steady_clock::now() + milliseconds(1000);
  std::size_t markers = 0;
  while (steady_clock::now() < end) {
    const auto left = std::chrono::duration_cast<milliseconds>(end - steady_clock::now());
    for (const RtpView& packet : udp_.ReceiveRtp(1, left)) markers += packet.marker ? 1 : 0;
  }
  EXPECT_GE(markers, 10u);
  EXPECT_LE(markers, 60u);
}

TEST_F(RtspTest, SessionsStartAtTheClipsBeginningWithTheirOwnNumbers) {
  StartRtsp("127.0.0.115");
  ASSERT_FALSE(OpenSession(client_, udp_).empty());
  const std::vector<RtpView> first = udp_.ReceiveUnits(20, kGenerousWait);
  RtspTestClient client;
  UdpPair udp;
  ASSERT_TRUE(Connect(client));
  ASSERT_TRUE(udp.Open(address_));
  ASSERT_FALSE(OpenSession(client, udp).empty());
  const std::vector<RtpView> second = udp.ReceiveUnits(3, kGenerousWait);
  const std::vector<ReceivedUnit> units = Reassemble(second);
  ASSERT_EQ(units.size(), 3u);
  ExpectClipUnits(units);
  ASSERT_FALSE(first.empty());
  EXPECT_NE(first.front().ssrc, second.front().ssrc);
  EXPECT_EQ(simulator_.RtspSessions().size(), 2u);
}

TEST_F(RtspTest, SenderReportsGoOutAndReceiverReportsAreCounted) {
  StartRtsp("127.0.0.116");
  ASSERT_FALSE(OpenSession(client_, udp_).empty());
  const std::vector<RtpView> packets = udp_.ReceiveRtp(1, kGenerousWait);
  ASSERT_FALSE(packets.empty());
  const std::optional<std::string> report = udp_.ReceiveRtcp(kGenerousWait);
  ASSERT_TRUE(report);
  ASSERT_GE(report->size(), 28u + 8u);
  EXPECT_EQ(static_cast<std::uint8_t>((*report)[0]), 0x80);  // version 2, no report blocks
  EXPECT_EQ(static_cast<std::uint8_t>((*report)[1]), 200);
  EXPECT_EQ(Word(*report, 0) & 0xFFFF, 6u);
  EXPECT_EQ(Word(*report, 4), packets.front().ssrc);
  // The NTP time is the wall clock's.
  const auto now_ntp = static_cast<std::int64_t>(
      std::chrono::duration_cast<std::chrono::seconds>(
          std::chrono::system_clock::now().time_since_epoch()).count() + 2208988800ll);
  EXPECT_NEAR(static_cast<double>(Word(*report, 8)), static_cast<double>(now_ntp), 60.0);
  EXPECT_GT(Word(*report, 20), 0u);  // packets sent
  EXPECT_GT(Word(*report, 24), 0u);  // octets sent
  EXPECT_EQ(static_cast<std::uint8_t>((*report)[29]), 202);  // the source description follows

  // The driver's 68-byte receiver report, counted and kept byte for byte; other packets not.
  std::string receiver_report = {'\x81', '\xC9', '\x00', '\x07', '\x12', '\x34', '\x56', '\x78'};
  receiver_report += report->substr(4, 4);
  receiver_report += std::string(12, '\0');
  receiver_report += report->substr(12, 4);
  receiver_report += std::string("\x00\x00\x00\x01\x81\xCA\x00\x05\x12\x34\x56\x78\x01\x04", 14);
  receiver_report += "host";
  receiver_report.resize(68, '\0');
  const std::uint16_t server_rtcp = ServerRtcpPort(last_setup_);
  ASSERT_TRUE(udp_.SendRtcp(std::string("\x80\xC8\x00\x00", 4), address_, server_rtcp));
  ASSERT_TRUE(udp_.SendRtcp(receiver_report, address_, server_rtcp));
  ASSERT_TRUE(simulator_.WaitForRtsp(
      [](const camsim::RtspCounters& c) { return c.receiver_reports_received >= 1; },
      kGenerousWait));
  EXPECT_TRUE(simulator_.WaitForRtsp(
      [](const camsim::RtspCounters& c) { return c.sender_reports_sent >= 1; }, kGenerousWait));
  const camsim::RtspCounters counters = simulator_.RtspStats();
  EXPECT_EQ(counters.receiver_reports_received, 1u);
  EXPECT_EQ(counters.last_receiver_report, receiver_report);
}

}  // namespace
}  // namespace camsim_test
