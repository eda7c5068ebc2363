// RTP packets of an MPEG-4 visual elementary stream (RFC 3016).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "camsim/media_source.h"
#include "camsim/mpeg4_clip.h"

namespace camsim {

constexpr std::uint8_t kMpeg4PayloadType = 96;

// The MPEG-4 stream: the clip's pictures in a loop, the configuration header before every intra
// picture, in the picture's first packet or, with header_own_packet, as a unit of its own (a
// packet without marker, the picture's time stamp, the picture's GOV header included) right
// before it. The payload is the byte
// stream itself (section 3.2), a picture split into packets of at most max_payload bytes, the
// marker on its last packet.
class Mpeg4Packetizer : public MediaSource {
 public:
  Mpeg4Packetizer(std::shared_ptr<const Mpeg4Clip> clip, std::size_t max_payload,
                  bool header_own_packet);

  std::uint8_t payload_type() const override { return kMpeg4PayloadType; }
  std::size_t unit_count() const override { return units_.size(); }
  PacketizedUnit Packetize(std::size_t unit, std::uint64_t session_index) const override;
  std::string SdpSessionName() const override;
  // With the configuration header in "config" (section 5.2).
  std::string SdpMedia() const override;

 private:
  struct Unit {
    std::size_t picture = 0;
    bool header = false;  // the configuration header alone, before that picture
  };

  const std::shared_ptr<const Mpeg4Clip> clip_;
  const std::size_t max_payload_;
  const bool header_own_packet_;
  std::vector<Unit> units_;
};

}  // namespace camsim
