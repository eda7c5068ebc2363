// Hand-made H.264 Annex B buffers for the host's tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace tessavirn_test {

using Bytes = std::vector<std::uint8_t>;

class AnnexB {
 public:
  // A NAL unit of the type (nal_ref_idc 3 for parameter sets and IDR slices) after a 3- or
  // 4-byte start code.
  AnnexB& Nal(std::uint8_t type, std::initializer_list<std::uint8_t> payload = {0x88, 0x84}, bool long_start = false) {
    if (long_start) bytes_.push_back(0x00);
    bytes_.insert(bytes_.end(), {0x00, 0x00, 0x01});
    const std::uint8_t ref = (type == 5 || type == 7 || type == 8) ? 0x60 : (type == 1 ? 0x40 : 0x00);
    bytes_.push_back(static_cast<std::uint8_t>(ref | type));
    bytes_.insert(bytes_.end(), payload);
    return *this;
  }
  AnnexB& Sps() { return Nal(7, {0x42, 0xC0, 0x1E, 0xDA, 0x02, 0x80}); }
  AnnexB& Pps() { return Nal(8, {0xCE, 0x3C, 0x80}); }
  // The access unit delimiter the driver ends every frame with.
  AnnexB& Delimiter() {
    bytes_.insert(bytes_.end(), {0x00, 0x00, 0x01, 0x09, 0x30});
    return *this;
  }
  AnnexB& Raw(std::initializer_list<std::uint8_t> bytes) {
    bytes_.insert(bytes_.end(), bytes);
    return *this;
  }
  AnnexB& Raw(const Bytes& bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
  }
  const Bytes& bytes() const { return bytes_; }

 private:
  Bytes bytes_;
};

// A key frame as the driver delivers it: parameter sets, an IDR slice, the delimiter.
inline Bytes KeyFrame() { return AnnexB().Sps().Pps().Nal(5).Delimiter().bytes(); }
// A predicted frame: one non-IDR slice and the delimiter.
inline Bytes DeltaFrame() { return AnnexB().Nal(1).Delimiter().bytes(); }

}  // namespace tessavirn_test
