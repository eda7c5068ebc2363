// H.264 RTP payloads (RFC 6184) to Annex B access units.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kalmora {

// What one payload did to the access unit in progress.
enum class H264Event : std::uint8_t {
  kNone,       // appended (or an orphaned fragment skipped); no access unit ended
  kDamaged,    // malformed or unsupported payload: the access unit in progress was dropped
  kFrame,      // marker: an access unit with a coded slice, to be delivered
  kHeader,     // marker: an access unit of parameter sets, now the header cache; not delivered
  kDiscarded,  // marker: an access unit with neither slice nor sequence parameter set
};

// The outcome of one payload. The spans point into the depacketiser and stay valid until its
// next OnPayload or Reset.
struct H264AccessUnit {
  H264Event event = H264Event::kNone;
  // kFrame only: what goes to the host is `header` followed by `body`. `header` is the header
  // cache for a key frame that does not begin with its own sequence parameter set, else empty.
  std::span<const std::uint8_t> header;
  // kFrame, kHeader, kDiscarded: the access unit, start codes included, ending with the access
  // unit delimiter 00 00 01 09 30 (kHeader: without it, see HeaderCache).
  std::span<const std::uint8_t> body;
  bool key_frame = false;  // contains an IDR slice (NAL type 5)
  bool has_slice = false;  // contains a coded slice (NAL types 1 to 5)
  bool has_sps = false;    // contains a sequence parameter set (NAL type 7)
  bool broken = false;     // the broken flag when the access unit ended

  std::size_t Size() const { return header.size() + body.size(); }
};

// Joins the RTP payloads of one H.264 stream into Annex B access units: single NAL unit packets
// (types 1 to 23), STAP-A aggregates (24, RFC 6184 section 5.7.1) and FU-A fragments (28,
// section 5.8). A NAL unit of fewer than 2 bytes (a single NAL unit payload or a
// STAP-A unit) is damage. The marker bit ends an access unit; the result says whether it goes to the host,
// whether it is a key frame, and whether it became the cached parameter-set header.
//
// The broken flag records that the stream was damaged (a sequence gap, a malformed payload, a
// refused delivery) since the last IDR slice; it is reported, not acted on: what arrives after a
// gap is still assembled and delivered.
//
// Threads: belongs to one H.264 channel and is used only on that channel's UDP receive thread;
// Reset is called by the channel thread while no receiver exists. No locking.
class CH264Depacketizer {
 public:
  // An access unit growing past this size is dropped as damaged; without a bound, a stream
  // whose marker packets are lost would grow the buffer without end.
  static constexpr std::size_t kMaxAccessUnitSize = 512000;

  CH264Depacketizer();

  // One RTP payload. `sequence_gap`: the channel's sequence check rejected this packet, so the
  // access unit in progress is dropped before the payload is taken in. `marker`: the RTP marker
  // bit, the last packet of an access unit (RFC 6184 section 5.1); a marker packet whose result
  // is not kDamaged ends a frame, and its RTP time stamp is that frame's.
  H264AccessUnit OnPayload(const std::uint8_t* payload, std::size_t length, bool marker,
                           bool sequence_gap);

  // The last access unit that held a sequence parameter set but no slice, without its trailing
  // delimiter; empty until one came.
  std::span<const std::uint8_t> HeaderCache() const { return header_cache_; }

  bool Broken() const { return broken_; }
  // For a frame the host refused or that could not be handed over.
  void MarkBroken() { broken_ = true; }

  // As after a session opens: nothing assembled, no header, broken until the first IDR slice.
  // Both buffers keep their capacity.
  void Reset();

 private:
  void StartAccessUnit();
  void DropAccessUnit();
  void StartNalUnit(std::uint8_t nal_header);
  bool AppendSingle(const std::uint8_t* payload, std::size_t length);
  bool AppendStapA(const std::uint8_t* payload, std::size_t length);
  bool AppendFuA(const std::uint8_t* payload, std::size_t length);
  H264AccessUnit Complete();

  std::vector<std::uint8_t> assembly_;      // the access unit in progress, Annex B
  std::vector<std::uint8_t> header_cache_;  // see HeaderCache
  bool completed_ = false;                  // assembly_ holds the access unit last returned
  bool broken_ = true;
  bool key_frame_ = false;      // per access unit: an IDR slice was appended
  bool has_slice_ = false;      // per access unit: a coded slice was appended
  bool has_sps_ = false;        // per access unit: a sequence parameter set was appended
  bool fragment_open_ = false;  // an FU-A start was taken and its end has not come
};

}  // namespace kalmora
