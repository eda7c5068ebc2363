// The picture-size finder and the reply-body scanner of Motion-JPEG over HTTP: bytes in,
// pictures out.
#include "streaming/jpeg_picture_scan.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace kalmora {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes joined;
  for (const Bytes& part : parts) joined.insert(joined.end(), part.begin(), part.end());
  return joined;
}

Bytes Without(Bytes bytes, std::size_t count) {
  bytes.resize(bytes.size() - count);
  return bytes;
}

// Marker, length 17, precision 8, height, width, component count (the entries left out).
Bytes FrameHeader(std::uint8_t marker, std::uint16_t width, std::uint16_t height) {
  return {0xFF, marker, 0x00, 0x11, 0x08, std::uint8_t(height >> 8), std::uint8_t(height), std::uint8_t(width >> 8),
          std::uint8_t(width), 0x03};
}

const Bytes kSoi = {0xFF, 0xD8};
const Bytes kEoi = {0xFF, 0xD9};

TEST(JpegPictureSizeTest, FirstFrameHeaderGivesTheSize) {
  const Bytes vga = FrameHeader(0xC0, 640, 480);
  const struct {
    const char* name;
    Bytes image;
    int width, height;  // -1: no size
  } kRows[] = {
      {"DHT before the frame header", Join({kSoi, {0xFF, 0xC4, 0x00, 0x04, 0xC0, 0xFF}, FrameHeader(0xC0, 320, 240)}),
       320, 240},
      {"header bytes inside APP0", Join({kSoi, {0xFF, 0xE0, 0x00, 0x0C}, vga, FrameHeader(0xC2, 176, 144)}), 176, 144},
      {"fill bytes before the marker", Join({kSoi, {0xFF, 0xFF}, FrameHeader(0xC0, 88, 72)}), 88, 72},
      {"restart marker stepped over", Join({kSoi, {0xFF, 0xD0}, FrameHeader(0xC1, 720, 576)}), 720, 576},
      {"component count is the last byte", vga, 640, 480},
      {"header ends with its width", Without(vga, 1), -1, -1},
      {"scan before the frame header", Join({kSoi, {0xFF, 0xDA, 0x00, 0x02}, vga}), -1, -1},
      {"end of image before the frame header", Join({kSoi, kEoi, vga}), -1, -1},
      {"segment length cut off", Join({kSoi, {0xFF, 0xC4, 0x00}}), -1, -1},
      {"segment longer than the image", Join({kSoi, {0xFF, 0xE1, 0x01, 0x00}, vga}), -1, -1},
      {"empty", {}, -1, -1},
  };
  for (const auto& row : kRows) {
    const auto size = FindJpegPictureSize(row.image.data(), row.image.size());
    EXPECT_EQ(size ? size->width : -1, row.width) << row.name;
    EXPECT_EQ(size ? size->height : -1, row.height) << row.name;
  }
}

// A picture of `length` bytes, no 0xFF inside, differing by tag.
Bytes Picture(std::uint8_t tag, std::size_t length) {
  Bytes picture = Join({kSoi, FrameHeader(0xC0, 64, 48)});
  while (picture.size() + 2 < length) picture.push_back(std::uint8_t((tag + picture.size()) % 0xFE));
  return Join({picture, kEoi});
}

// Consecutive bodies: whole cut at the offsets.
std::vector<Bytes> Cut(const Bytes& whole, std::initializer_list<std::ptrdiff_t> offsets) {
  std::vector<Bytes> bodies;
  auto from = whole.begin();
  for (const std::ptrdiff_t at : offsets) bodies.emplace_back(std::exchange(from, whole.begin() + at), whole.begin() + at);
  bodies.emplace_back(from, whole.end());
  return bodies;
}

TEST(JpegBodyScannerTest, EachPictureComesOutWholeAndOnce) {
  const Bytes p1 = Picture(1, 60);
  const Bytes p2 = Picture(2, 45);
  const Bytes page = {'<', 'h', '1', '>', '5', '0', '3'};
  const Bytes junk(40, 0x20);
  const std::vector<Bytes> big = Cut(Picture(3, 100), {50});
  const struct {
    const char* name;
    std::vector<Bytes> bodies;
    std::vector<Bytes> pictures;
    std::size_t cap = CJpegBodyScanner::kMaxPictureBytes;
  } kRows[] = {
      {"two pictures in one body", {Join({p1, p2})}, {p1, p2}},
      {"split over two bodies", Cut(p1, {25}), {p1}},
      {"split over three bodies", Cut(p1, {7, 40}), {p1}},
      {"split inside the start marker", Cut(Join({page, {0xFF}, Bytes(p1.begin() + 1, p1.end())}), {8}), {p1}},
      {"split inside the end marker", Cut(p1, {59}), {p1}},
      {"a tail, then the next picture", Cut(Join({p1, p2}), {30}), {p1, p2}},
      {"no picture", {page}, {}},
      {"garbage before the start", {Join({page, p1})}, {p1}},
      {"error page between pictures", {p1, page, p2}, {p1, p2}},
      {"picture cut off, then a whole one", {Without(p1, 30), p2}, {p2}},
      {"picture beyond the cap", {big[0], big[1], p2}, {p2}, 64},
      {"bodies without markers beyond the cap", {junk, junk, junk, p2}, {p2}, 64},
  };
  for (const auto& row : kRows) {
    CJpegBodyScanner scanner(row.cap);
    std::vector<Bytes> pictures;
    for (const Bytes& body : row.bodies) {
      scanner.Scan(body.data(), body.size(), [&](const Bytes& picture) {
        pictures.push_back(picture);
        return true;
      });
      EXPECT_LE(scanner.stored_bytes(), row.cap) << row.name;
    }
    EXPECT_EQ(pictures, row.pictures) << row.name;
  }
}

}  // namespace
}  // namespace kalmora
