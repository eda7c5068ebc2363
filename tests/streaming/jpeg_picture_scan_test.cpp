// The picture-size finder and the reply-body scanner of Motion-JPEG over HTTP, bytes in and
// pictures out.
#include "streaming/jpeg_picture_scan.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

namespace kalmora {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes joined;
  for (const Bytes& part : parts) joined.insert(joined.end(), part.begin(), part.end());
  return joined;
}

// A baseline frame header for width x height: marker, length 17, precision 8, height, width, 3
// components (their entries left out: the finder stops at the count).
Bytes FrameHeader(std::uint8_t marker, std::uint16_t width, std::uint16_t height) {
  return {0xFF,
          marker,
          0x00,
          0x11,
          0x08,
          static_cast<std::uint8_t>(height >> 8),
          static_cast<std::uint8_t>(height),
          static_cast<std::uint8_t>(width >> 8),
          static_cast<std::uint8_t>(width),
          0x03};
}

// bytes without its last `count`.
Bytes Without(Bytes bytes, std::size_t count) {
  bytes.resize(bytes.size() - count);
  return bytes;
}

const Bytes kSoi = {0xFF, 0xD8};
const Bytes kEoi = {0xFF, 0xD9};

TEST(JpegPictureSizeTest, FirstFrameHeaderGivesTheSize) {
  const struct {
    const char* name;
    Bytes image;
    int width;  // -1: no size
    int height;
  } kRows[] = {
      {"frame header first", Join({kSoi, FrameHeader(0xC0, 640, 480), kEoi}), 640, 480},
      {"DHT before the frame header",
       Join({kSoi, {0xFF, 0xC4, 0x00, 0x04, 0xC0, 0xFF}, FrameHeader(0xC0, 320, 240)}), 320, 240},
      {"frame-header bytes inside an APP0 segment",
       Join({kSoi, {0xFF, 0xE0, 0x00, 0x0C}, FrameHeader(0xC0, 16, 16), FrameHeader(0xC2, 176, 144)}), 176, 144},
      {"fill bytes before the marker", Join({kSoi, {0xFF, 0xFF}, FrameHeader(0xC0, 88, 72)}), 88, 72},
      {"restart marker stepped over", Join({kSoi, {0xFF, 0xD0}, FrameHeader(0xC1, 720, 576)}), 720, 576},
      {"header whose component count is the last byte", FrameHeader(0xC0, 32, 16), 32, 16},
      {"header that ends with its width", Without(FrameHeader(0xC0, 32, 16), 1), -1, -1},
      {"start of scan before the frame header",
       Join({kSoi, {0xFF, 0xDA, 0x00, 0x02}, FrameHeader(0xC0, 640, 480)}), -1, -1},
      {"end of image before the frame header", Join({kSoi, kEoi, FrameHeader(0xC0, 640, 480)}), -1, -1},
      {"segment length cut off", Join({kSoi, {0xFF, 0xC4, 0x00}}), -1, -1},
      {"segment longer than the image", Join({kSoi, {0xFF, 0xE1, 0x01, 0x00}, FrameHeader(0xC0, 640, 480)}), -1, -1},
      {"DHT as the frame header's place", Join({kSoi, FrameHeader(0xC4, 640, 480)}), -1, -1},
      {"no marker at all", {0x00, 0x01, 0xFE}, -1, -1},
      {"empty", {}, -1, -1},
  };
  for (const auto& row : kRows) {
    const auto size = FindJpegPictureSize(row.image.data(), row.image.size());
    if (row.width < 0) {
      EXPECT_FALSE(size.has_value()) << row.name;
      continue;
    }
    ASSERT_TRUE(size.has_value()) << row.name;
    EXPECT_EQ(size->width, row.width) << row.name;
    EXPECT_EQ(size->height, row.height) << row.name;
  }
}

// A picture of `length` bytes whose middle never holds 0xFF and differs by `tag`.
Bytes Picture(std::uint8_t tag, std::size_t length) {
  Bytes picture = Join({kSoi, FrameHeader(0xC0, 64, 48)});
  while (picture.size() + 2 < length) picture.push_back(static_cast<std::uint8_t>((tag + picture.size()) % 0xFE));
  return Join({picture, kEoi});
}

// whole cut at the offsets into consecutive bodies.
std::vector<Bytes> Cut(const Bytes& whole, std::initializer_list<std::size_t> offsets) {
  std::vector<Bytes> bodies;
  std::size_t from = 0;
  for (const std::size_t at : offsets) {
    bodies.emplace_back(whole.begin() + static_cast<std::ptrdiff_t>(from), whole.begin() + static_cast<std::ptrdiff_t>(at));
    from = at;
  }
  bodies.emplace_back(whole.begin() + static_cast<std::ptrdiff_t>(from), whole.end());
  return bodies;
}

std::vector<Bytes> ScanAll(CJpegBodyScanner& scanner, const std::vector<Bytes>& bodies) {
  std::vector<Bytes> pictures;
  for (const Bytes& body : bodies) {
    scanner.Scan(body.data(), body.size(), [&](const Bytes& picture) {
      pictures.push_back(picture);
      return true;
    });
  }
  return pictures;
}

TEST(JpegBodyScannerTest, EachPictureComesOutWholeAndOnce) {
  const Bytes p1 = Picture(1, 60);
  const Bytes p2 = Picture(2, 45);
  const Bytes page = {'<', 'h', '1', '>', '5', '0', '3', '<', '/', 'h', '1', '>'};
  const Bytes garbage_ff = {'x', 'y', 0xFF};
  const struct {
    const char* name;
    std::vector<Bytes> bodies;
    std::vector<Bytes> pictures;
  } kRows[] = {
      {"one picture in one body", {p1}, {p1}},
      {"two pictures in one body", {Join({p1, p2})}, {p1, p2}},
      {"split over two bodies", Cut(p1, {25}), {p1}},
      {"split over three bodies", Cut(p1, {7, 40}), {p1}},
      {"split inside the start marker", Cut(Join({garbage_ff, Bytes(p1.begin() + 1, p1.end())}), {3}), {p1}},
      {"split inside the end marker", Cut(p1, {59}), {p1}},
      {"a tail, then the next picture in the same body", Cut(Join({p1, p2}), {30}), {p1, p2}},
      {"no picture", {page}, {}},
      {"garbage before the start", {Join({page, p1})}, {p1}},
      {"an error page between two pictures", {p1, page, p2}, {p1, p2}},
      {"a picture cut off before its end, then a whole one", {Without(p1, 30), p2}, {p2}},
  };
  for (const auto& row : kRows) {
    CJpegBodyScanner scanner;
    EXPECT_EQ(ScanAll(scanner, row.bodies), row.pictures) << row.name;
  }
}

TEST(JpegBodyScannerTest, APictureBeyondTheCapIsDroppedAndTheStoreStaysWithinIt) {
  constexpr std::size_t kCap = 64;
  CJpegBodyScanner scanner(kCap);
  const Bytes big = Picture(3, 100);
  const Bytes small = Picture(4, 40);
  std::vector<Bytes> bodies = Cut(big, {50});
  bodies.push_back(small);
  // A camera answering 200 with bodies that never hold a marker.
  const Bytes junk(40, 0x20);
  for (int i = 0; i < 4; ++i) bodies.push_back(junk);
  bodies.push_back(small);

  std::vector<Bytes> pictures;
  for (const Bytes& body : bodies) {
    scanner.Scan(body.data(), body.size(), [&](const Bytes& picture) {
      pictures.push_back(picture);
      return true;
    });
    EXPECT_LE(scanner.stored_bytes(), kCap);
  }
  EXPECT_EQ(pictures, (std::vector<Bytes>{small, small}));

  // A callback that says stop ends the body's scan after that picture.
  const Bytes two = Join({small, small});
  const auto result = scanner.Scan(two.data(), two.size(), [](const Bytes&) { return false; });
  EXPECT_EQ(result.pictures, 1u);
  EXPECT_TRUE(result.ended);
}

}  // namespace
}  // namespace kalmora
