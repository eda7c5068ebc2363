// RTP packets of JPEG pictures (RFC 2435).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "camsim/jpeg_clip.h"
#include "camsim/media_source.h"

namespace camsim {

constexpr std::uint8_t kJpegPayloadType = 26;  // static, RFC 3551 section 6
constexpr std::size_t kJpegMainHeaderSize = 8;
constexpr std::size_t kJpegRestartHeaderSize = 4;
constexpr std::size_t kJpegQuantHeaderSize = 4;

// The payloads of one picture, the scan data split so that each payload holds at most
// max_payload bytes (raised to the headers and one scan byte when smaller). Every payload starts
// with the main header (section 3.1) and, for types 64 and 65, the restart header (section
// 3.1.7) with F and L set and the count 0x3FFF, so fragments need not end at a restart marker.
// With Q of 128 or more the first payload carries the quantisation header (section 3.1.8) and,
// with tables, both tables (128 bytes); without, the length 0.
std::vector<std::string> PacketizeJpeg(const JpegClipFrame& frame, const MjpegSettings& settings,
                                       bool tables, std::size_t max_payload);

// The Motion-JPEG stream: the clip's pictures in a loop.
class JpegPacketizer : public MediaSource {
 public:
  JpegPacketizer(std::shared_ptr<const JpegClip> clip, std::size_t max_payload);

  std::uint8_t payload_type() const override { return kJpegPayloadType; }
  std::size_t unit_count() const override { return clip_->frames().size(); }
  PacketizedUnit Packetize(std::size_t unit, std::uint64_t session_index) const override;
  std::string SdpSessionName() const override;
  std::string SdpMedia() const override;

  const JpegClip& clip() const { return *clip_; }

 private:
  const std::shared_ptr<const JpegClip> clip_;
  const std::size_t max_payload_;
};

}  // namespace camsim
