// RTP packets of H.264 access units (RFC 6184, packetization-mode 1).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "camsim/h264_clip.h"
#include "camsim/media_source.h"

namespace camsim {

constexpr std::uint8_t kH264PayloadType = 96;
constexpr std::uint8_t kStapAType = 24;
constexpr std::uint8_t kFuAType = 28;
// A payload must hold an FU indicator, an FU header and at least one byte of the NAL unit.
constexpr std::size_t kMinMaxPayload = 3;

// The payloads of one access unit, in sending order; the last one carries the marker bit. A NAL
// unit of up to max_payload bytes goes as a single NAL unit packet, a larger one as FU-A
// fragments (section 5.8) of at most max_payload bytes each. With stap_a, a parameter-set unit
// whose NAL units fit in one packet goes as a single STAP-A packet (section 5.7.1).
// max_payload below kMinMaxPayload is taken as kMinMaxPayload.
std::vector<std::string> PacketizeUnit(const ClipUnit& unit, std::size_t max_payload, bool stap_a);

// The H.264 stream: the clip's access units, the parameter-set unit right before its IDR picture.
class H264Packetizer : public MediaSource {
 public:
  H264Packetizer(std::shared_ptr<const H264Clip> clip, std::size_t max_payload, bool stap_a);

  std::uint8_t payload_type() const override { return kH264PayloadType; }
  std::size_t unit_count() const override { return clip_->units().size(); }
  PacketizedUnit Packetize(std::size_t unit, std::uint64_t session_index) const override;
  std::string SdpSessionName() const override;
  std::string SdpMedia() const override;

 private:
  const std::shared_ptr<const H264Clip> clip_;
  const std::size_t max_payload_;
  const bool stap_a_;
};

}  // namespace camsim
