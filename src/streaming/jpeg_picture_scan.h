// The network-free half of Motion-JPEG over HTTP: the picture size of a JPEG image, and the
// scanner that cuts whole pictures out of the reply bodies of successive "/video.jpg" requests.
// Bytes in, pictures out; nothing here blocks, throws on bad input or reads past its input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace kalmora {

struct JpegPictureSize {
  std::uint16_t width = 0;
  std::uint16_t height = 0;
};

// The size in the first frame header (SOFn) of a JPEG image. Walks the markers from the start:
// DHT (C4), JPG (C8) and DAC (CC) segments and every marker outside C0 to DA are skipped by their
// length, RSTn and SOI are stepped over, and 0xFF fill bytes one at a time. Empty for a start of
// scan or an end of image before any frame header, a segment length cut off by the end, a frame
// header without its component count, or no frame header at all.
std::optional<JpegPictureSize> FindJpegPictureSize(const std::uint8_t* data, std::size_t length);

// Collects pictures from consecutive reply bodies. A start of image (FF D8) begins a new picture
// and drops whatever was stored; an end of image (FF D9) completes the stored picture with the
// bytes up to and including the marker, from the start of image in this body or, when none came,
// from the beginning of the body. Bytes after a start of image that has no end in its body are
// kept for the next body; a body with neither an open start nor an end is kept whole, so a
// picture may span any number of bodies. A marker split between two bodies counts as well.
//
// The store never holds more than the cap: a picture that outgrows it is dropped, and its bytes
// are ignored up to the next start of image. Used by one thread.
class CJpegBodyScanner {
 public:
  static constexpr std::size_t kMaxPictureBytes = 16u << 20;

  // Called with each completed picture; false ends the scan of the body at once (its remaining
  // bytes are dropped).
  using PictureFn = std::function<bool(const std::vector<std::uint8_t>& picture)>;

  struct ScanResult {
    std::size_t pictures = 0;  // completed pictures handed to the callback
    bool ended = false;        // the callback asked to end the scan
  };

  explicit CJpegBodyScanner(std::size_t max_picture_bytes = kMaxPictureBytes) : max_bytes_(max_picture_bytes) {}

  ScanResult Scan(const std::uint8_t* body, std::size_t length, const PictureFn& on_picture);
  // Forgets the picture in progress and releases its memory.
  void Clear();
  std::size_t stored_bytes() const { return store_.size(); }

 private:
  // Appends to the picture in progress; past the cap the picture is dropped.
  void Store(const std::uint8_t* data, std::size_t length);
  void BeginPicture();
  // Hands the stored picture on (unless it was dropped) and empties the store.
  bool EndPicture(const PictureFn& on_picture, ScanResult& result);

  const std::size_t max_bytes_;
  std::vector<std::uint8_t> store_;
  bool dropping_ = false;      // the picture in progress outgrew the cap
  bool trailing_ff_ = false;   // the previous body ended with 0xFF: a marker may go on here
};

}  // namespace kalmora
