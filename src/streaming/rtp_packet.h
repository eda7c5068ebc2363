// RTP fixed header parsing (RFC 3550 section 5.1) and the 16-bit sequence number arithmetic.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kalmora {

// One parsed datagram. The pointers point into the datagram and are valid only as long as it is.
struct RtpPacket {
  std::uint8_t version = 0;
  bool padding = false;  // the P bit; the padding octets are already removed from the payload
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
  std::size_t payload_length = 0;                // without padding; may be 0
};

// Parses the fixed header, the CSRC list and the header extension of a datagram of `length`
// bytes, and removes the padding (RFC 3550 section 5.1: with P set, the last octet counts the
// padding octets, itself included). False, with `out` left as it was, for anything that is not
// an RTP version 2 packet of at least the 12-byte fixed header whose CSRC list and extension fit
// in it, and for a padding count of 0 or one larger than what follows the header; never reads
// past `length`. A null `data` with length 0 is allowed.
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

// What the sequence check makes of one packet.
enum class RtpSequenceResult : std::uint8_t {
  kInOrder,  // continues the stream
  kGap,      // packets are missing before it (or the stream restarted): the frame in progress
             // is broken, the packet itself is taken
  kStale,    // its number was already seen (a duplicate or a late packet): dropped, nothing breaks
};

// The sequence check of an RTSP channel, for the packets of the stream's source. The first
// packet after a reset, or the first of another SSRC (a new source took over), starts the stream
// anew. After that, the previous number + 1 is in order; a number equal to the last or behind it
// by less than kMisorderWindow is stale and changes nothing; anything else (ahead by 2 or more,
// far behind) is a gap and the stream is followed from that number on.
//
// Threads: belongs to one channel and is used on that channel's UDP receive thread; Reset is
// called by the channel thread while no receiver exists. No locking.
class CRtpSequenceCheck {
 public:
  // RFC 3550 appendix A.1's MAX_MISORDER.
  static constexpr int kMisorderWindow = 100;

  RtpSequenceResult Check(std::uint32_t ssrc, std::uint16_t sequence_number) {
    if (first_ || ssrc != ssrc_) {
      const bool restart = !first_;
      first_ = false;
      ssrc_ = ssrc;
      last_ = sequence_number;
      return restart ? RtpSequenceResult::kGap : RtpSequenceResult::kInOrder;
    }
    const int delta = SequenceDelta(sequence_number, last_);
    if (delta <= 0 && delta > -kMisorderWindow) return RtpSequenceResult::kStale;
    last_ = sequence_number;
    return delta == 1 ? RtpSequenceResult::kInOrder : RtpSequenceResult::kGap;
  }
  void Reset() {
    first_ = true;
    ssrc_ = 0;
    last_ = 0;
  }
  std::uint16_t Last() const { return last_; }

 private:
  bool first_ = true;
  std::uint32_t ssrc_ = 0;
  std::uint16_t last_ = 0;
};

}  // namespace kalmora
