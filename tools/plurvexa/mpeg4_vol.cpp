#include "mpeg4_vol.h"

namespace plurvexa {
namespace {

constexpr std::uint8_t kFirstVolCode = 0x20;
constexpr std::uint8_t kLastVolCode = 0x2F;
constexpr std::uint32_t kExtendedPar = 0xF;  // aspect_ratio_info: par_width and par_height follow
constexpr std::uint32_t kRectangular = 0;    // video_object_layer_shape

// Reads big-endian bit fields; a read past the end fails and every later read fails too.
class BitReader {
 public:
  BitReader(const std::uint8_t* data, std::size_t length) : data_(data), bits_left_(length * 8) {}

  // Up to 32 bits; false past the end.
  bool Read(unsigned count, std::uint32_t& value) {
    if (count > bits_left_) {
      bits_left_ = 0;
      return false;
    }
    value = 0;
    for (unsigned i = 0; i < count; ++i) {
      const std::uint8_t byte = data_[position_ / 8];
      value = (value << 1) | ((byte >> (7 - position_ % 8)) & 1u);
      ++position_;
    }
    bits_left_ -= count;
    return true;
  }

  bool Skip(unsigned count) {
    std::uint32_t ignored = 0;
    return Read(count, ignored);
  }

 private:
  const std::uint8_t* data_;
  std::size_t position_ = 0;
  std::size_t bits_left_;
};

// ceil(log2(resolution)), at least 1: the width of fixed_vop_time_increment.
unsigned TimeIncrementBits(std::uint32_t resolution) {
  unsigned bits = 1;
  while (bits < 16 && (std::uint32_t{1} << bits) < resolution) ++bits;
  return bits;
}

// Markers are read but not checked, as decoders do: a stray 0 costs no picture.
bool ParseVolBody(BitReader& bits, std::uint16_t& width, std::uint16_t& height) {
  std::uint32_t flag = 0;
  std::uint32_t value = 0;
  if (!bits.Skip(1 + 8)) return false;  // random_accessible_vol, video_object_type_indication
  if (!bits.Read(1, flag)) return false;  // is_object_layer_identifier
  if (flag != 0 && !bits.Skip(4 + 3)) return false;  // verid, priority
  if (!bits.Read(4, value)) return false;  // aspect_ratio_info
  if (value == kExtendedPar && !bits.Skip(8 + 8)) return false;  // par_width, par_height
  if (!bits.Read(1, flag)) return false;  // vol_control_parameters
  if (flag != 0) {
    if (!bits.Skip(2 + 1)) return false;  // chroma_format, low_delay
    if (!bits.Read(1, flag)) return false;  // vbv_parameters
    // Bit rate 15+1+15+1, buffer size 15+1+3, occupancy 11+1+15+1.
    if (flag != 0 && !bits.Skip(32 + 19 + 28)) return false;
  }
  if (!bits.Read(2, value) || value != kRectangular) return false;  // video_object_layer_shape
  std::uint32_t resolution = 0;
  if (!bits.Skip(1) || !bits.Read(16, resolution) || resolution == 0) return false;
  if (!bits.Skip(1) || !bits.Read(1, flag)) return false;  // marker, fixed_vop_rate
  if (flag != 0 && !bits.Skip(TimeIncrementBits(resolution))) return false;
  std::uint32_t w = 0;
  std::uint32_t h = 0;
  if (!bits.Skip(1) || !bits.Read(13, w) || !bits.Skip(1) || !bits.Read(13, h) || !bits.Skip(1)) {
    return false;
  }
  if (w == 0 || h == 0) return false;
  width = static_cast<std::uint16_t>(w);
  height = static_cast<std::uint16_t>(h);
  return true;
}

}  // namespace

bool ParseVolSize(const std::uint8_t* data, std::size_t length, std::uint16_t& width,
                  std::uint16_t& height) {
  if (data == nullptr || length < 4) return false;
  for (std::size_t i = 0; i <= length - 4; ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && data[i + 3] >= kFirstVolCode &&
        data[i + 3] <= kLastVolCode) {
      BitReader bits(data + i + 4, length - i - 4);
      return ParseVolBody(bits, width, height);
    }
  }
  return false;
}

}  // namespace plurvexa
