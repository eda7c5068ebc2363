#include "camsim/h264_packetizer.h"

#include <algorithm>

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

std::string RtpHeader(bool marker, std::uint8_t payload_type, std::uint16_t sequence_number,
                      std::uint32_t time_stamp, std::uint32_t ssrc) {
  std::string header(kRtpHeaderSize, '\0');
  header[0] = static_cast<char>(0x80);
  header[1] = static_cast<char>((marker ? 0x80 : 0) | (payload_type & 0x7F));
  header[2] = static_cast<char>(sequence_number >> 8);
  header[3] = static_cast<char>(sequence_number);
  for (int i = 0; i < 4; ++i) {
    header[4 + i] = static_cast<char>(time_stamp >> (24 - 8 * i));
    header[8 + i] = static_cast<char>(ssrc >> (24 - 8 * i));
  }
  return header;
}

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

}  // namespace camsim
