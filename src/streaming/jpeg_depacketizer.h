// JPEG RTP payloads (RFC 2435) to complete baseline JPEG pictures.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kalmora {

// The header WriteJpegHeader writes: SOI, two DQT, SOF0, four DHT, SOS; with a restart
// interval, a DRI segment as well.
inline constexpr std::size_t kJpegHeaderSize = 605;
inline constexpr std::size_t kJpegHeaderWithRestartSize = 611;

// The two quantisation tables of a Q factor of 1 to 99 (RFC 2435 section 4.2): the example tables
// of ISO/IEC 10918-1 Annex K (K.1 luminance, K.2 chrominance) scaled, in zig-zag order. Q is
// limited to 1 to 99 first; every value is limited to 1 to 255.
void MakeQuantTables(int q, std::uint8_t chroma[64], std::uint8_t luma[64]);

// Writes the JPEG header for an RFC 2435 main header into `destination`, which has room for
// kJpegHeaderWithRestartSize bytes; returns the bytes written. Width and height are in 8-pixel
// blocks; the tables are in zig-zag order. The sampling of the luminance component follows the
// type, types 64 to 127 counting as types 0 to 63 (RFC 2435 section 3.1.7): type 0 is 4:2:2
// (0x21), any other 4:2:0 (0x22). A restart interval other than -1 writes a DRI segment with it.
std::size_t WriteJpegHeader(std::uint8_t* destination, const std::uint8_t luma[64],
                            int height_blocks, int type, int width_blocks,
                            const std::uint8_t chroma[64], int restart_interval = -1);

// What one payload did to the picture in progress.
enum class JpegEvent : std::uint8_t {
  kNone,     // appended, or skipped while waiting for a marker; no picture ended
  kDamaged,  // sequence gap or malformed payload: the picture in progress was dropped
  kFrame,    // marker: a complete picture, to be delivered
};

// The outcome of one payload. `jpeg` points into the depacketiser and stays valid until its next
// OnPayload or Reset.
struct JpegFrame {
  JpegEvent event = JpegEvent::kNone;
  // kFrame only: SOI to EOI, ready for a decoder.
  std::span<const std::uint8_t> jpeg;
  int width = 0;   // pixels, from the main header
  int height = 0;  // pixels
};

// Joins the RTP payloads of one JPEG stream into JPEG pictures. Every fragment starts with the
// 8-byte main header (RFC 2435 section 3.1); types 64 to 127 add a 4-byte restart header to every
// fragment (section 3.1.7); Q of 128 or more puts a quantisation header and the tables in the
// first fragment (section 3.1.8): 8-bit tables only (precision 0), at least 128 bytes, luminance
// then chrominance; the length 0 reuses the tables last sent with that Q, and with none kept the
// picture is damage. The first fragment's header is turned into a JPEG header at once, so each
// scan byte is copied once, into the one buffer that keeps its capacity. Every picture ends with
// EOI (0xFF 0xD9), added when the scan data does not end with it.
//
// Damage: a sequence gap or a malformed payload drops the picture in progress and everything up
// to the next marker; the marker packet itself, even a damaged one, ends the broken state, so the
// packet after it starts a picture. A lost marker costs that picture and the next; a packet lost
// mid-picture costs that picture. After Reset the stream counts as broken: the first picture
// taken is the one after the first marker. In-band tables are kept from skipped pictures too: a
// camera that sends them once sends them with the picture a new session skips.
//
// The fragment offset is checked: the first fragment of a picture has offset 0 and each later one
// the number of scan bytes so far, and it repeats the first fragment's type, Q, width and height.
// This catches reordering and lost packets the sequence check let through.
//
// Threads: belongs to one JPEG channel and is used only on that channel's UDP receive thread;
// Reset is called by the channel thread while no receiver exists. No locking.
class CJpegDepacketizer {
 public:
  // A picture whose scan data grows past this size is dropped as damaged; without a bound, a
  // stream whose marker packets are lost would grow the buffer without end.
  static constexpr std::size_t kMaxScanSize = 512000;

  CJpegDepacketizer();

  // One RTP payload. `sequence_gap`: the channel's sequence check found packets missing before
  // this one; the picture in progress and this packet are dropped. `marker`: the RTP marker bit,
  // the last packet of a picture (RFC 2435 section 3); a kFrame result is that picture, and the
  // packet's RTP time stamp is its time.
  JpegFrame OnPayload(const std::uint8_t* payload, std::size_t length, bool marker,
                      bool sequence_gap);

  // True while packets are dropped until the next marker.
  bool Broken() const { return broken_; }

  // As after a session opens: nothing assembled, no tables kept, broken until the first marker.
  // The buffer keeps its capacity.
  void Reset();

 private:
  // Tables sent in band are kept for the last four Q values, for later frames that send the
  // length 0 (section 3.1.8).
  struct CachedTables {
    int q = -1;  // -1: unused
    std::array<std::uint8_t, 128> tables{};  // luminance, then chrominance
  };
  static constexpr std::size_t kCachedTablesCount = 4;

  bool StartPicture(const std::uint8_t* payload, std::size_t length, std::size_t offset,
                    int restart_interval);
  // The quantisation header at `offset` of a first fragment with Q of 128 or more: the tables it
  // carries (now kept for its Q) or, with the length 0, those kept for its Q; null when malformed
  // or none are kept. scan_start is set past the header and tables.
  const CachedTables* TakeTables(const std::uint8_t* payload, std::size_t length, std::size_t offset,
                                 std::size_t& scan_start);
  // Keeps the tables of a first fragment that is skipped while the stream is broken.
  void KeepTablesOf(const std::uint8_t* payload, std::size_t length);
  bool TakeFragment(const std::uint8_t* payload, std::size_t length);
  void DropPicture();

  std::vector<std::uint8_t> assembly_;  // JPEG header, then the scan data so far
  std::array<CachedTables, kCachedTablesCount> cache_;
  std::size_t next_cache_slot_ = 0;
  std::size_t scan_size_ = 0;            // scan bytes in assembly_
  std::array<std::uint8_t, 4> picture_{};  // type, Q, width, height of the picture in progress
  bool in_picture_ = false;              // the first fragment was taken
  bool completed_ = false;               // assembly_ holds the picture last returned
  bool broken_ = true;
};

}  // namespace kalmora
