// The RTP receiver on a real loopback port: which datagrams reach the channel and with what.
#include "streaming/rtp_receiver.h"

#include <gtest/gtest.h>

#include <vector>

#include "udp_test_socket.h"

namespace kalmora {
namespace {

using test::UdpTestSocket;

// What a callback saw, copied out of the datagram.
struct SeenPacket {
  CRTPReceiver* receiver = nullptr;
  sockaddr_in sender{};
  RtpPacket header;  // pointers not valid after the call
  std::vector<std::uint8_t> csrc_list;
  std::vector<std::uint8_t> extension;
  std::vector<std::uint8_t> payload;
};

class RecordingChannel : public IRTPReceiverUser {
 public:
  void OnRTPPacket(CRTPReceiver* receiver, const sockaddr_in& sender, const RtpPacket& packet) override {
    SeenPacket seen{receiver, sender, packet, {}, {}, {}};
    if (packet.csrc_list != nullptr) seen.csrc_list.assign(packet.csrc_list, packet.csrc_list + 4 * packet.csrc_count);
    if (packet.extension_data != nullptr) {
      seen.extension.assign(packet.extension_data, packet.extension_data + 4 * packet.extension_length);
    }
    seen.payload.assign(packet.payload, packet.payload + packet.payload_length);
    signal.Update([&] { packets.push_back(std::move(seen)); });
  }
  void OnReceiveTimeout() override {
    signal.Update([&] { ++timeouts; });
  }
  void OnPortClosed(CRTPReceiver* receiver) override {
    signal.Update([&] {
      ++closed;
      closed_receiver = receiver;
    });
  }
  bool WaitForPackets(std::size_t count) {
    return signal.WaitFor([&] { return packets.size() >= count; });
  }

  test::Signal signal;
  std::vector<SeenPacket> packets;
  int timeouts = 0;
  int closed = 0;
  CRTPReceiver* closed_receiver = nullptr;
};

// Version 2, payload type 96, the given sequence number, then payload_length bytes 0x10, 0x11, ...
std::vector<std::uint8_t> RtpDatagram(std::uint16_t sequence, std::size_t payload_length) {
  std::vector<std::uint8_t> datagram = {0x80, 0x60, static_cast<std::uint8_t>(sequence >> 8),
                                        static_cast<std::uint8_t>(sequence), 0, 0, 0x0B, 0xB8, 0xCA, 0xFE, 0xBA,
                                        0xBE};
  for (std::size_t i = 0; i < payload_length; ++i) datagram.push_back(static_cast<std::uint8_t>(0x10 + i));
  return datagram;
}

TEST(RTPReceiverTest, ForwardsTheParsedHeaderWithCsrcListAndExtension) {
  RecordingChannel channel;
  CRTPReceiver receiver;
  receiver.SetRTPUser(&channel);
  ASSERT_EQ(receiver.Port().Open(0), kUDPOpened);
  UdpTestSocket camera("127.0.0.138");
  ASSERT_TRUE(camera.valid());

  const std::vector<std::uint8_t> datagram = {
      0xB2,                    // V=2, P=1, X=1, CC=2
      0xE1,                    // M=1, PT=97
      0x12, 0x34,              // sequence number
      0xAA, 0xBB, 0xCC, 0xDD,  // time stamp
      0x01, 0x02, 0x03, 0x04,  // SSRC
      0x11, 0x11, 0x11, 0x11,  // CSRC 1
      0x22, 0x22, 0x22, 0x22,  // CSRC 2
      0xBE, 0xDE, 0x00, 0x03,  // extension profile, 3 words
      0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xEB,
      0x7C, 0x85,              // payload from byte 36
      0x00, 0x00, 0x03,        // padding: 3 octets, the count last
  };
  ASSERT_TRUE(camera.SendTo(receiver.Port().LocalPort(), datagram));
  ASSERT_TRUE(channel.WaitForPackets(1));
  receiver.Port().Close();

  ASSERT_EQ(channel.packets.size(), 1u);
  const SeenPacket& seen = channel.packets[0];
  EXPECT_EQ(seen.receiver, &receiver);
  EXPECT_EQ(ntohs(seen.sender.sin_port), camera.port());
  EXPECT_EQ(seen.sender.sin_addr.s_addr, test::LoopbackAddress("127.0.0.138", 0).sin_addr.s_addr);
  EXPECT_TRUE(seen.header.padding);
  EXPECT_TRUE(seen.header.marker);
  EXPECT_EQ(seen.header.payload_type, 97);
  EXPECT_EQ(seen.header.sequence_number, 0x1234);
  EXPECT_EQ(seen.header.time_stamp, 0xAABBCCDDu);
  EXPECT_EQ(seen.header.ssrc, 0x01020304u);
  EXPECT_EQ(seen.header.csrc_count, 2);
  EXPECT_EQ(seen.csrc_list, std::vector<std::uint8_t>(datagram.begin() + 12, datagram.begin() + 20));
  EXPECT_EQ(seen.header.extension_profile, 0xBEDE);
  EXPECT_EQ(seen.header.extension_length, 3);
  EXPECT_EQ(seen.extension, std::vector<std::uint8_t>(datagram.begin() + 24, datagram.begin() + 36));
  EXPECT_EQ(seen.payload, (std::vector<std::uint8_t>{0x7C, 0x85}));
  EXPECT_EQ(channel.closed, 1);
}

TEST(RTPReceiverTest, DropsWhatIsNoRtpPacketWithPayload) {
  RecordingChannel channel;
  CRTPReceiver receiver;
  receiver.SetRTPUser(&channel);
  ASSERT_EQ(receiver.Port().Open(0), kUDPOpened);
  UdpTestSocket camera("127.0.0.139");
  ASSERT_TRUE(camera.valid());
  const std::uint16_t port = receiver.Port().LocalPort();

  ASSERT_TRUE(camera.SendTo(port, RtpDatagram(1, 0)));  // the fixed header alone
  std::vector<std::uint8_t> version_one = RtpDatagram(2, 8);
  version_one[0] = 0x40;
  ASSERT_TRUE(camera.SendTo(port, version_one));
  std::vector<std::uint8_t> extension_too_long = RtpDatagram(3, 8);
  extension_too_long[0] = 0x90;  // X=1: profile 0x1011, then 0x1213 words that are not there
  ASSERT_TRUE(camera.SendTo(port, extension_too_long));
  ASSERT_TRUE(camera.SendTo(port, {0x80}));
  std::vector<std::uint8_t> padding_only = RtpDatagram(4, 2);
  padding_only[0] = 0xA0;  // P=1: the 2 octets after the header are padding, count 2 last
  padding_only.back() = 2;
  ASSERT_TRUE(camera.SendTo(port, padding_only));
  ASSERT_TRUE(camera.SendTo(port, RtpDatagram(4, 1)));  // 13 bytes: one payload byte
  ASSERT_TRUE(channel.WaitForPackets(1));

  // Datagrams from another port than the receiver's own are not its business.
  CUDPPort other;
  const std::vector<std::uint8_t> valid = RtpDatagram(5, 4);
  receiver.OnDatagram(&other, test::LoopbackAddress("127.0.0.139", 1), valid.data(), valid.size());
  receiver.Port().Close();

  ASSERT_EQ(channel.packets.size(), 1u);
  EXPECT_EQ(channel.packets[0].header.sequence_number, 4);
  EXPECT_EQ(channel.packets[0].payload, std::vector<std::uint8_t>{0x10});
}

TEST(RTPReceiverTest, TheLargestDatagramArrivesWholeAndForeignSourcesAreFiltered) {
  RecordingChannel channel;
  CRtpSourceFilter filter;
  CRTPReceiver receiver;
  receiver.SetRTPUser(&channel);
  receiver.SetSourceFilter(&filter);
  EXPECT_EQ(receiver.Port().ReceiveBufferSize(), CRTPReceiver::kReceiveBufferSize);
  ASSERT_EQ(receiver.Port().Open(0), kUDPOpened);
  // 32 x 4096 = 131072 is above what a port asks of the socket.
  EXPECT_EQ(receiver.Port().SocketReceiveBufferRequested(), 131070);
  UdpTestSocket camera("127.0.0.140");
  ASSERT_TRUE(camera.valid());
  const std::uint16_t port = receiver.Port().LocalPort();

  // 65507 bytes, the largest IPv4 UDP payload, far above the 4096-byte datagram buffer size.
  const std::vector<std::uint8_t> largest = RtpDatagram(1, 65507 - 12);
  ASSERT_TRUE(camera.SendTo(port, largest));
  std::vector<std::uint8_t> foreign = RtpDatagram(2, 8);
  foreign[11] = 0xEF;  // SSRC CA FE BA EF: not the stream's
  ASSERT_TRUE(camera.SendTo(port, foreign));
  ASSERT_TRUE(camera.SendTo(port, RtpDatagram(2, 100)));
  ASSERT_TRUE(channel.WaitForPackets(2));
  receiver.Port().Close();

  ASSERT_EQ(channel.packets.size(), 2u);
  EXPECT_EQ(channel.packets[0].header.sequence_number, 1);
  EXPECT_EQ(channel.packets[0].payload, std::vector<std::uint8_t>(largest.begin() + 12, largest.end()));
  EXPECT_EQ(channel.packets[1].header.sequence_number, 2);
  EXPECT_EQ(channel.packets[1].header.ssrc, 0xCAFEBABEu);
  EXPECT_EQ(filter.StreamSsrc(), 0xCAFEBABEu);
}

TEST(RTPReceiverTest, TimeoutsAndClosingReachOnlyASetUser) {
  RecordingChannel channel;
  {
    CRTPReceiver receiver;
    receiver.Port().SetWaitTime(0, 20000);
    ASSERT_EQ(receiver.Port().Open(0), kUDPOpened);
    receiver.SetRTPUser(&channel);
    EXPECT_EQ(receiver.RTPUser(), &channel);
    ASSERT_TRUE(channel.signal.WaitFor([&] { return channel.timeouts >= 2; }));

    // The channel leaves before it closes the port: it hears neither.
    receiver.SetRTPUser(nullptr);
    receiver.Port().Close();
    EXPECT_EQ(channel.closed, 0);

    ASSERT_EQ(receiver.Port().Open(0), kUDPOpened);
    receiver.SetRTPUser(&channel);
    receiver.Port().Close();
    EXPECT_EQ(channel.closed, 1);
    EXPECT_EQ(channel.closed_receiver, &receiver);

    // Destroying an open receiver closes its port too.
    ASSERT_EQ(receiver.Port().Open(0), kUDPOpened);
  }
  EXPECT_EQ(channel.closed, 2);
}

}  // namespace
}  // namespace kalmora
