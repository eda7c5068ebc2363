#include "streaming/h264_depacketizer.h"

namespace kalmora {
namespace {

constexpr std::uint8_t kStartCode[] = {0x00, 0x00, 0x01};
// Access unit delimiter, primary_pic_type 1 (I and P slices), with its stop bit.
constexpr std::uint8_t kAccessUnitDelimiter[] = {0x00, 0x00, 0x01, 0x09, 0x30};

constexpr std::uint8_t kNalTypeMask = 0x1F;
constexpr std::uint8_t kNalNriForbiddenMask = 0xE0;
constexpr std::uint8_t kNalSliceFirst = 1;
constexpr std::uint8_t kNalSliceLast = 5;  // 1 to 5: coded slices
constexpr std::uint8_t kNalIdrSlice = 5;
constexpr std::uint8_t kNalSps = 7;
constexpr std::uint8_t kNalSingleLast = 23;
constexpr std::uint8_t kNalStapA = 24;
constexpr std::uint8_t kNalFuA = 28;

constexpr std::uint8_t kFuStart = 0x80;
constexpr std::uint8_t kFuEnd = 0x40;
constexpr std::size_t kFuAHeaderSize = 2;     // FU indicator and FU header
constexpr std::size_t kStapANalSizeSize = 2;  // the 16-bit size in front of each unit
// A NAL header alone is no slice or parameter set: a shorter unit is damage.
constexpr std::size_t kMinNalUnitSize = 2;

void Append(std::vector<std::uint8_t>& buffer, const std::uint8_t* data, std::size_t length) {
  buffer.insert(buffer.end(), data, data + length);
}

}  // namespace

CH264Depacketizer::CH264Depacketizer() { Reset(); }

void CH264Depacketizer::Reset() {
  assembly_.clear();
  header_cache_.clear();
  completed_ = false;
  broken_ = true;
  key_frame_ = false;
  has_slice_ = false;
  has_sps_ = false;
  fragment_open_ = false;
}

void CH264Depacketizer::StartAccessUnit() {
  assembly_.clear();
  completed_ = false;
  key_frame_ = false;
  has_slice_ = false;
  has_sps_ = false;
  fragment_open_ = false;
}

void CH264Depacketizer::DropAccessUnit() {
  StartAccessUnit();
  broken_ = true;
}

void CH264Depacketizer::StartNalUnit(std::uint8_t nal_header) {
  Append(assembly_, kStartCode, sizeof kStartCode);
  assembly_.push_back(nal_header);
  const std::uint8_t type = nal_header & kNalTypeMask;
  if (type >= kNalSliceFirst && type <= kNalSliceLast) has_slice_ = true;
  if (type == kNalIdrSlice) {
    // An IDR slice needs no earlier picture, so the damage before it is over.
    key_frame_ = true;
    broken_ = false;
  }
  if (type == kNalSps) has_sps_ = true;
}

bool CH264Depacketizer::AppendSingle(const std::uint8_t* payload, std::size_t length) {
  // RFC 6184 section 5.6: the payload is the NAL unit itself.
  fragment_open_ = false;
  if (length < kMinNalUnitSize) return false;
  StartNalUnit(payload[0]);
  Append(assembly_, payload + 1, length - 1);
  return true;
}

bool CH264Depacketizer::AppendStapA(const std::uint8_t* payload, std::size_t length) {
  // RFC 6184 section 5.7.1: after the STAP-A NAL header, one or more units, each a 16-bit
  // big-endian size followed by that many bytes of NAL unit.
  fragment_open_ = false;
  std::size_t offset = 1;
  if (offset == length) return false;
  while (offset < length) {
    if (length - offset < kStapANalSizeSize) return false;
    const std::size_t size = (std::size_t{payload[offset]} << 8) | payload[offset + 1];
    offset += kStapANalSizeSize;
    if (size < kMinNalUnitSize || size > length - offset) return false;
    StartNalUnit(payload[offset]);
    Append(assembly_, payload + offset + 1, size - 1);
    offset += size;
  }
  return true;
}

bool CH264Depacketizer::AppendFuA(const std::uint8_t* payload, std::size_t length) {
  // RFC 6184 section 5.8: FU indicator (F and NRI of the fragmented unit), FU header (start,
  // end, type of the fragmented unit), then the fragment.
  if (length < kFuAHeaderSize) return false;
  const std::uint8_t fu_header = payload[1];
  if ((fu_header & kFuStart) != 0) {
    StartNalUnit(static_cast<std::uint8_t>((payload[0] & kNalNriForbiddenMask) |
                                           (fu_header & kNalTypeMask)));
    fragment_open_ = true;
  } else if (!fragment_open_) {
    // The start of this unit was lost or dropped; section 5.8 has the rest of its fragments
    // discarded, so no bytes without a start code and NAL header enter the access unit.
    broken_ = true;
    return true;
  }
  Append(assembly_, payload + kFuAHeaderSize, length - kFuAHeaderSize);
  if ((fu_header & kFuEnd) != 0) fragment_open_ = false;
  return true;
}

H264AccessUnit CH264Depacketizer::OnPayload(const std::uint8_t* payload, std::size_t length,
                                            bool marker, bool sequence_gap) {
  // The last completed access unit stayed in place for the caller until now.
  if (completed_) StartAccessUnit();
  if (sequence_gap) DropAccessUnit();

  H264AccessUnit result;
  bool taken = false;
  if (payload != nullptr && length != 0) {
    const std::uint8_t type = payload[0] & kNalTypeMask;
    if (type >= 1 && type <= kNalSingleLast) {
      taken = AppendSingle(payload, length);
    } else if (type == kNalStapA) {
      taken = AppendStapA(payload, length);
    } else if (type == kNalFuA) {
      taken = AppendFuA(payload, length);
    }
    // 0, 30 and 31 are undefined; 25 to 27 and 29 (STAP-B, MTAP, FU-B) belong to the
    // interleaved mode (RFC 6184 section 6.3), which a camera does not use with this receiver.
  }
  if (!taken || assembly_.size() > kMaxAccessUnitSize) {
    DropAccessUnit();
    result.event = H264Event::kDamaged;
    result.broken = broken_;
    return result;
  }
  if (!marker || assembly_.empty()) {
    result.broken = broken_;
    return result;
  }
  return Complete();
}

H264AccessUnit CH264Depacketizer::Complete() {
  completed_ = true;
  fragment_open_ = false;
  H264AccessUnit result;
  result.key_frame = key_frame_;
  result.has_slice = has_slice_;
  result.has_sps = has_sps_;
  result.broken = broken_;
  if (!has_slice_ && has_sps_) {
    // Kept without a delimiter: in front of an IDR picture a delimiter would part the parameter
    // sets from the picture they belong to.
    header_cache_.assign(assembly_.begin(), assembly_.end());
    result.event = H264Event::kHeader;
    result.body = header_cache_;
    return result;
  }
  Append(assembly_, kAccessUnitDelimiter, sizeof kAccessUnitDelimiter);
  result.body = assembly_;
  if (!has_slice_) {
    result.event = H264Event::kDiscarded;
    return result;
  }
  result.event = H264Event::kFrame;
  // Every unit starts with a start code, so byte 3 is the first NAL header. Its type, not the
  // whole byte 0x67, is compared: encoders give the SPS other NRI values (0x27, 0x47).
  if (key_frame_ && (assembly_[3] & kNalTypeMask) != kNalSps) result.header = header_cache_;
  return result;
}

}  // namespace kalmora
