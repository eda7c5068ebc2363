#include "streaming/h264_depacketizer.h"

#include <gtest/gtest.h>

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

const Bytes kDelimiter = {0x00, 0x00, 0x01, 0x09, 0x30};

Bytes ToBytes(std::span<const std::uint8_t> span) { return Bytes(span.begin(), span.end()); }

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

class H264DepacketizerTest : public ::testing::Test {
 protected:
  H264AccessUnit Feed(const Bytes& payload, bool marker, bool gap = false) {
    return depacketizer_.OnPayload(payload.data(), payload.size(), marker, gap);
  }

  // SPS and PPS as single NAL unit packets, the marker on the PPS: an access unit of its own.
  H264AccessUnit FeedParameterSets() {
    Feed({0x67,               // NAL header: NRI 3, type 7 (SPS)
          0x42, 0x00, 0x1F},  // SPS body
         kNoMarker);
    return Feed({0x68,         // NAL header: NRI 3, type 8 (PPS)
                 0xCE, 0x3C},  // PPS body
                kMarker);
  }

  CH264Depacketizer depacketizer_;
};

const Bytes kCachedParameterSets = {0x00, 0x00, 0x01, 0x67, 0x42, 0x00, 0x1F,
                                    0x00, 0x00, 0x01, 0x68, 0xCE, 0x3C};

TEST_F(H264DepacketizerTest, SingleNalUnitGetsStartCodeAndDelimiter) {
  const H264AccessUnit unit = Feed({0x41,         // NAL header: NRI 2, type 1 (non-IDR slice)
                                    0x9A, 0x02},  // slice data
                                   kMarker);
  EXPECT_EQ(unit.event, H264Event::kFrame);
  EXPECT_EQ(ToBytes(unit.body), Concat({{0x00, 0x00, 0x01, 0x41, 0x9A, 0x02}, kDelimiter}));
  EXPECT_TRUE(unit.header.empty());
  EXPECT_TRUE(unit.has_slice);
  EXPECT_FALSE(unit.has_sps);
  EXPECT_FALSE(unit.key_frame);  // a non-IDR slice, however packetised
  EXPECT_TRUE(unit.broken);      // no IDR slice since the start
  EXPECT_EQ(unit.Size(), 11u);
}

TEST_F(H264DepacketizerTest, NothingEndsWithoutMarker) {
  const H264AccessUnit unit = Feed({0x41,   // NAL header: type 1
                                    0x9A},  // slice data
                                   kNoMarker);
  EXPECT_EQ(unit.event, H264Event::kNone);
  EXPECT_TRUE(unit.body.empty());
}

TEST_F(H264DepacketizerTest, SmallPredictedPictureIsDelivered) {
  Bytes payload = {0x41};  // NAL header: type 1 (non-IDR slice)
  payload.resize(300, 0xAB);
  const H264AccessUnit unit = Feed(payload, kMarker);
  ASSERT_EQ(unit.event, H264Event::kFrame);
  EXPECT_EQ(unit.Size(), 3u + 300u + 5u);
  EXPECT_EQ(ToBytes(unit.body), Concat({{0x00, 0x00, 0x01}, payload, kDelimiter}));
}

TEST_F(H264DepacketizerTest, FuARebuildsNalHeaderAndJoinsFragments) {
  Feed({0x5C,         // FU indicator: NRI 2, type 28
        0x85,         // FU header: start, type 5 (IDR)
        0x88, 0x84},  // fragment 1
       kNoMarker);
  Feed({0x5C,   // FU indicator
        0x05,   // FU header: middle, type 5
        0x21},  // fragment 2
       kNoMarker);
  const H264AccessUnit unit = Feed({0x5C,   // FU indicator
                                    0x45,   // FU header: end, type 5
                                    0xA0},  // fragment 3
                                   kMarker);
  ASSERT_EQ(unit.event, H264Event::kFrame);
  EXPECT_EQ(ToBytes(unit.body),
            Concat({{0x00, 0x00, 0x01, 0x45, 0x88, 0x84, 0x21, 0xA0}, kDelimiter}));
  EXPECT_TRUE(unit.key_frame);
  EXPECT_TRUE(unit.has_slice);
  EXPECT_FALSE(unit.broken);  // an IDR slice ends the damage
}

TEST_F(H264DepacketizerTest, FragmentedNonIdrSliceIsNotKey) {
  Feed({0x7C,   // FU indicator: NRI 3, type 28
        0x81,   // FU header: start, type 1
        0x9A},  // fragment 1
       kNoMarker);
  const H264AccessUnit unit = Feed({0x7C,   // FU indicator
                                    0x41,   // FU header: end, type 1
                                    0x02},  // fragment 2
                                   kMarker);
  ASSERT_EQ(unit.event, H264Event::kFrame);
  EXPECT_EQ(ToBytes(unit.body), Concat({{0x00, 0x00, 0x01, 0x61, 0x9A, 0x02}, kDelimiter}));
  EXPECT_FALSE(unit.key_frame);
}

TEST_F(H264DepacketizerTest, IdrSliceAsSingleNalUnitIsKey) {
  const H264AccessUnit unit = Feed({0x65,   // NAL header: NRI 3, type 5 (IDR)
                                    0x88},  // slice data
                                   kMarker);
  EXPECT_EQ(unit.event, H264Event::kFrame);
  EXPECT_TRUE(unit.key_frame);
  EXPECT_FALSE(unit.broken);
}

TEST_F(H264DepacketizerTest, KeyFlagStartsClearForEveryAccessUnit) {
  Feed({0x65,   // NAL header: type 5 (IDR)
        0x88},  // slice data
       kMarker);
  const H264AccessUnit unit = Feed({0x41,   // NAL header: type 1
                                    0x9A},  // slice data
                                   kMarker);
  EXPECT_FALSE(unit.key_frame);
  EXPECT_FALSE(unit.broken);
}

TEST_F(H264DepacketizerTest, StapAIsTakenApart) {
  const H264AccessUnit unit = Feed({0x78,                    // STAP-A header: NRI 3, type 24
                                    0x00, 0x04,              // unit 1 size 4
                                    0x67, 0x42, 0x00, 0x1F,  // unit 1: SPS
                                    0x00, 0x03,              // unit 2 size 3
                                    0x68, 0xCE, 0x3C},       // unit 2: PPS
                                   kMarker);
  EXPECT_EQ(unit.event, H264Event::kHeader);
  EXPECT_EQ(ToBytes(depacketizer_.HeaderCache()), kCachedParameterSets);
  EXPECT_EQ(ToBytes(unit.body), kCachedParameterSets);
  EXPECT_TRUE(unit.has_sps);
  EXPECT_FALSE(unit.has_slice);
}

TEST_F(H264DepacketizerTest, StapAWithIdrSliceIsKeyFrame) {
  const H264AccessUnit unit = Feed({0x78,         // STAP-A header
                                    0x00, 0x02,   // unit 1 size 2
                                    0x09, 0x10,   // unit 1: AUD
                                    0x00, 0x02,   // unit 2 size 2
                                    0x65, 0x88},  // unit 2: IDR slice
                                   kMarker);
  ASSERT_EQ(unit.event, H264Event::kFrame);
  EXPECT_EQ(ToBytes(unit.body),
            Concat({{0x00, 0x00, 0x01, 0x09, 0x10, 0x00, 0x00, 0x01, 0x65, 0x88}, kDelimiter}));
  EXPECT_TRUE(unit.key_frame);
}

TEST_F(H264DepacketizerTest, ParameterSetAccessUnitIsCachedNotDelivered) {
  const H264AccessUnit unit = FeedParameterSets();
  EXPECT_EQ(unit.event, H264Event::kHeader);
  EXPECT_EQ(ToBytes(unit.body), kCachedParameterSets);
  EXPECT_EQ(ToBytes(depacketizer_.HeaderCache()), kCachedParameterSets);
}

TEST_F(H264DepacketizerTest, CachedHeaderGoesInFrontOfIdrThatLacksIt) {
  FeedParameterSets();
  Feed({0x7C,   // FU indicator: NRI 3, type 28
        0x85,   // FU header: start, type 5
        0x88},  // fragment 1
       kNoMarker);
  const H264AccessUnit unit = Feed({0x7C,   // FU indicator
                                    0x45,   // FU header: end, type 5
                                    0x84},  // fragment 2
                                   kMarker);
  ASSERT_EQ(unit.event, H264Event::kFrame);
  EXPECT_TRUE(unit.key_frame);
  EXPECT_EQ(ToBytes(unit.header), kCachedParameterSets);
  EXPECT_EQ(ToBytes(unit.body), Concat({{0x00, 0x00, 0x01, 0x65, 0x88, 0x84}, kDelimiter}));
  EXPECT_EQ(unit.Size(), kCachedParameterSets.size() + 6 + 5);
}

TEST_F(H264DepacketizerTest, IdrBeginningWithSpsOfAnyNriGetsNoHeader) {
  FeedParameterSets();
  Feed({0x27,               // NAL header: NRI 1, type 7 (SPS)
        0x42, 0x00, 0x28},  // SPS body
       kNoMarker);
  const H264AccessUnit unit = Feed({0x65,   // NAL header: type 5 (IDR)
                                    0x88},  // slice data
                                   kMarker);
  ASSERT_EQ(unit.event, H264Event::kFrame);
  EXPECT_TRUE(unit.header.empty());
  EXPECT_TRUE(unit.has_sps);
  EXPECT_EQ(ToBytes(unit.body),
            Concat({{0x00, 0x00, 0x01, 0x27, 0x42, 0x00, 0x28, 0x00, 0x00, 0x01, 0x65, 0x88},
                    kDelimiter}));
  // An access unit with a slice is delivered and leaves the cache alone.
  EXPECT_EQ(ToBytes(depacketizer_.HeaderCache()), kCachedParameterSets);
}

TEST_F(H264DepacketizerTest, PredictedPictureGetsNoHeader) {
  FeedParameterSets();
  const H264AccessUnit unit = Feed({0x41,   // NAL header: type 1
                                    0x9A},  // slice data
                                   kMarker);
  ASSERT_EQ(unit.event, H264Event::kFrame);
  EXPECT_TRUE(unit.header.empty());
}

TEST_F(H264DepacketizerTest, NewParameterSetsReplaceTheCache) {
  FeedParameterSets();
  const H264AccessUnit unit = Feed({0x67,               // NAL header: type 7 (SPS)
                                    0x64, 0x00, 0x33},  // SPS body
                                   kMarker);
  EXPECT_EQ(unit.event, H264Event::kHeader);
  EXPECT_EQ(ToBytes(depacketizer_.HeaderCache()),
            (Bytes{0x00, 0x00, 0x01, 0x67, 0x64, 0x00, 0x33}));
}

TEST_F(H264DepacketizerTest, AccessUnitWithoutSliceOrSpsIsDiscarded) {
  FeedParameterSets();
  const H264AccessUnit unit = Feed({0x06,               // NAL header: type 6 (SEI)
                                    0x05, 0x01, 0x80},  // SEI body
                                   kMarker);
  EXPECT_EQ(unit.event, H264Event::kDiscarded);
  EXPECT_FALSE(unit.has_slice);
  EXPECT_EQ(ToBytes(depacketizer_.HeaderCache()), kCachedParameterSets);
}

// Sequence gaps and the broken flag.

TEST_F(H264DepacketizerTest, SequenceGapDropsFrameInProgressButTakesThePacket) {
  Feed({0x65,   // NAL header: type 5 (IDR)
        0x88},  // slice data
       kNoMarker);
  const H264AccessUnit unit = Feed({0x41,   // NAL header: type 1
                                    0x9A},  // slice data
                                   kMarker, kGap);
  ASSERT_EQ(unit.event, H264Event::kFrame);
  EXPECT_EQ(ToBytes(unit.body), Concat({{0x00, 0x00, 0x01, 0x41, 0x9A}, kDelimiter}));
  EXPECT_FALSE(unit.key_frame);
  EXPECT_TRUE(unit.broken);
}

TEST_F(H264DepacketizerTest, BrokenUntilNextIdrSlice) {
  Feed({0x65,   // NAL header: type 5 (IDR)
        0x88},  // slice data
       kMarker);
  EXPECT_FALSE(depacketizer_.Broken());
  Feed({0x41,   // NAL header: type 1
        0x9A},  // slice data
       kMarker, kGap);
  EXPECT_TRUE(depacketizer_.Broken());
  Feed({0x41,   // NAL header: type 1
        0x9B},  // slice data
       kMarker);
  EXPECT_TRUE(depacketizer_.Broken());
  Feed({0x65,   // NAL header: type 5 (IDR)
        0x89},  // slice data
       kMarker);
  EXPECT_FALSE(depacketizer_.Broken());
  depacketizer_.MarkBroken();
  EXPECT_TRUE(depacketizer_.Broken());
}

TEST_F(H264DepacketizerTest, FragmentsAfterLostStartAreSkipped) {
  Feed({0x7C,   // FU indicator
        0x85,   // FU header: start, type 5
        0x88},  // fragment 1
       kNoMarker);
  const H264AccessUnit middle = Feed({0x7C,   // FU indicator
                                      0x05,   // FU header: middle, type 5
                                      0x21},  // fragment 3 (fragment 2 lost)
                                     kNoMarker, kGap);
  EXPECT_EQ(middle.event, H264Event::kNone);
  Feed({0x41,   // NAL header: type 1
        0x9A},  // slice data
       kNoMarker);
  const H264AccessUnit unit = Feed({0x7C,   // FU indicator
                                    0x01,   // FU header: middle, type 1, without its start
                                    0x22},  // fragment
                                   kMarker);
  ASSERT_EQ(unit.event, H264Event::kFrame);
  EXPECT_EQ(ToBytes(unit.body), Concat({{0x00, 0x00, 0x01, 0x41, 0x9A}, kDelimiter}));
  EXPECT_TRUE(unit.broken);
}

TEST_F(H264DepacketizerTest, MarkerOnSkippedFragmentEndsNothing) {
  const H264AccessUnit unit = Feed({0x7C,   // FU indicator
                                    0x45,   // FU header: end, type 5, start never seen
                                    0x84},  // fragment
                                   kMarker);
  EXPECT_EQ(unit.event, H264Event::kNone);
  EXPECT_TRUE(unit.body.empty());
}

TEST_F(H264DepacketizerTest, ResetForgetsHeaderAndFrameInProgress) {
  FeedParameterSets();
  Feed({0x65,   // NAL header: type 5 (IDR)
        0x88},  // slice data
       kNoMarker);
  depacketizer_.Reset();
  EXPECT_TRUE(depacketizer_.HeaderCache().empty());
  EXPECT_TRUE(depacketizer_.Broken());
  const H264AccessUnit unit = Feed({0x41,   // NAL header: type 1
                                    0x9A},  // slice data
                                   kMarker);
  EXPECT_EQ(ToBytes(unit.body), Concat({{0x00, 0x00, 0x01, 0x41, 0x9A}, kDelimiter}));
}

TEST_F(H264DepacketizerTest, AssemblyBufferIsReusedAcrossFrames) {
  Bytes payload = {0x41};  // NAL header: type 1
  payload.resize(5000, 0x11);
  const std::uint8_t* first = Feed(payload, kMarker).body.data();
  payload.resize(3000);
  const H264AccessUnit second = Feed(payload, kMarker);
  EXPECT_EQ(second.body.data(), first);
  EXPECT_EQ(second.body.size(), 3u + 3000u + 5u);
}

TEST_F(H264DepacketizerTest, AccessUnitUpToLimitIsKept) {
  // Seven single NAL units of 64000 bytes and one of 63976: 512000 bytes with start codes.
  Bytes payload = {0x41};  // NAL header: type 1
  payload.resize(64000, 0x22);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(Feed(payload, kNoMarker).event, H264Event::kNone);
  payload.resize(63976);
  const H264AccessUnit unit = Feed(payload, kMarker);
  ASSERT_EQ(unit.event, H264Event::kFrame);
  EXPECT_EQ(unit.body.size(), CH264Depacketizer::kMaxAccessUnitSize + 5);
}

// Malformed payloads: each drops the frame in progress as damaged.

class H264DepacketizerDamageTest : public H264DepacketizerTest {
 protected:
  void SetUp() override {
    Feed({0x65,   // NAL header: type 5 (IDR), the frame in progress
          0x88},  // slice data
         kNoMarker);
    ASSERT_FALSE(depacketizer_.Broken());
  }
  void ExpectDamaged(const H264AccessUnit& unit) {
    EXPECT_EQ(unit.event, H264Event::kDamaged);
    EXPECT_TRUE(unit.body.empty());
    EXPECT_TRUE(unit.broken);
    // The frame in progress is gone: the next access unit holds only what follows.
    const H264AccessUnit next = Feed({0x41,   // NAL header: type 1
                                      0x9A},  // slice data
                                     kMarker);
    EXPECT_EQ(ToBytes(next.body), Concat({{0x00, 0x00, 0x01, 0x41, 0x9A}, kDelimiter}));
    EXPECT_FALSE(next.key_frame);
  }
};

TEST_F(H264DepacketizerDamageTest, EmptyPayload) { ExpectDamaged(Feed({}, kMarker)); }

TEST_F(H264DepacketizerDamageTest, NullPayload) {
  ExpectDamaged(depacketizer_.OnPayload(nullptr, 0, kMarker, false));
}

TEST_F(H264DepacketizerDamageTest, FuAWithoutFuHeader) {
  ExpectDamaged(Feed({0x7C},  // FU indicator, FU header missing
                     kNoMarker));
}

TEST_F(H264DepacketizerDamageTest, StapAWithoutUnits) {
  ExpectDamaged(Feed({0x78},  // STAP-A header only
                     kNoMarker));
}

TEST_F(H264DepacketizerDamageTest, StapAUnitRunsPastPacket) {
  ExpectDamaged(Feed({0x78,                     // STAP-A header
                      0x00, 0x02,               // unit 1 size 2
                      0x68, 0xCE,               // unit 1: PPS
                      0x00, 0x05,               // unit 2 size 5
                      0x65, 0x88, 0x84, 0x21},  // unit 2: 4 of the 5 bytes
                     kNoMarker));
}

TEST_F(H264DepacketizerDamageTest, StapASizeFieldCutShort) {
  ExpectDamaged(Feed({0x78,        // STAP-A header
                      0x00, 0x02,  // unit 1 size 2
                      0x09, 0x10,  // unit 1: AUD
                      0x00},       // half a size field
                     kNoMarker));
}

TEST_F(H264DepacketizerDamageTest, StapAZeroSizeUnit) {
  ExpectDamaged(Feed({0x78,        // STAP-A header
                      0x00, 0x00,  // unit 1 size 0
                      0x00, 0x02,  // unit 2 size 2
                      0x09, 0x10}, // unit 2: AUD
                     kNoMarker));
}

// A NAL header alone is no NAL unit worth a frame: one byte as the whole payload (a 13-byte
// datagram), or as a STAP-A unit.
TEST_F(H264DepacketizerDamageTest, OneByteNalUnits) {
  const struct {
    const char* label;
    Bytes payload;
  } kCases[] = {
      {"IDR slice header alone", {0x65}},
      {"non-IDR slice header alone", {0x41}},
      {"SPS header alone", {0x67}},
      {"STAP-A with a 1-byte IDR unit", {0x78, 0x00, 0x01, 0x65}},
      {"STAP-A with a whole unit, then a 1-byte one", {0x78, 0x00, 0x02, 0x09, 0x10, 0x00, 0x01, 0x65}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.label);
    Feed({0x65, 0x88}, kNoMarker);  // an IDR frame in progress again
    ExpectDamaged(Feed(c.payload, kMarker));
  }
}

TEST_F(H264DepacketizerDamageTest, AccessUnitOverLimit) {
  Bytes payload = {0x41};  // NAL header: type 1
  payload.resize(64000, 0x22);
  // 448026 bytes with the IDR in progress; 63979 more take the unit past the limit.
  for (int i = 0; i < 7; ++i) Feed(payload, kNoMarker);
  payload.resize(63976);
  ExpectDamaged(Feed(payload, kNoMarker));
}

class H264UnsupportedTypeTest : public H264DepacketizerDamageTest,
                                public ::testing::WithParamInterface<int> {};

TEST_P(H264UnsupportedTypeTest, DropsFrameInProgress) {
  ExpectDamaged(Feed({static_cast<std::uint8_t>(0x60 | GetParam()),  // NAL header: NRI 3, type
                      0x00, 0x04, 0x65, 0x88},                       // what would follow
                     kMarker));
}

// 0 undefined, 25 STAP-B, 26 MTAP16, 27 MTAP24, 29 FU-B, 30 and 31 reserved.
INSTANTIATE_TEST_SUITE_P(Types, H264UnsupportedTypeTest,
                         ::testing::Values(0, 25, 26, 27, 29, 30, 31));

}  // namespace
}  // namespace kalmora
