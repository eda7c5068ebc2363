#include "streaming/rtp_packet.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace kalmora {
namespace {

TEST(RtpPacketTest, ParsesFixedHeader) {
  const std::uint8_t kPacket[] = {
      0x80,                    // V=2, P=0, X=0, CC=0
      0xE0,                    // M=1, PT=96
      0xFF, 0xFE,              // sequence number 65534
      0x12, 0x34, 0x56, 0x78,  // time stamp
      0xCA, 0xFE, 0xBA, 0xBE,  // SSRC
      0x65, 0x88,              // payload
  };
  RtpPacket packet;
  ASSERT_TRUE(ParseRtpPacket(kPacket, sizeof kPacket, packet));
  EXPECT_EQ(packet.version, 2);
  EXPECT_FALSE(packet.padding);
  EXPECT_FALSE(packet.extension);
  EXPECT_EQ(packet.csrc_count, 0);
  EXPECT_TRUE(packet.marker);
  EXPECT_EQ(packet.payload_type, 96);
  EXPECT_EQ(packet.sequence_number, 65534);
  EXPECT_EQ(packet.time_stamp, 0x12345678u);
  EXPECT_EQ(packet.ssrc, 0xCAFEBABEu);
  EXPECT_EQ(packet.csrc_list, nullptr);
  EXPECT_EQ(packet.extension_profile, 0);
  EXPECT_EQ(packet.extension_length, 0);
  EXPECT_EQ(packet.extension_data, nullptr);
  EXPECT_EQ(packet.payload, kPacket + 12);
  EXPECT_EQ(packet.payload_length, 2u);
}

TEST(RtpPacketTest, MarkerClearAndPayloadTypeAllSevenBits) {
  const std::uint8_t kPacket[] = {
      0x80,                    // V=2, CC=0
      0x7F,                    // M=0, PT=127
      0x00, 0x01,              // sequence number 1
      0x00, 0x00, 0x00, 0x00,  // time stamp
      0x00, 0x00, 0x00, 0x01,  // SSRC
      0x41,                    // payload
  };
  RtpPacket packet;
  ASSERT_TRUE(ParseRtpPacket(kPacket, sizeof kPacket, packet));
  EXPECT_FALSE(packet.marker);
  EXPECT_EQ(packet.payload_type, 127);
  EXPECT_EQ(packet.sequence_number, 1);
  EXPECT_EQ(packet.ssrc, 1u);
}

TEST(RtpPacketTest, CsrcListAndExtensionComeBeforePayload) {
  const std::uint8_t kPacket[] = {
      0x92,                    // V=2, P=0, X=1, CC=2
      0x60,                    // M=0, PT=96
      0xFF, 0xFF,              // sequence number 65535
      0x00, 0x00, 0x0E, 0x10,  // time stamp 3600
      0x01, 0x02, 0x03, 0x04,  // SSRC
      0x11, 0x11, 0x11, 0x11,  // CSRC 1
      0x22, 0x22, 0x22, 0x22,  // CSRC 2
      0xBE, 0xDE,              // extension profile
      0x00, 0x03,              // extension length: 3 words
      0xA1, 0xA2, 0xA3, 0xA4,  // extension word 1
      0xB1, 0xB2, 0xB3, 0xB4,  // extension word 2
      0xC1, 0xC2, 0xC3, 0xC4,  // extension word 3
      0x7C, 0x85, 0x01,        // payload
  };
  RtpPacket packet;
  ASSERT_TRUE(ParseRtpPacket(kPacket, sizeof kPacket, packet));
  EXPECT_TRUE(packet.extension);
  EXPECT_EQ(packet.csrc_count, 2);
  EXPECT_EQ(packet.csrc_list, kPacket + 12);
  EXPECT_EQ(packet.extension_profile, 0xBEDE);
  EXPECT_EQ(packet.extension_length, 3);
  EXPECT_EQ(packet.extension_data, kPacket + 24);
  EXPECT_EQ(packet.sequence_number, 65535);
  EXPECT_EQ(packet.time_stamp, 3600u);
  EXPECT_EQ(packet.ssrc, 0x01020304u);
  EXPECT_EQ(packet.payload, kPacket + 36);
  EXPECT_EQ(packet.payload_length, 3u);
}

TEST(RtpPacketTest, ExtensionWithoutCsrc) {
  const std::uint8_t kPacket[] = {
      0x90,                    // V=2, X=1, CC=0
      0x60,                    // PT=96
      0x00, 0x00,              // sequence number 0
      0x00, 0x00, 0x00, 0x00,  // time stamp
      0x00, 0x00, 0x00, 0x00,  // SSRC
      0x10, 0x00,              // extension profile
      0x00, 0x01,              // extension length: 1 word
      0xA1, 0xA2, 0xA3, 0xA4,  // extension word
      0x65,                    // payload
  };
  RtpPacket packet;
  ASSERT_TRUE(ParseRtpPacket(kPacket, sizeof kPacket, packet));
  EXPECT_EQ(packet.csrc_list, nullptr);
  EXPECT_EQ(packet.extension_profile, 0x1000);
  EXPECT_EQ(packet.extension_data, kPacket + 16);
  EXPECT_EQ(packet.payload, kPacket + 20);
  EXPECT_EQ(packet.payload_length, 1u);
}

TEST(RtpPacketTest, HeaderFillingTheDatagramGivesEmptyPayload) {
  const std::uint8_t kPacket[] = {
      0x81,                    // V=2, CC=1
      0x60,                    // PT=96
      0x00, 0x05,              // sequence number 5
      0x00, 0x00, 0x00, 0x00,  // time stamp
      0x00, 0x00, 0x00, 0x00,  // SSRC
      0x11, 0x11, 0x11, 0x11,  // CSRC 1
  };
  RtpPacket packet;
  ASSERT_TRUE(ParseRtpPacket(kPacket, sizeof kPacket, packet));
  EXPECT_EQ(packet.payload, kPacket + sizeof kPacket);
  EXPECT_EQ(packet.payload_length, 0u);
}

// RFC 3550 section 5.1: with P set, the last octet counts the padding octets, itself included.
// Each row: a datagram and the payload left after the padding, or no packet at all.
struct PaddingCase {
  const char* label;
  std::vector<std::uint8_t> datagram;
  bool parses;
  std::vector<std::uint8_t> payload;
};

TEST(RtpPacketTest, PaddingIsRemovedFromThePayload) {
  // V=2, P=1, M=1, PT=96, sequence 7, time stamp 0, SSRC 01 02 03 04.
  const std::vector<std::uint8_t> kPadded = {0xA0, 0xE0, 0x00, 0x07, 0, 0, 0, 0, 0x01, 0x02, 0x03, 0x04};
  auto with = [&](std::vector<std::uint8_t> rest) {
    std::vector<std::uint8_t> datagram = kPadded;
    datagram.insert(datagram.end(), rest.begin(), rest.end());
    return datagram;
  };
  const PaddingCase kCases[] = {
      {"count 2 after a 2-byte payload", with({0x41, 0x9A, 0x00, 0x02}), true, {0x41, 0x9A}},
      {"count 1: the count octet alone", with({0x41, 0x9A, 0x01}), true, {0x41, 0x9A}},
      {"count equal to everything after the header", with({0x00, 0x00, 0x03}), true, {}},
      {"count 0", with({0x41, 0x9A, 0x00}), false, {}},
      {"count larger than everything after the header", with({0x41, 0x9A, 0x04}), false, {}},
      {"P set on a bare header", kPadded, false, {}},
      {"after CSRC and extension", {0xB1, 0x60, 0x00, 0x07, 0, 0, 0, 0, 1, 2, 3, 4,  // V=2, P=1, X=1, CC=1
                                    0x11, 0x11, 0x11, 0x11,                           // CSRC
                                    0xBE, 0xDE, 0x00, 0x01, 0xE0, 0xE1, 0xE2, 0xE3,   // extension, 1 word
                                    0x65, 0x88, 0x00, 0x00, 0x00, 0x04},
       true, {0x65, 0x88}},
      {"count reaching into the extension", {0xB0, 0x60, 0x00, 0x07, 0, 0, 0, 0, 1, 2, 3, 4,  // P=1, X=1
                                             0xBE, 0xDE, 0x00, 0x01, 0xE0, 0xE1, 0xE2, 0xE3,  // extension
                                             0x65, 0x03},
       false, {}},
  };
  for (const PaddingCase& c : kCases) {
    RtpPacket packet;
    ASSERT_EQ(ParseRtpPacket(c.datagram.data(), c.datagram.size(), packet), c.parses) << c.label;
    if (!c.parses) continue;
    EXPECT_TRUE(packet.padding) << c.label;
    EXPECT_EQ(std::vector<std::uint8_t>(packet.payload, packet.payload + packet.payload_length), c.payload)
        << c.label;
  }
}

// Malformed datagrams, one per check.

TEST(RtpPacketTest, EmptyDatagramIsNotAPacket) {
  RtpPacket packet;
  EXPECT_FALSE(ParseRtpPacket(nullptr, 0, packet));
  const std::uint8_t kByte[] = {0x80};
  EXPECT_FALSE(ParseRtpPacket(kByte, 0, packet));
}

TEST(RtpPacketTest, BareFixedHeaderIsAPacketWithEmptyPayload) {
  const std::uint8_t kPacket[] = {
      0x80,                    // V=2, CC=0
      0xE0,                    // M=1, PT=96
      0x00, 0x01,              // sequence number
      0x00, 0x00, 0x00, 0x00,  // time stamp
      0x00, 0x00, 0x00, 0x00,  // SSRC, and nothing after it
  };
  RtpPacket packet;
  ASSERT_TRUE(ParseRtpPacket(kPacket, sizeof kPacket, packet));
  EXPECT_TRUE(packet.marker);
  EXPECT_EQ(packet.payload_length, 0u);
  const std::uint8_t kShort[] = {0x80, 0xE0, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0};  // 11 bytes
  EXPECT_FALSE(ParseRtpPacket(kShort, sizeof kShort, packet));
}

TEST(RtpPacketTest, WrongVersionIsNotAPacket) {
  const std::uint8_t kPacket[] = {
      0x40,                    // V=1
      0x60,                    // PT=96
      0x00, 0x01,              // sequence number
      0x00, 0x00, 0x00, 0x00,  // time stamp
      0x00, 0x00, 0x00, 0x00,  // SSRC
      0x65,                    // payload
  };
  RtpPacket packet;
  packet.sequence_number = 4711;
  EXPECT_FALSE(ParseRtpPacket(kPacket, sizeof kPacket, packet));
  EXPECT_EQ(packet.sequence_number, 4711);  // a rejected datagram leaves the record alone
}

TEST(RtpPacketTest, CsrcListPastDatagramIsNotAPacket) {
  const std::uint8_t kPacket[] = {
      0x82,                    // V=2, CC=2
      0x60,                    // PT=96
      0x00, 0x01,              // sequence number
      0x00, 0x00, 0x00, 0x00,  // time stamp
      0x00, 0x00, 0x00, 0x00,  // SSRC
      0x11, 0x11, 0x11, 0x11,  // CSRC 1; CSRC 2 missing
  };
  RtpPacket packet;
  EXPECT_FALSE(ParseRtpPacket(kPacket, sizeof kPacket, packet));
}

TEST(RtpPacketTest, TruncatedExtensionHeaderIsNotAPacket) {
  const std::uint8_t kPacket[] = {
      0x90,                    // V=2, X=1, CC=0
      0x60,                    // PT=96
      0x00, 0x01,              // sequence number
      0x00, 0x00, 0x00, 0x00,  // time stamp
      0x00, 0x00, 0x00, 0x00,  // SSRC
      0xBE, 0xDE, 0x00,        // extension header, one byte short
  };
  RtpPacket packet;
  EXPECT_FALSE(ParseRtpPacket(kPacket, sizeof kPacket, packet));
}

TEST(RtpPacketTest, ExtensionLengthPastDatagramIsNotAPacket) {
  const std::uint8_t kPacket[] = {
      0x90,                    // V=2, X=1, CC=0
      0x60,                    // PT=96
      0x00, 0x01,              // sequence number
      0x00, 0x00, 0x00, 0x00,  // time stamp
      0x00, 0x00, 0x00, 0x00,  // SSRC
      0xBE, 0xDE,              // extension profile
      0x00, 0x02,              // extension length: 2 words
      0xA1, 0xA2, 0xA3, 0xA4,  // extension word 1; word 2 missing
  };
  RtpPacket packet;
  EXPECT_FALSE(ParseRtpPacket(kPacket, sizeof kPacket, packet));
}

TEST(RtpPacketTest, LargestExtensionLengthDoesNotOverrun) {
  std::vector<std::uint8_t> packet_bytes = {
      0x9F,                    // V=2, X=1, CC=15
      0x60,                    // PT=96
      0x00, 0x01,              // sequence number
      0x00, 0x00, 0x00, 0x00,  // time stamp
      0x00, 0x00, 0x00, 0x00,  // SSRC
  };
  packet_bytes.resize(12 + 15 * 4, 0x11);                             // 15 CSRCs
  packet_bytes.insert(packet_bytes.end(), {0xBE, 0xDE, 0xFF, 0xFF});  // 65535 words
  packet_bytes.resize(packet_bytes.size() + 4 * 65534);               // one word short
  RtpPacket packet;
  EXPECT_FALSE(ParseRtpPacket(packet_bytes.data(), packet_bytes.size(), packet));
  packet_bytes.resize(packet_bytes.size() + 4);
  ASSERT_TRUE(ParseRtpPacket(packet_bytes.data(), packet_bytes.size(), packet));
  EXPECT_EQ(packet.payload_length, 0u);
}

// Sequence arithmetic.

TEST(RtpSequenceTest, DeltaIsWrapAware) {
  EXPECT_EQ(SequenceDelta(65535, 65534), 1);
  EXPECT_EQ(SequenceDelta(0, 65535), 1);
  EXPECT_EQ(SequenceDelta(1, 65534), 3);
  EXPECT_EQ(SequenceDelta(65534, 1), -3);
  EXPECT_EQ(SequenceDelta(7, 7), 0);
  EXPECT_EQ(SequenceDelta(32767, 0), 32767);
  EXPECT_EQ(SequenceDelta(32768, 0), -32768);
}

TEST(RtpSequenceTest, NextSequenceWrapsAt65535) {
  EXPECT_TRUE(IsNextSequence(65534, 65535));
  EXPECT_TRUE(IsNextSequence(65535, 0));
  EXPECT_FALSE(IsNextSequence(65535, 65535));
  EXPECT_FALSE(IsNextSequence(65535, 1));
  EXPECT_FALSE(IsNextSequence(0, 65535));
}

// The sequence check over a run of packets. Each row: (SSRC, number, what the check makes of it)
// steps, from a fresh check.
struct SequenceStep {
  std::uint32_t ssrc;
  std::uint16_t number;
  RtpSequenceResult result;
};
struct SequenceCase {
  const char* label;
  std::vector<SequenceStep> steps;
  std::uint16_t last;
};

TEST(RtpSequenceTest, InOrderGapAndStale) {
  constexpr auto kIn = RtpSequenceResult::kInOrder;
  constexpr auto kGap = RtpSequenceResult::kGap;
  constexpr auto kStale = RtpSequenceResult::kStale;
  constexpr std::uint32_t kA = 0xA;
  constexpr std::uint32_t kB = 0xB;
  const SequenceCase kCases[] = {
      {"first packet, then through the wrap", {{kA, 65534, kIn}, {kA, 65535, kIn}, {kA, 0, kIn}, {kA, 1, kIn}}, 1},
      {"a lost packet is one gap, then followed", {{kA, 65534, kIn}, {kA, 0, kGap}, {kA, 1, kIn}}, 1},
      {"a duplicate is stale and breaks nothing", {{kA, 10, kIn}, {kA, 10, kStale}, {kA, 11, kIn}}, 11},
      {"a duplicate across the wrap", {{kA, 65535, kIn}, {kA, 0, kIn}, {kA, 65535, kStale}, {kA, 1, kIn}}, 1},
      {"a late packet after a gap is stale", {{kA, 5, kIn}, {kA, 7, kGap}, {kA, 6, kStale}, {kA, 8, kIn}}, 8},
      {"99 behind is stale", {{kA, 200, kIn}, {kA, 101, kStale}, {kA, 201, kIn}}, 201},
      {"100 behind is a gap: the stream went back", {{kA, 200, kIn}, {kA, 100, kGap}, {kA, 101, kIn}}, 101},
      {"far ahead is a gap", {{kA, 1, kIn}, {kA, 30001, kGap}, {kA, 30002, kIn}}, 30002},
      {"a new source restarts the check", {{kA, 500, kIn}, {kB, 9, kGap}, {kB, 10, kIn}, {kB, 10, kStale}}, 10},
  };
  for (const SequenceCase& c : kCases) {
    CRtpSequenceCheck check;
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      EXPECT_EQ(check.Check(c.steps[i].ssrc, c.steps[i].number), c.steps[i].result) << c.label << ", step " << i;
    }
    EXPECT_EQ(check.Last(), c.last) << c.label;
  }
}

TEST(RtpSequenceTest, ResetTakesAnyNumberNext) {
  CRtpSequenceCheck check;
  EXPECT_EQ(check.Check(1, 65534), RtpSequenceResult::kInOrder);
  check.Reset();
  EXPECT_EQ(check.Last(), 0);
  EXPECT_EQ(check.Check(2, 100), RtpSequenceResult::kInOrder);
  EXPECT_EQ(check.Check(2, 102), RtpSequenceResult::kGap);
}

}  // namespace
}  // namespace kalmora
