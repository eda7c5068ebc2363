// The pictures of the Motion-JPEG stream, encoded once with libjpeg.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "camsim/rtsp_types.h"

namespace camsim {

// What RFC 2435 carries of a baseline JPEG picture with two quantisation tables.
struct JpegParts {
  std::size_t scan_offset = 0;  // the entropy-coded data: after the SOS segment ...
  std::size_t scan_length = 0;  // ... up to the final EOI, which is left out
  // The 8-bit tables 0 (luminance) and 1 (chrominance), 64 bytes each in zig-zag order as the
  // DQT segments hold them; empty for a table the picture lacks.
  std::string luma_table;
  std::string chroma_table;
};
// Walks the segments of jpeg up to its scan; nullopt for anything that is not such a picture.
std::optional<JpegParts> FindJpegParts(std::string_view jpeg);

struct JpegClipFrame {
  std::string jpeg;
  JpegParts parts;
};

// kFrameCount pictures of a test pattern whose colour bars move one step per picture and come
// back to the start after the last one, encoded as MjpegSettings say.
//
// Immutable once encoded; shared read-only between the media threads.
class JpegClip {
 public:
  static constexpr std::size_t kFrameCount = 25;
  static constexpr int kMaxDimension = 2032;  // a multiple of 16 whose eighth fits a byte

  // Empty when settings can be streamed, else why not.
  static std::string CheckSettings(const MjpegSettings& settings);
  // Picture `frame` (below kFrameCount) as settings encode it; empty for bad settings.
  static std::string EncodeFrame(const MjpegSettings& settings, std::size_t frame);

  // False with a reason for bad settings or a failed encoding.
  bool Encode(const MjpegSettings& settings, std::string* error);

  const std::vector<JpegClipFrame>& frames() const { return frames_; }
  const MjpegSettings& settings() const { return settings_; }

 private:
  std::vector<JpegClipFrame> frames_;
  MjpegSettings settings_;
};

}  // namespace camsim
