#include "camsim/jpeg_packetizer.h"

#include <algorithm>

namespace camsim {
namespace {

constexpr int kFirstInBandQ = 128;
constexpr std::size_t kTablesLength = 128;
constexpr int kBlockSize = 8;
// F = 1, L = 1, restart count 0x3FFF: the fragment need not hold whole restart intervals.
constexpr unsigned kWholeScanRestartBits = 0xFFFF;

void Put16(std::string& out, unsigned value) {
  out += static_cast<char>(value >> 8);
  out += static_cast<char>(value);
}

}  // namespace

std::vector<std::string> PacketizeJpeg(const JpegClipFrame& frame, const MjpegSettings& settings,
                                       bool tables, std::size_t max_payload) {
  std::string restart_header;
  if (settings.type == 64 || settings.type == 65) {
    Put16(restart_header, static_cast<unsigned>(settings.restart_interval));
    Put16(restart_header, kWholeScanRestartBits);
  }
  std::string quant_header;
  if (settings.q >= kFirstInBandQ) {
    quant_header += '\0';  // MBZ
    quant_header += '\0';  // precision: both tables of 8-bit values
    Put16(quant_header, tables ? static_cast<unsigned>(kTablesLength) : 0);
    if (tables) quant_header += frame.parts.luma_table + frame.parts.chroma_table;
  }
  const std::string_view scan =
      std::string_view(frame.jpeg).substr(frame.parts.scan_offset, frame.parts.scan_length);
  const std::size_t fixed = kJpegMainHeaderSize + restart_header.size();
  max_payload = std::max(max_payload, fixed + quant_header.size() + 1);
  std::vector<std::string> payloads;
  std::size_t offset = 0;
  do {
    std::string payload;
    payload += '\0';  // type-specific
    payload += static_cast<char>(offset >> 16);
    payload += static_cast<char>(offset >> 8);
    payload += static_cast<char>(offset);
    payload += static_cast<char>(settings.type);
    payload += static_cast<char>(settings.q);
    payload += static_cast<char>(settings.width / kBlockSize);
    payload += static_cast<char>(settings.height / kBlockSize);
    payload += restart_header;
    if (offset == 0) payload += quant_header;
    const std::size_t size = std::min(max_payload - payload.size(), scan.size() - offset);
    payload += scan.substr(offset, size);
    offset += size;
    payloads.push_back(std::move(payload));
  } while (offset < scan.size());
  return payloads;
}

JpegPacketizer::JpegPacketizer(std::shared_ptr<const JpegClip> clip, std::size_t max_payload)
    : clip_(std::move(clip)), max_payload_(max_payload) {}

PacketizedUnit JpegPacketizer::Packetize(std::size_t unit, std::uint64_t session_index) const {
  const JpegClipFrame& frame = clip_->frames()[unit];
  const MjpegSettings& settings = clip_->settings();
  const bool tables = !settings.tables_once || session_index == 0;
  PacketizedUnit packetized;
  packetized.payloads = PacketizeJpeg(frame, settings, tables, max_payload_);
  packetized.idr = true;
  packetized.clip_unit = unit;
  packetized.length = frame.jpeg.size();
  return packetized;
}

std::string JpegPacketizer::SdpSessionName() const { return "Camera Motion-JPEG stream"; }

std::string JpegPacketizer::SdpMedia() const {
  return "m=video 0 RTP/AVP 26\r\n"
         "a=rtpmap:26 JPEG/90000\r\n"
         "a=framerate:" + std::to_string(kStreamFrameRate) + "\r\n";
}

}  // namespace camsim
