#include "streaming/jpeg_depacketizer.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

namespace kalmora {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr bool kMarker = true;
constexpr bool kNoMarker = false;
constexpr bool kGap = true;

Bytes ToBytes(std::span<const std::uint8_t> span) { return Bytes(span.begin(), span.end()); }

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes Slice(const Bytes& bytes, std::size_t offset, std::size_t length) {
  if (offset + length > bytes.size()) return {};
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
               bytes.begin() + static_cast<std::ptrdiff_t>(offset + length));
}

TEST(JpegQuantTablesTest, ScaledExampleTablesInZigZagOrder) {
  const struct {
    const char* label;
    int q;
    Bytes luma_head;    // the first 8 entries, zig-zag order
    Bytes chroma_head;  // the first 8 entries
    std::uint8_t luma_last;
    std::uint8_t chroma_last;
  } kCases[] = {
      {"Q 0 is Q 1: scale 5000, all clamp at 255", 0, Bytes(8, 255), Bytes(8, 255), 255, 255},
      {"Q 1: scale 5000", 1, Bytes(8, 255), Bytes(8, 255), 255, 255},
      {"Q 25: scale 200", 25, {32, 22, 24, 28, 24, 20, 32, 28}, {34, 36, 36, 48, 42, 48, 94, 52},
       198, 198},
      {"Q 50: the example tables", 50, {16, 11, 12, 14, 12, 10, 16, 14},
       {17, 18, 18, 24, 21, 24, 47, 26}, 99, 99},
      {"Q 75: scale 50", 75, {8, 6, 6, 7, 6, 5, 8, 7}, {9, 9, 9, 12, 11, 12, 24, 13}, 50, 50},
      {"Q 99: scale 2, small values clamp at 1", 99, Bytes(8, 1), Bytes(8, 1), 2, 2},
      {"Q 100 is Q 99", 100, Bytes(8, 1), Bytes(8, 1), 2, 2},
      {"Q 127 is Q 99", 127, Bytes(8, 1), Bytes(8, 1), 2, 2},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.label);
    Bytes chroma(64, 0);
    Bytes luma(64, 0);
    MakeQuantTables(c.q, chroma.data(), luma.data());
    EXPECT_EQ(Slice(luma, 0, 8), c.luma_head);
    EXPECT_EQ(Slice(chroma, 0, 8), c.chroma_head);
    EXPECT_EQ(luma[63], c.luma_last);
    EXPECT_EQ(chroma[63], c.chroma_last);
  }
}

// Main header (RFC 2435 section 3.1): type-dependent byte, offset, type, Q, width and height in
// blocks.
Bytes Main(std::uint32_t offset, std::uint8_t type, std::uint8_t q, std::uint8_t width = 2,
           std::uint8_t height = 1) {
  return {0x00, static_cast<std::uint8_t>(offset >> 16), static_cast<std::uint8_t>(offset >> 8),
          static_cast<std::uint8_t>(offset), type, q, width, height};
}

// The JPEG header for type 1, Q 50, 16 x 8 pixels, as the assembled pictures carry it.
Bytes Q50Header() {
  Bytes chroma(64);
  Bytes luma(64);
  MakeQuantTables(50, chroma.data(), luma.data());
  Bytes header(kJpegHeaderWithRestartSize);
  header.resize(WriteJpegHeader(header.data(), luma.data(), 1, 1, 2, chroma.data()));
  return header;
}

const Bytes kEoi = {0xFF, 0xD9};

class JpegDepacketizerTest : public ::testing::Test {
 protected:
  // The first marker ends the broken state every depacketiser starts in.
  JpegDepacketizerTest() { Feed({}, kMarker); }

  JpegFrame Feed(const Bytes& payload, bool marker, bool gap = false) {
    return depacketizer_.OnPayload(payload.empty() ? nullptr : payload.data(), payload.size(),
                                   marker, gap);
  }

  // A good two-fragment picture, type 1 Q 50, scan 11 22 33 44 55.
  void ExpectGoodPicture() {
    EXPECT_EQ(Feed(Concat({Main(0, 1, 50), {0x11, 0x22, 0x33}}), kNoMarker).event,
              JpegEvent::kNone);
    const JpegFrame frame = Feed(Concat({Main(3, 1, 50), {0x44, 0x55}}), kMarker);
    ASSERT_EQ(frame.event, JpegEvent::kFrame);
    EXPECT_EQ(ToBytes(frame.jpeg), Concat({Q50Header(), {0x11, 0x22, 0x33, 0x44, 0x55}, kEoi}));
    EXPECT_EQ(frame.width, 16);
    EXPECT_EQ(frame.height, 8);
  }

  CJpegDepacketizer depacketizer_;
};

TEST_F(JpegDepacketizerTest, FragmentsJoinBehindHeaderAndGetEndOfImage) { ExpectGoodPicture(); }

TEST_F(JpegDepacketizerTest, ScanEndingInEndOfImageKeepsIt) {
  const JpegFrame frame = Feed(Concat({Main(0, 1, 50), {0x11, 0xFF, 0xD9}}), kMarker);
  ASSERT_EQ(frame.event, JpegEvent::kFrame);
  EXPECT_EQ(ToBytes(frame.jpeg), Concat({Q50Header(), {0x11, 0xFF, 0xD9}}));
}

TEST_F(JpegDepacketizerTest, FirstPictureAfterResetIsSkipped) {
  depacketizer_.Reset();
  EXPECT_EQ(Feed(Concat({Main(0, 1, 50), {0x11}}), kMarker).event, JpegEvent::kNone);
  ExpectGoodPicture();
}

// Gaps: each row a packet sequence after a good picture, then a good picture must come out.
TEST_F(JpegDepacketizerTest, SequenceGapCostsOnlyThePicturesItTouches) {
  using E = JpegEvent;
  struct Step {
    Bytes payload;
    bool marker;
    bool gap;
    JpegEvent expected;
  };
  const Bytes a1 = Concat({Main(0, 1, 50), {0x11}});
  const Bytes a2 = Concat({Main(1, 1, 50), {0x22}});
  const Bytes a3 = Concat({Main(2, 1, 50), {0x33}});
  const struct {
    const char* label;
    std::vector<Step> steps;
  } kCases[] = {
      {"middle packet lost",
       {{a1, kNoMarker, false, E::kNone}, {a3, kMarker, kGap, E::kDamaged}}},
      {"packet lost, more follow before the marker",
       {{a1, kNoMarker, false, E::kNone}, {a3, kNoMarker, kGap, E::kDamaged},
        {a3, kNoMarker, false, E::kNone}, {a3, kMarker, false, E::kNone}}},
      {"marker packet lost: the next picture goes too",
       {{a1, kNoMarker, false, E::kNone}, {a1, kNoMarker, kGap, E::kDamaged},
        {a2, kMarker, false, E::kNone}}},
      {"first packet lost", {{a2, kNoMarker, kGap, E::kDamaged}, {a3, kMarker, false, E::kNone}}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.label);
    ExpectGoodPicture();
    for (const Step& step : c.steps) {
      EXPECT_EQ(Feed(step.payload, step.marker, step.gap).event, step.expected);
    }
    EXPECT_FALSE(depacketizer_.Broken());
    ExpectGoodPicture();
  }
}

// Malformed payloads: each row a picture's packets, the last with the marker, and the events they
// give; the next good picture must come out whole.
TEST_F(JpegDepacketizerTest, MalformedPictureIsDroppedAndNextIsWhole) {
  using E = JpegEvent;
  const Bytes restart = {0x00, 0x0A, 0xFF, 0xFF};
  const Bytes tables(128, 0x04);
  const struct {
    const char* label;
    std::vector<Bytes> packets;
    std::vector<JpegEvent> events;
  } kCases[] = {
      {"empty payload", {{}}, {E::kDamaged}},
      {"main header of 7 bytes", {{0x00, 0x00, 0x00, 0x00, 0x01, 0x32, 0x02}}, {E::kDamaged}},
      {"later fragment of 7 bytes",
       {Concat({Main(0, 1, 50), {0x11}}), {0x00, 0x00, 0x00, 0x01, 0x01, 0x32, 0x02}},
       {E::kNone, E::kDamaged}},
      {"quantisation header of 3 bytes", {Concat({Main(0, 1, 255), {0x00, 0x00, 0x00}})},
       {E::kDamaged}},
      {"precision bit set", {Concat({Main(0, 1, 255), {0x00, 0x01, 0x00, 0x80}, tables})},
       {E::kDamaged}},
      {"tables length 127",
       {Concat({Main(0, 1, 255), {0x00, 0x00, 0x00, 0x7F}, Bytes(127, 0x04)})}, {E::kDamaged}},
      {"tables length past the payload",
       {Concat({Main(0, 1, 255), {0x00, 0x00, 0x00, 0x81}, tables})}, {E::kDamaged}},
      {"tables length 0, none seen for Q 254",
       {Concat({Main(0, 1, 254), {0x00, 0x00, 0x00, 0x00, 0x11}})}, {E::kDamaged}},
      {"restart type, first fragment of 11 bytes",
       {Concat({Main(0, 65, 50), {0x00, 0x0A, 0xFF}})}, {E::kDamaged}},
      {"restart type, later fragment of 11 bytes",
       {Concat({Main(0, 65, 50), restart, {0x11}}), Concat({Main(1, 65, 50), {0x00, 0x0A, 0xFF}})},
       {E::kNone, E::kDamaged}},
      {"first fragment with offset 1", {Concat({Main(1, 1, 50), {0x11}})}, {E::kDamaged}},
      {"later fragment with offset past the scan so far",
       {Concat({Main(0, 1, 50), {0x11}}), Concat({Main(2, 1, 50), {0x22}}),
        Concat({Main(1, 1, 50), {0x33}})},
       {E::kNone, E::kDamaged, E::kNone}},
      {"later fragment with another Q",
       {Concat({Main(0, 1, 50), {0x11}}), Concat({Main(1, 1, 51), {0x22}})},
       {E::kNone, E::kDamaged}},
      {"later fragment with another width",
       {Concat({Main(0, 1, 50), {0x11}}), Concat({Main(1, 1, 50, 3), {0x22}})},
       {E::kNone, E::kDamaged}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.label);
    ASSERT_EQ(c.packets.size(), c.events.size());
    for (std::size_t i = 0; i < c.packets.size(); ++i) {
      EXPECT_EQ(Feed(c.packets[i], i + 1 == c.packets.size()).event, c.events[i]) << "packet " << i;
    }
    ExpectGoodPicture();
  }
}

TEST_F(JpegDepacketizerTest, ScanDataUpToLimitIsKeptAndOneByteMoreIsDropped) {
  // 8 fragments of 64000 scan bytes: 512000, the limit.
  for (std::uint32_t i = 0; i < 8; ++i) {
    EXPECT_EQ(Feed(Concat({Main(i * 64000, 1, 50), Bytes(64000, 0x11)}), kNoMarker).event,
              JpegEvent::kNone);
  }
  const JpegFrame full = Feed(Main(512000, 1, 50), kMarker);
  ASSERT_EQ(full.event, JpegEvent::kFrame);
  EXPECT_EQ(full.jpeg.size(), 605u + 512000u + 2u);

  for (std::uint32_t i = 0; i < 8; ++i) {
    Feed(Concat({Main(i * 64000, 1, 50), Bytes(64000, 0x11)}), kNoMarker);
  }
  EXPECT_EQ(Feed(Concat({Main(512000, 1, 50), {0x11}}), kNoMarker).event, JpegEvent::kDamaged);
  EXPECT_EQ(Feed(Concat({Main(512001, 1, 50), {0x11}}), kMarker).event, JpegEvent::kNone);
  ExpectGoodPicture();
}

}  // namespace
}  // namespace kalmora
