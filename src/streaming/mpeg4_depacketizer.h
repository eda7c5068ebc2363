// MPEG-4 visual RTP payloads (RFC 3016) to pictures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kalmora {

// What one payload did to the picture in progress.
enum class Mpeg4Event : std::uint8_t {
  kNone,     // appended, dropped while broken, or taken as the header cache; no picture ended
  kDamaged,  // the picture grew past kMaxPictureSize and was dropped
  kFrame,    // marker: a picture to be delivered
};

// The outcome of one payload. `data` points into the depacketiser and stays valid until its next
// OnPayload or Reset.
struct Mpeg4Picture {
  Mpeg4Event event = Mpeg4Event::kNone;
  // kFrame only: the picture as the host gets it; for a key picture the header cache first.
  std::span<const std::uint8_t> data;
  bool key_frame = false;  // kFrame: the picture began as an intra picture
  bool broken = false;     // the broken flag after this payload
};

// Joins the RTP payloads of one MPEG-4 visual elementary stream (RFC 3016 section 3) into
// pictures. The payload is the byte stream itself; the marker bit ends a picture.
//
// - A payload that begins with 00 00 01 B0 (visual object sequence start) carries the
//   configuration header: everything up to the first picture start 00 00 01 B6 in that payload
//   becomes the header cache and the rest is taken as the picture. Without a picture start the
//   whole payload becomes the header cache (RFC 3016 section 3.3 lets the header travel in a
//   packet of its own) and nothing enters the picture.
// - A payload (or its rest after the header) that begins with 00 00 01 B6 and a further byte
//   starts a picture: the picture in progress is emptied. A coding type byte below 0x40 (top
//   two bits 00) is an intra picture: the header cache goes in front and the key flag is set;
//   the broken flag clears if a header is cached. 0x40 or more is a predicted picture.
// - While broken, payloads are dropped.
//
// The broken flag records a sequence gap, an oversize picture or a refused delivery; it clears
// only at an intra picture with a cached header, since a decoder needs both to start again.
//
// Threads: belongs to one MPEG-4 channel and is used only on that channel's UDP receive thread;
// Reset is called by the channel thread while no receiver exists. No locking.
class CMpeg4Depacketizer {
 public:
  // A picture growing past this size is dropped as damaged; without a bound, a stream whose
  // marker packets are lost would grow the buffer without end.
  static constexpr std::size_t kMaxPictureSize = 512000;

  CMpeg4Depacketizer();

  // One RTP payload. `sequence_gap`: the channel's sequence check rejected this packet, so the
  // picture in progress is dropped and the stream is broken before the payload is taken in.
  // `marker`: the RTP marker bit, the last packet of a picture.
  Mpeg4Picture OnPayload(const std::uint8_t* payload, std::size_t length, bool marker,
                         bool sequence_gap);

  // The last configuration header, from 00 00 01 B0 up to the picture start; empty until one came.
  std::span<const std::uint8_t> HeaderCache() const { return header_cache_; }

  bool Broken() const { return broken_; }
  // For a picture the host refused or that could not be handed over.
  void MarkBroken() { broken_ = true; }

  // As after a session opens: nothing assembled, no header, broken. Both buffers keep their
  // capacity.
  void Reset();

 private:
  std::vector<std::uint8_t> assembly_;      // the picture in progress
  std::vector<std::uint8_t> header_cache_;  // see HeaderCache
  bool completed_ = false;                  // assembly_ holds the picture last returned
  bool broken_ = true;
  bool key_frame_ = false;  // the picture in progress began as an intra picture
};

}  // namespace kalmora
