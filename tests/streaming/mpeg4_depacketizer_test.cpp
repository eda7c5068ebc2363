#include "streaming/mpeg4_depacketizer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

namespace kalmora {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ToBytes(std::span<const std::uint8_t> span) { return Bytes(span.begin(), span.end()); }

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

struct Packet {
  Bytes payload;
  bool marker = false;
  bool gap = false;
};

Mpeg4Picture Feed(CMpeg4Depacketizer& depacketizer, const Packet& packet) {
  return depacketizer.OnPayload(packet.payload.data(), packet.payload.size(), packet.marker,
                                packet.gap);
}

const Bytes kHeader = {0x00, 0x00, 0x01, 0xB0, 0xF5,   // visual object sequence, profile
                       0x00, 0x00, 0x01, 0x20, 0x08};  // video object layer, first byte
const Bytes kIntra = {0x00, 0x00, 0x01, 0xB6, 0x10, 0xA1};      // picture start, type 00
const Bytes kPredicted = {0x00, 0x00, 0x01, 0xB6, 0x50, 0xB2};  // picture start, type 01
const Bytes kNewHeader = {0x00, 0x00, 0x01, 0xB0, 0x03};

// Every row starts from a stream that is running: kHeader cached, an intra picture delivered.
// The row's packets follow; the last one's result is checked, then the header cache.
struct Row {
  const char* label;
  std::vector<Packet> packets;
  Mpeg4Event event;
  Bytes data;
  bool key_frame;
  bool broken;
  Bytes header_cache;
};

TEST(Mpeg4DepacketizerTest, PacketsToPictures) {
  const Row kRows[] = {
      {"intra picture gets the cached header in front",
       {{kIntra, true}}, Mpeg4Event::kFrame, Concat({kHeader, kIntra}), true, false, kHeader},
      {"coding type byte 0x3F is intra",
       {{{0x00, 0x00, 0x01, 0xB6, 0x3F}, true}}, Mpeg4Event::kFrame,
       Concat({kHeader, {0x00, 0x00, 0x01, 0xB6, 0x3F}}), true, false, kHeader},
      {"coding type byte 0x40 is predicted",
       {{{0x00, 0x00, 0x01, 0xB6, 0x40}, true}}, Mpeg4Event::kFrame,
       {0x00, 0x00, 0x01, 0xB6, 0x40}, false, false, kHeader},
      {"packets join until the marker",
       {{kPredicted}, {{0xC3, 0xD4}}, {{0xE5}, true}}, Mpeg4Event::kFrame,
       Concat({kPredicted, {0xC3, 0xD4, 0xE5}}), false, false, kHeader},
      {"no marker, no picture", {{kPredicted}}, Mpeg4Event::kNone, {}, false, false, kHeader},
      {"header and intra in one packet replace the cache",
       {{Concat({kNewHeader, kIntra}), true}}, Mpeg4Event::kFrame, Concat({kNewHeader, kIntra}),
       true, false, kNewHeader},
      {"header alone becomes the cache and ends nothing",
       {{kNewHeader, true}}, Mpeg4Event::kNone, {}, false, false, kNewHeader},
      {"header alone, then intra: the new header in front",
       {{kNewHeader}, {kIntra, true}}, Mpeg4Event::kFrame, Concat({kNewHeader, kIntra}), true,
       false, kNewHeader},
      {"header ending in a bare picture start code is all header",
       {{{0x00, 0x00, 0x01, 0xB0, 0x03, 0x00, 0x00, 0x01, 0xB6}, true}}, Mpeg4Event::kNone, {},
       false, false, {0x00, 0x00, 0x01, 0xB0, 0x03, 0x00, 0x00, 0x01, 0xB6}},
      {"bare picture start code at the end of a packet is data",
       {{kPredicted}, {{0x00, 0x00, 0x01, 0xB6}, true}}, Mpeg4Event::kFrame,
       Concat({kPredicted, {0x00, 0x00, 0x01, 0xB6}}), false, false, kHeader},
      {"3-byte payload is data",
       {{kPredicted}, {{0x00, 0x00, 0x01}, true}}, Mpeg4Event::kFrame,
       Concat({kPredicted, {0x00, 0x00, 0x01}}), false, false, kHeader},
      {"picture start inside a packet is data",
       {{kPredicted}, {{0xAA, 0x00, 0x00, 0x01, 0xB6, 0x10}, true}}, Mpeg4Event::kFrame,
       Concat({kPredicted, {0xAA, 0x00, 0x00, 0x01, 0xB6, 0x10}}), false, false, kHeader},
      {"picture start empties the picture in progress",
       {{kPredicted}, {kPredicted, true}}, Mpeg4Event::kFrame, kPredicted, false, false,
       kHeader},
      {"empty marker packet ends the picture in progress",
       {{kPredicted}, {{}, true}}, Mpeg4Event::kFrame, kPredicted, false, false, kHeader},
      {"gap drops the picture, what follows and the next predicted picture",
       {{kPredicted}, {{0xC3}, false, true}, {{0xD4}}, {kPredicted, true}}, Mpeg4Event::kNone, {},
       false, true, kHeader},
      {"gap, then intra resumes with the cached header",
       {{kPredicted, true, true}, {kIntra, true}}, Mpeg4Event::kFrame, Concat({kHeader, kIntra}),
       true, false, kHeader},
      {"gap on the intra packet itself resumes",
       {{kPredicted}, {kIntra, true, true}}, Mpeg4Event::kFrame, Concat({kHeader, kIntra}), true,
       false, kHeader},
  };
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.label);
    CMpeg4Depacketizer depacketizer;
    Feed(depacketizer, {kHeader});
    ASSERT_EQ(Feed(depacketizer, {kIntra, true}).event, Mpeg4Event::kFrame);
    Mpeg4Picture picture;
    for (const Packet& packet : row.packets) picture = Feed(depacketizer, packet);
    EXPECT_EQ(picture.event, row.event);
    EXPECT_EQ(ToBytes(picture.data), row.data);
    EXPECT_EQ(picture.key_frame, row.key_frame);
    EXPECT_EQ(picture.broken, row.broken);
    EXPECT_EQ(depacketizer.Broken(), row.broken);
    EXPECT_EQ(ToBytes(depacketizer.HeaderCache()), row.header_cache);
  }
}

// Broken from the start: only an intra picture with a header cached resumes the stream.
TEST(Mpeg4DepacketizerTest, StartNeedsHeaderAndIntra) {
  CMpeg4Depacketizer depacketizer;
  EXPECT_EQ(Feed(depacketizer, {kPredicted, true}).event, Mpeg4Event::kNone);
  Mpeg4Picture picture = Feed(depacketizer, {kIntra, true});
  EXPECT_EQ(picture.event, Mpeg4Event::kNone);
  EXPECT_TRUE(picture.broken);
  Feed(depacketizer, {kHeader});
  picture = Feed(depacketizer, {kIntra, true});
  EXPECT_EQ(picture.event, Mpeg4Event::kFrame);
  EXPECT_EQ(ToBytes(picture.data), Concat({kHeader, kIntra}));
  depacketizer.MarkBroken();
  EXPECT_EQ(Feed(depacketizer, {kPredicted, true}).event, Mpeg4Event::kNone);
  EXPECT_EQ(Feed(depacketizer, {kIntra, true}).event, Mpeg4Event::kFrame);
  depacketizer.Reset();
  EXPECT_TRUE(depacketizer.Broken());
  EXPECT_TRUE(depacketizer.HeaderCache().empty());
  EXPECT_EQ(Feed(depacketizer, {kIntra, true}).event, Mpeg4Event::kNone);
  EXPECT_EQ(depacketizer.OnPayload(nullptr, 0, true, false).event, Mpeg4Event::kNone);
}

TEST(Mpeg4DepacketizerTest, SizeLimitAndBufferReuse) {
  CMpeg4Depacketizer depacketizer;
  Feed(depacketizer, {kHeader});
  // kHeader, kIntra, then filler to exactly the limit: kept, in the same buffer each time.
  Bytes filler(CMpeg4Depacketizer::kMaxPictureSize - kHeader.size() - kIntra.size(), 0x5A);
  Feed(depacketizer, {kIntra});
  const Mpeg4Picture first = Feed(depacketizer, {filler, true});
  ASSERT_EQ(first.event, Mpeg4Event::kFrame);
  EXPECT_EQ(first.data.size(), CMpeg4Depacketizer::kMaxPictureSize);
  const Mpeg4Picture second = Feed(depacketizer, {kPredicted, true});
  EXPECT_EQ(second.data.data(), first.data.data());
  // One byte more is damage: dropped, broken.
  Feed(depacketizer, {kIntra});
  filler.push_back(0x5A);
  const Mpeg4Picture over = Feed(depacketizer, {filler, true});
  EXPECT_EQ(over.event, Mpeg4Event::kDamaged);
  EXPECT_TRUE(over.data.empty());
  EXPECT_TRUE(over.broken);
  EXPECT_EQ(Feed(depacketizer, {kPredicted, true}).event, Mpeg4Event::kNone);
}

}  // namespace
}  // namespace kalmora
