// What an RTSP session streams: a loop of units and their RTP payloads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace camsim {

// Every stream runs at this rate on the 90 kHz RTP clock of video (RFC 3551 section 5).
constexpr int kStreamFrameRate = 25;
constexpr int kRtpClockRate = 90000;

constexpr std::size_t kRtpHeaderSize = 12;

// The RTP fixed header (RFC 3550 section 5.1): version 2, no padding, extension or CSRC.
std::string RtpHeader(bool marker, std::uint8_t payload_type, std::uint16_t sequence_number,
                      std::uint32_t time_stamp, std::uint32_t ssrc);

// One unit of a stream as it goes out.
struct PacketizedUnit {
  std::vector<std::string> payloads;  // in sending order
  bool marker = true;                 // on the last payload
  // A header (H.264 parameter sets, an MPEG-4 configuration header) that goes right before the
  // picture after it, with that picture's time stamp; a picture otherwise.
  bool parameter_sets = false;
  bool idr = false;
  std::size_t clip_unit = 0;  // SentFrame::clip_unit
  std::size_t length = 0;     // SentFrame::annexb_length
};

// A stream's clip with its packetiser. A session sends units 0, 1, ... unit_count() - 1 and
// again from 0.
//
// Threads: immutable once made, shared read-only between the media threads of all sessions.
class MediaSource {
 public:
  virtual ~MediaSource() = default;

  virtual std::uint8_t payload_type() const = 0;
  virtual std::size_t unit_count() const = 0;
  // The payloads of unit (below unit_count()); session_index counts the units the session has
  // sent before it, so 0 is the session's first.
  virtual PacketizedUnit Packetize(std::size_t unit, std::uint64_t session_index) const = 0;
  // The SDP's session name ("s=") and its media description: the "m=" line and the attributes
  // that follow it, each line ending in CRLF, without "a=control".
  virtual std::string SdpSessionName() const = 0;
  virtual std::string SdpMedia() const = 0;
};

// Payloads of at most max_payload bytes (at least 1) that together are bytes, in order.
std::vector<std::string> SplitPayloads(const std::string& bytes, std::size_t max_payload);

// Reads a clip file of at most kMaxClipBytes; false with a reason when it cannot.
constexpr std::size_t kMaxClipBytes = 256u << 20;
bool ReadClipFile(const std::string& path, std::string* bytes, std::string* error);

}  // namespace camsim
