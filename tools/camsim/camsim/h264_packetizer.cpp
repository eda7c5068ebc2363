#include "camsim/h264_packetizer.h"

#include <algorithm>
#include <cstdio>

#include "camsim/rtsp_message.h"

namespace camsim {
namespace {

constexpr std::uint8_t kFuStart = 0x80;
constexpr std::uint8_t kFuEnd = 0x40;
constexpr std::uint8_t kForbiddenAndNri = 0xE0;
constexpr std::size_t kStapASizeField = 2;

void AppendFragments(const std::string& nal, std::size_t max_payload,
                     std::vector<std::string>& payloads) {
  const auto header = static_cast<std::uint8_t>(nal[0]);
  const auto indicator = static_cast<char>((header & kForbiddenAndNri) | kFuAType);
  const std::size_t chunk = max_payload - 2;
  for (std::size_t offset = 1; offset < nal.size(); offset += chunk) {
    const std::size_t size = std::min(chunk, nal.size() - offset);
    std::uint8_t fu_header = header & 0x1F;
    if (offset == 1) fu_header |= kFuStart;
    if (offset + size == nal.size()) fu_header |= kFuEnd;
    std::string payload;
    payload.reserve(size + 2);
    payload += indicator;
    payload += static_cast<char>(fu_header);
    payload.append(nal, offset, size);
    payloads.push_back(std::move(payload));
  }
}

}  // namespace

std::vector<std::string> PacketizeUnit(const ClipUnit& unit, std::size_t max_payload,
                                       bool stap_a) {
  max_payload = std::max(max_payload, kMinMaxPayload);
  std::vector<std::string> payloads;
  if (stap_a && unit.parameter_sets && unit.nal_units.size() > 1) {
    std::size_t size = 1;
    std::uint8_t nal_header = 0;
    bool sizes_fit = true;
    for (const std::string& nal : unit.nal_units) {
      size += kStapASizeField + nal.size();
      sizes_fit = sizes_fit && nal.size() <= 0xFFFF;
      // F is the OR of the aggregated F bits, NRI their maximum (section 5.7).
      const auto bits = static_cast<std::uint8_t>(nal[0]);
      nal_header = static_cast<std::uint8_t>((nal_header & 0x80) | (bits & 0x80) |
                                             std::max(nal_header & 0x60, bits & 0x60));
    }
    if (size <= max_payload && sizes_fit) {
      std::string payload;
      payload.reserve(size);
      payload += static_cast<char>(nal_header | kStapAType);
      for (const std::string& nal : unit.nal_units) {
        payload += static_cast<char>(nal.size() >> 8);
        payload += static_cast<char>(nal.size());
        payload += nal;
      }
      payloads.push_back(std::move(payload));
      return payloads;
    }
  }
  for (const std::string& nal : unit.nal_units) {
    if (nal.size() <= max_payload) {
      payloads.push_back(nal);
    } else {
      AppendFragments(nal, max_payload, payloads);
    }
  }
  return payloads;
}

H264Packetizer::H264Packetizer(std::shared_ptr<const H264Clip> clip, std::size_t max_payload,
                               bool stap_a)
    : clip_(std::move(clip)), max_payload_(max_payload), stap_a_(stap_a) {}

PacketizedUnit H264Packetizer::Packetize(std::size_t unit, std::uint64_t) const {
  const ClipUnit& clip_unit = clip_->units()[unit];
  PacketizedUnit packetized;
  packetized.payloads = PacketizeUnit(clip_unit, max_payload_, stap_a_);
  packetized.parameter_sets = clip_unit.parameter_sets;
  packetized.idr = clip_unit.idr;
  packetized.clip_unit = unit;
  packetized.length = clip_unit.AnnexBLength();
  return packetized;
}

std::string H264Packetizer::SdpSessionName() const { return "Camera H.264 stream"; }

std::string H264Packetizer::SdpMedia() const {
  const std::string& sps = clip_->sps();
  char profile[7] = "42e01f";
  if (sps.size() >= 4) {
    std::snprintf(profile, sizeof(profile), "%02x%02x%02x", static_cast<unsigned char>(sps[1]),
                  static_cast<unsigned char>(sps[2]), static_cast<unsigned char>(sps[3]));
  }
  return "m=video 0 RTP/AVP 96\r\n"
         "a=rtpmap:96 H264/90000\r\n"
         "a=fmtp:96 packetization-mode=1;profile-level-id=" + std::string(profile) +
         ";sprop-parameter-sets=" + Base64(sps) + "," + Base64(clip_->pps()) + "\r\n"
         "a=framerate:" + std::to_string(H264Clip::kFrameRate) + "\r\n";
}

}  // namespace camsim
