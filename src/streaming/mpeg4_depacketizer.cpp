#include "streaming/mpeg4_depacketizer.h"

namespace kalmora {
namespace {

constexpr std::uint8_t kSequenceStart = 0xB0;  // visual object sequence start code value
constexpr std::uint8_t kPictureStart = 0xB6;   // video object plane start code value
constexpr std::size_t kStartCodeSize = 4;      // 00 00 01 and the code value
// vop_coding_type is the top two bits of the byte after the picture start code; 00 is intra.
constexpr std::uint8_t kFirstPredicted = 0x40;

// A start code with `code` at `offset`, within `length` bytes.
bool StartCodeAt(const std::uint8_t* bytes, std::size_t length, std::size_t offset,
                 std::uint8_t code) {
  return length >= kStartCodeSize && offset <= length - kStartCodeSize && bytes[offset] == 0 &&
         bytes[offset + 1] == 0 && bytes[offset + 2] == 1 && bytes[offset + 3] == code;
}

// A picture start needs the coding type byte after its start code.
bool PictureStartAt(const std::uint8_t* bytes, std::size_t length, std::size_t offset) {
  return length > kStartCodeSize && offset < length - kStartCodeSize &&
         StartCodeAt(bytes, length, offset, kPictureStart);
}

}  // namespace

CMpeg4Depacketizer::CMpeg4Depacketizer() { Reset(); }

void CMpeg4Depacketizer::Reset() {
  assembly_.clear();
  header_cache_.clear();
  completed_ = false;
  broken_ = true;
  key_frame_ = false;
}

Mpeg4Picture CMpeg4Depacketizer::OnPayload(const std::uint8_t* payload, std::size_t length,
                                           bool marker, bool sequence_gap) {
  // The last completed picture stayed in place for the caller until now.
  if (completed_) {
    assembly_.clear();
    completed_ = false;
  }
  if (sequence_gap) {
    assembly_.clear();
    broken_ = true;
  }
  if (payload == nullptr) length = 0;

  Mpeg4Picture result;
  const std::uint8_t* rest = payload;
  std::size_t rest_length = length;
  if (StartCodeAt(payload, length, 0, kSequenceStart)) {
    std::size_t offset = kStartCodeSize;
    while (offset < length && !PictureStartAt(payload, length, offset)) ++offset;
    // Without a picture start the payload is all header; offset is then length.
    header_cache_.assign(payload, payload + offset);
    rest += offset;
    rest_length -= offset;
  }

  if (PictureStartAt(rest, rest_length, 0)) {
    assembly_.clear();
    if (rest[kStartCodeSize] >= kFirstPredicted) {
      key_frame_ = false;
    } else {
      assembly_.assign(header_cache_.begin(), header_cache_.end());
      key_frame_ = true;
      if (!header_cache_.empty()) broken_ = false;
    }
  }

  if (broken_) {
    result.broken = true;
    return result;
  }
  if (rest_length != 0) assembly_.insert(assembly_.end(), rest, rest + rest_length);
  if (assembly_.size() > kMaxPictureSize) {
    assembly_.clear();
    broken_ = true;
    result.event = Mpeg4Event::kDamaged;
    result.broken = true;
    return result;
  }
  if (marker && !assembly_.empty()) {
    completed_ = true;
    result.event = Mpeg4Event::kFrame;
    result.data = assembly_;
    result.key_frame = key_frame_;
  }
  result.broken = broken_;
  return result;
}

}  // namespace kalmora
