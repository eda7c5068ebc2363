// RTP fixed header parsing (RFC 3550 section 5.1) and the 16-bit sequence number arithmetic.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kalmora {

// One parsed datagram. The pointers point into the datagram and are valid only as long as it is.
struct RtpPacket {
  std::uint8_t version = 0;
  bool padding = false;  // recorded only: padding octets stay in the payload
  bool extension = false;
  std::uint8_t csrc_count = 0;
  bool marker = false;
  std::uint8_t payload_type = 0;
  std::uint16_t sequence_number = 0;
  std::uint32_t time_stamp = 0;
  std::uint32_t ssrc = 0;                        // host order
  const std::uint8_t* csrc_list = nullptr;       // csrc_count big-endian words; null when none
  std::uint16_t extension_profile = 0;           // host order; 0 without extension
  std::uint16_t extension_length = 0;            // in 32-bit words; 0 without extension
  const std::uint8_t* extension_data = nullptr;  // the extension words; null without extension
  const std::uint8_t* payload = nullptr;         // first byte after the header
  std::size_t payload_length = 0;                // may be 0
};

// Parses the fixed header, the CSRC list and the header extension of a datagram of `length`
// bytes. False, with `out` left as it was, for anything that is not an RTP version 2 packet longer
// than the 12-byte fixed header whose CSRC list and extension fit in it; never reads past
// `length`. A null `data` with length 0 is allowed.
bool ParseRtpPacket(const std::uint8_t* data, std::size_t length, RtpPacket& out);

// Signed distance from `earlier` to `later` in the 16-bit sequence space (RFC 3550 appendix A.1):
// positive when `later` follows, so 65535 -> 1 gives 2 and 1 -> 65535 gives -2.
constexpr std::int16_t SequenceDelta(std::uint16_t later, std::uint16_t earlier) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(later - earlier));
}

// Whether `current` is the number right after `previous`, wrapping from 65535 to 0.
constexpr bool IsNextSequence(std::uint16_t previous, std::uint16_t current) {
  return static_cast<std::uint16_t>(previous + 1) == current;
}

// The sequence check of an RTSP channel: the first packet after a reset is accepted as it comes,
// every later one only when it is the previous number + 1. The number is stored either way, so
// one gap costs one rejection and the stream is followed again from the next packet on; a
// duplicate or reordered packet is rejected as well.
//
// Threads: belongs to one channel and is used on that channel's UDP receive thread; Reset is
// called by the channel thread while no receiver exists. No locking.
class CRtpSequenceCheck {
 public:
  // True when the packet continues the stream.
  bool Accept(std::uint16_t sequence_number) {
    const bool accepted = first_ || IsNextSequence(last_, sequence_number);
    first_ = false;
    last_ = sequence_number;
    return accepted;
  }
  void Reset() {
    first_ = true;
    last_ = 0;
  }
  std::uint16_t Last() const { return last_; }

 private:
  bool first_ = true;
  std::uint16_t last_ = 0;
};

}  // namespace kalmora
