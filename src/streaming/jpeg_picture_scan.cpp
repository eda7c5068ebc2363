#include "streaming/jpeg_picture_scan.h"

namespace kalmora {
namespace {

constexpr std::uint8_t kMarkerPrefix = 0xFF;
constexpr std::uint8_t kStartOfImage = 0xD8;
constexpr std::uint8_t kEndOfImage = 0xD9;
constexpr std::uint8_t kStartOfScan = 0xDA;
constexpr std::uint8_t kFirstRestart = 0xD0;
constexpr std::uint8_t kFirstFrameHeader = 0xC0;
constexpr std::uint8_t kLastFrameHeader = 0xCF;
// Markers inside the frame-header range that carry other segments.
constexpr std::uint8_t kHuffmanTables = 0xC4;
constexpr std::uint8_t kJpegExtension = 0xC8;
constexpr std::uint8_t kArithmeticConditioning = 0xCC;

// Offsets from a frame header's 0xFF: marker, length (2), precision, height (2), width (2),
// component count.
constexpr std::size_t kHeightOffset = 5;
constexpr std::size_t kWidthOffset = 7;
constexpr std::size_t kComponentCountOffset = 9;

std::uint16_t ReadBigEndian16(const std::uint8_t* at) {
  return static_cast<std::uint16_t>((at[0] << 8) | at[1]);
}

bool IsFrameHeader(std::uint8_t marker) {
  return marker >= kFirstFrameHeader && marker <= kLastFrameHeader && marker != kHuffmanTables &&
         marker != kJpegExtension && marker != kArithmeticConditioning;
}

}  // namespace

std::optional<JpegPictureSize> FindJpegPictureSize(const std::uint8_t* data, std::size_t length) {
  if (data == nullptr) return std::nullopt;
  std::size_t i = 0;
  while (i + 1 < length) {
    if (data[i] != kMarkerPrefix) {
      ++i;
      continue;
    }
    const std::uint8_t marker = data[i + 1];
    if (marker == kMarkerPrefix) {
      ++i;  // a fill byte: the marker comes after it
    } else if (marker >= kFirstRestart && marker <= kStartOfImage) {
      i += 2;  // no segment follows these
    } else if (marker == kStartOfScan || marker == kEndOfImage) {
      return std::nullopt;  // the picture data or the end came before any frame header
    } else if (IsFrameHeader(marker)) {
      if (i + kComponentCountOffset >= length) return std::nullopt;
      return JpegPictureSize{ReadBigEndian16(data + i + kWidthOffset), ReadBigEndian16(data + i + kHeightOffset)};
    } else {
      if (i + 3 >= length) return std::nullopt;
      i += 2 + ReadBigEndian16(data + i + 2);
    }
  }
  return std::nullopt;
}

CJpegBodyScanner::ScanResult CJpegBodyScanner::Scan(const std::uint8_t* body, std::size_t length,
                                                    const PictureFn& on_picture) {
  ScanResult result;
  if (body == nullptr || length == 0) return result;
  std::size_t open = length;  // offset of the start of image still open in this body; length: none
  std::size_t stored_up_to = 0;  // bytes of this body before this offset are dealt with
  bool end_seen = false;
  std::size_t i = 0;

  // A marker whose 0xFF ended the previous body.
  if (trailing_ff_) {
    trailing_ff_ = false;
    if (body[0] == kStartOfImage) {
      BeginPicture();
      Store(&kMarkerPrefix, 1);
      open = 0;
      i = 1;
    } else if (body[0] == kEndOfImage && (dropping_ || (!store_.empty() && store_.back() == kMarkerPrefix))) {
      Store(body, 1);
      end_seen = true;
      stored_up_to = i = 1;
      if (!EndPicture(on_picture, result)) {
        result.ended = true;
        return result;
      }
    }
  }

  for (; i + 1 < length; ++i) {
    if (body[i] != kMarkerPrefix) continue;
    if (body[i + 1] == kStartOfImage) {
      BeginPicture();
      open = i;
      ++i;
    } else if (body[i + 1] == kEndOfImage) {
      const std::size_t from = open < length ? open : stored_up_to;
      Store(body + from, i + 2 - from);
      open = length;
      end_seen = true;
      ++i;
      stored_up_to = i + 1;
      if (!EndPicture(on_picture, result)) {
        result.ended = true;
        return result;
      }
    }
  }

  // The picture goes on in the next body: from its start, or the whole body when this one
  // neither started nor ended one.
  if (open < length) {
    Store(body + open, length - open);
  } else if (!end_seen) {
    Store(body, length);
  }
  trailing_ff_ = body[length - 1] == kMarkerPrefix;
  return result;
}

void CJpegBodyScanner::Clear() {
  std::vector<std::uint8_t>().swap(store_);
  dropping_ = false;
  trailing_ff_ = false;
}

void CJpegBodyScanner::Store(const std::uint8_t* data, std::size_t length) {
  if (dropping_) return;
  if (length > max_bytes_ - store_.size()) {
    std::vector<std::uint8_t>().swap(store_);
    dropping_ = true;
    return;
  }
  store_.insert(store_.end(), data, data + length);
}

void CJpegBodyScanner::BeginPicture() {
  store_.clear();
  dropping_ = false;
}

bool CJpegBodyScanner::EndPicture(const PictureFn& on_picture, ScanResult& result) {
  if (dropping_) {
    dropping_ = false;
    return true;
  }
  ++result.pictures;
  const bool go_on = !on_picture || on_picture(store_);
  store_.clear();
  return go_on;
}

}  // namespace kalmora
