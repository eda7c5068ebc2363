// RTP packets of H.264 access units (RFC 6184, packetization-mode 1).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "camsim/h264_clip.h"

namespace camsim {

constexpr std::uint8_t kH264PayloadType = 96;
constexpr std::size_t kRtpHeaderSize = 12;
constexpr std::uint8_t kStapAType = 24;
constexpr std::uint8_t kFuAType = 28;
// A payload must hold an FU indicator, an FU header and at least one byte of the NAL unit.
constexpr std::size_t kMinMaxPayload = 3;

// The RTP fixed header (RFC 3550 section 5.1): version 2, no padding, extension or CSRC.
std::string RtpHeader(bool marker, std::uint8_t payload_type, std::uint16_t sequence_number,
                      std::uint32_t time_stamp, std::uint32_t ssrc);

// The payloads of one access unit, in sending order; the last one carries the marker bit. A NAL
// unit of up to max_payload bytes goes as a single NAL unit packet, a larger one as FU-A
// fragments (section 5.8) of at most max_payload bytes each. With stap_a, a parameter-set unit
// whose NAL units fit in one packet goes as a single STAP-A packet (section 5.7.1).
// max_payload below kMinMaxPayload is taken as kMinMaxPayload.
std::vector<std::string> PacketizeUnit(const ClipUnit& unit, std::size_t max_payload, bool stap_a);

}  // namespace camsim
