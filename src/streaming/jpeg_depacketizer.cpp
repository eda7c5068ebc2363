#include "streaming/jpeg_depacketizer.h"

#include <algorithm>
#include <cstring>

namespace kalmora {
namespace {

// ISO/IEC 10918-1 Annex K, Table K.1 (luminance) and Table K.2 (chrominance), natural order.
constexpr std::uint8_t kLumaBase[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,   //
    12, 12, 14, 19, 26,  58,  60,  55,   //
    14, 13, 16, 24, 40,  57,  69,  56,   //
    14, 17, 22, 29, 51,  87,  80,  62,   //
    18, 22, 37, 56, 68,  109, 103, 77,   //
    24, 35, 55, 64, 81,  104, 113, 92,   //
    49, 64, 78, 87, 103, 121, 120, 101,  //
    72, 92, 95, 98, 112, 100, 103, 99};
constexpr std::uint8_t kChromaBase[64] = {
    17, 18, 24, 47, 99, 99, 99, 99,  //
    18, 21, 26, 66, 99, 99, 99, 99,  //
    24, 26, 56, 99, 99, 99, 99, 99,  //
    47, 66, 99, 99, 99, 99, 99, 99,  //
    99, 99, 99, 99, 99, 99, 99, 99,  //
    99, 99, 99, 99, 99, 99, 99, 99,  //
    99, 99, 99, 99, 99, 99, 99, 99,  //
    99, 99, 99, 99, 99, 99, 99, 99};

// Entry k of a zig-zag table is entry kZigZag[k] of the natural one.
constexpr std::uint8_t kZigZag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,   //
    12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,  //
    35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,  //
    58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// The typical Huffman tables of Annex K.3: 16 code-length counts, then the values.
constexpr std::uint8_t kLumaDcBits[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
constexpr std::uint8_t kLumaDcValues[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr std::uint8_t kChromaDcBits[16] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
constexpr std::uint8_t kChromaDcValues[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr std::uint8_t kLumaAcBits[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7D};
constexpr std::uint8_t kLumaAcValues[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xA1, 0x08, 0x23, 0x42, 0xB1, 0xC1, 0x15, 0x52,
    0xD1, 0xF0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0A, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x25,
    0x26, 0x27, 0x28, 0x29, 0x2A, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4A, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
    0x9A, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6,
    0xB7, 0xB8, 0xB9, 0xBA, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xD2, 0xD3,
    0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8,
    0xE9, 0xEA, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA};
constexpr std::uint8_t kChromaAcBits[16] = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
constexpr std::uint8_t kChromaAcValues[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xA1, 0xB1, 0xC1, 0x09, 0x23, 0x33,
    0x52, 0xF0, 0x15, 0x62, 0x72, 0xD1, 0x0A, 0x16, 0x24, 0x34, 0xE1, 0x25, 0xF1, 0x17, 0x18,
    0x19, 0x1A, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x43, 0x44,
    0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x63,
    0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
    0x98, 0x99, 0x9A, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xB2, 0xB3, 0xB4,
    0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA,
    0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7,
    0xE8, 0xE9, 0xEA, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA};

template <std::size_t N>
constexpr std::size_t CountCodes(const std::uint8_t (&bits)[N]) {
  std::size_t count = 0;
  for (std::uint8_t b : bits) count += b;
  return count;
}
static_assert(CountCodes(kLumaDcBits) == sizeof kLumaDcValues);
static_assert(CountCodes(kChromaDcBits) == sizeof kChromaDcValues);
static_assert(CountCodes(kLumaAcBits) == sizeof kLumaAcValues);
static_assert(CountCodes(kChromaAcBits) == sizeof kChromaAcValues);

constexpr std::size_t kMainHeaderSize = 8;     // RFC 2435 section 3.1
constexpr std::size_t kRestartHeaderSize = 4;  // section 3.1.7
constexpr std::size_t kQuantHeaderSize = 4;    // section 3.1.8
constexpr std::size_t kQuantTablesSize = 128;  // two tables of 64 8-bit values
constexpr int kFirstRestartType = 64;
constexpr int kFirstDynamicType = 128;
constexpr int kFirstInBandQ = 128;
constexpr std::uint8_t kEndOfImage[] = {0xFF, 0xD9};

std::uint8_t* Put16(std::uint8_t* out, unsigned value) {
  out[0] = static_cast<std::uint8_t>(value >> 8);
  out[1] = static_cast<std::uint8_t>(value);
  return out + 2;
}

std::uint8_t* PutBytes(std::uint8_t* out, const std::uint8_t* data, std::size_t length) {
  std::memcpy(out, data, length);
  return out + length;
}

std::uint8_t* PutQuantTable(std::uint8_t* out, std::uint8_t id, const std::uint8_t table[64]) {
  *out++ = 0xFF;
  *out++ = 0xDB;
  out = Put16(out, 2 + 1 + 64);
  *out++ = id;  // precision 0 (8 bit), table id
  return PutBytes(out, table, 64);
}

template <std::size_t N>
std::uint8_t* PutHuffmanTable(std::uint8_t* out, std::uint8_t class_id,
                              const std::uint8_t (&bits)[16], const std::uint8_t (&values)[N]) {
  *out++ = 0xFF;
  *out++ = 0xC4;
  out = Put16(out, static_cast<unsigned>(2 + 1 + 16 + N));
  *out++ = class_id;
  out = PutBytes(out, bits, 16);
  return PutBytes(out, values, N);
}

unsigned Read16(const std::uint8_t* in) { return (unsigned{in[0]} << 8) | in[1]; }

bool IsRestartType(int type) { return type >= kFirstRestartType && type < kFirstDynamicType; }

}  // namespace

void MakeQuantTables(int q, std::uint8_t chroma[64], std::uint8_t luma[64]) {
  q = std::clamp(q, 1, 99);
  const int scale = q < 50 ? 5000 / q : 200 - 2 * q;
  for (int k = 0; k < 64; ++k) {
    const int natural = kZigZag[k];
    luma[k] =
        static_cast<std::uint8_t>(std::clamp((scale * kLumaBase[natural] + 50) / 100, 1, 255));
    chroma[k] =
        static_cast<std::uint8_t>(std::clamp((scale * kChromaBase[natural] + 50) / 100, 1, 255));
  }
}

std::size_t WriteJpegHeader(std::uint8_t* destination, const std::uint8_t luma[64],
                            int height_blocks, int type, int width_blocks,
                            const std::uint8_t chroma[64], int restart_interval) {
  std::uint8_t* out = destination;
  *out++ = 0xFF;
  *out++ = 0xD8;  // SOI
  out = PutQuantTable(out, 0, luma);
  out = PutQuantTable(out, 1, chroma);
  if (restart_interval >= 0) {
    // Before the frame header, as RFC 2435 appendix B places it.
    *out++ = 0xFF;
    *out++ = 0xDD;
    out = Put16(out, 4);
    out = Put16(out, static_cast<unsigned>(restart_interval) & 0xFFFF);
  }
  // Types 64 to 127 are types 0 to 63 with restart markers (section 3.1.7).
  const int base_type = IsRestartType(type) ? type & 0x3F : type;
  *out++ = 0xFF;
  *out++ = 0xC0;  // SOF0, baseline
  out = Put16(out, 8 + 3 * 3);
  *out++ = 8;  // sample precision
  out = Put16(out, (static_cast<unsigned>(height_blocks) * 8) & 0xFFFF);
  out = Put16(out, (static_cast<unsigned>(width_blocks) * 8) & 0xFFFF);
  *out++ = 3;
  const std::uint8_t components[9] = {0, static_cast<std::uint8_t>(base_type == 0 ? 0x21 : 0x22), 0,
                                      1, 0x11, 1,
                                      2, 0x11, 1};
  out = PutBytes(out, components, sizeof components);
  out = PutHuffmanTable(out, 0x00, kLumaDcBits, kLumaDcValues);
  out = PutHuffmanTable(out, 0x10, kLumaAcBits, kLumaAcValues);
  out = PutHuffmanTable(out, 0x01, kChromaDcBits, kChromaDcValues);
  out = PutHuffmanTable(out, 0x11, kChromaAcBits, kChromaAcValues);
  constexpr std::uint8_t kStartOfScan[] = {0xFF, 0xDA, 0x00, 0x0C, 3, 0, 0x00, 1, 0x11,
                                           2,    0x11, 0,    63,   0};
  out = PutBytes(out, kStartOfScan, sizeof kStartOfScan);
  return static_cast<std::size_t>(out - destination);
}

CJpegDepacketizer::CJpegDepacketizer() { Reset(); }

void CJpegDepacketizer::Reset() {
  assembly_.clear();
  for (CachedTables& entry : cache_) entry.q = -1;
  next_cache_slot_ = 0;
  scan_size_ = 0;
  in_picture_ = false;
  completed_ = false;
  broken_ = true;
}

void CJpegDepacketizer::DropPicture() {
  assembly_.clear();
  scan_size_ = 0;
  in_picture_ = false;
  broken_ = true;
}

bool CJpegDepacketizer::StartPicture(const std::uint8_t* payload, std::size_t length,
                                     std::size_t offset, int restart_interval) {
  const int type = payload[4];
  const int q = payload[5];
  std::uint8_t luma[64];
  std::uint8_t chroma[64];
  const std::uint8_t* luma_table = luma;
  const std::uint8_t* chroma_table = chroma;
  std::size_t scan_start = offset;
  if (q >= kFirstInBandQ) {
    const CachedTables* cached = TakeTables(payload, length, offset, scan_start);
    if (cached == nullptr) return false;
    luma_table = cached->tables.data();
    chroma_table = cached->tables.data() + 64;
  } else {
    MakeQuantTables(q, chroma, luma);
  }
  assembly_.resize(kJpegHeaderWithRestartSize);
  const std::size_t header_size =
      WriteJpegHeader(assembly_.data(), luma_table, payload[7], type, payload[6], chroma_table,
                      restart_interval);
  assembly_.resize(header_size);
  assembly_.insert(assembly_.end(), payload + scan_start, payload + length);
  scan_size_ = length - scan_start;
  std::memcpy(picture_.data(), payload + 4, picture_.size());
  in_picture_ = true;
  return true;
}

const CJpegDepacketizer::CachedTables* CJpegDepacketizer::TakeTables(const std::uint8_t* payload,
                                                                     std::size_t length, std::size_t offset,
                                                                     std::size_t& scan_start) {
  // Section 3.1.8: MBZ, precision (one bit per table, 1 for 16-bit values), 16-bit length,
  // then the tables. Length 0: the tables of this Q sent before.
  const int q = payload[5];
  if (length - offset < kQuantHeaderSize) return nullptr;
  const std::uint8_t precision = payload[offset + 1];
  const std::size_t tables_length = Read16(payload + offset + 2);
  scan_start = offset + kQuantHeaderSize;
  if (precision != 0) return nullptr;
  if (tables_length == 0) {
    const CachedTables* cached = nullptr;
    for (const CachedTables& entry : cache_) {
      if (entry.q == q) cached = &entry;
    }
    return cached;
  }
  if (tables_length < kQuantTablesSize || tables_length > length - scan_start) return nullptr;
  CachedTables* slot = nullptr;
  for (CachedTables& entry : cache_) {
    if (entry.q == q) slot = &entry;
  }
  if (slot == nullptr) {
    slot = &cache_[next_cache_slot_];
    next_cache_slot_ = (next_cache_slot_ + 1) % kCachedTablesCount;
  }
  slot->q = q;
  std::memcpy(slot->tables.data(), payload + scan_start, kQuantTablesSize);
  // Tables past the two that types 0 and 1 use are skipped.
  scan_start += tables_length;
  return slot;
}

void CJpegDepacketizer::KeepTablesOf(const std::uint8_t* payload, std::size_t length) {
  if (payload == nullptr || length < kMainHeaderSize || payload[5] < kFirstInBandQ) return;
  if (payload[1] != 0 || payload[2] != 0 || payload[3] != 0) return;  // not a first fragment
  std::size_t offset = kMainHeaderSize;
  if (IsRestartType(payload[4])) {
    if (length - offset < kRestartHeaderSize) return;
    offset += kRestartHeaderSize;
  }
  std::size_t scan_start = 0;
  TakeTables(payload, length, offset, scan_start);
}

bool CJpegDepacketizer::TakeFragment(const std::uint8_t* payload, std::size_t length) {
  // Section 3.1: one type-dependent byte, 24-bit fragment offset, type, Q, width, height.
  if (payload == nullptr || length < kMainHeaderSize) return false;
  const std::size_t fragment_offset =
      (std::size_t{payload[1]} << 16) | (std::size_t{payload[2]} << 8) | payload[3];
  std::size_t offset = kMainHeaderSize;
  int restart_interval = -1;
  if (IsRestartType(payload[4])) {
    // Section 3.1.7: restart interval, F and L bits and the restart count, in every fragment.
    if (length - offset < kRestartHeaderSize) return false;
    restart_interval = static_cast<int>(Read16(payload + offset));
    offset += kRestartHeaderSize;
  }
  if (!in_picture_) {
    return fragment_offset == 0 && StartPicture(payload, length, offset, restart_interval);
  }
  if (fragment_offset != scan_size_ || !std::equal(picture_.begin(), picture_.end(), payload + 4)) {
    return false;
  }
  assembly_.insert(assembly_.end(), payload + offset, payload + length);
  scan_size_ += length - offset;
  return true;
}

JpegFrame CJpegDepacketizer::OnPayload(const std::uint8_t* payload, std::size_t length,
                                       bool marker, bool sequence_gap) {
  // The last completed picture stayed in place for the caller until now.
  if (completed_) {
    assembly_.clear();
    completed_ = false;
  }

  JpegFrame result;
  bool taken = false;
  if (sequence_gap) {
    DropPicture();
  } else if (broken_) {
    // Skipped until the marker; tables sent in band are kept all the same, since a camera may
    // send them only once, with the very picture a new session drops.
    KeepTablesOf(payload, length);
    taken = true;
  } else {
    taken = TakeFragment(payload, length);
  }
  if (!taken || scan_size_ > kMaxScanSize) {
    DropPicture();
    result.event = JpegEvent::kDamaged;
  }

  if (marker) {
    // The marker ends the picture, complete or not; the next packet starts one.
    if (result.event != JpegEvent::kDamaged && in_picture_) {
      const bool has_end = scan_size_ >= sizeof kEndOfImage &&
                           std::equal(std::begin(kEndOfImage), std::end(kEndOfImage),
                                      assembly_.end() - sizeof kEndOfImage);
      if (!has_end) {
        assembly_.insert(assembly_.end(), std::begin(kEndOfImage), std::end(kEndOfImage));
      }
      result.event = JpegEvent::kFrame;
      result.jpeg = assembly_;
      result.width = picture_[2] * 8;
      result.height = picture_[3] * 8;
      completed_ = true;
    }
    in_picture_ = false;
    scan_size_ = 0;
    broken_ = false;
  }
  return result;
}

}  // namespace kalmora
