#include "camsim/mpeg4_packetizer.h"

namespace camsim {
namespace {

// Where the video object plane start code 00 00 01 B6 begins in a picture; 0 when nowhere.
std::size_t VopStart(const std::string& picture) {
  const std::size_t at = picture.find(std::string("\0\0\1\xB6", 4));
  return at == std::string::npos ? 0 : at;
}

}  // namespace

Mpeg4Packetizer::Mpeg4Packetizer(std::shared_ptr<const Mpeg4Clip> clip, std::size_t max_payload,
                                 bool header_own_packet)
    : clip_(std::move(clip)), max_payload_(max_payload), header_own_packet_(header_own_packet) {
  for (std::size_t i = 0; i < clip_->pictures().size(); ++i) {
    if (header_own_packet_ && clip_->pictures()[i].intra) units_.push_back({i, true});
    units_.push_back({i, false});
  }
}

PacketizedUnit Mpeg4Packetizer::Packetize(std::size_t unit, std::uint64_t) const {
  const Unit& which = units_[unit];
  const Mpeg4ClipPicture& picture = clip_->pictures()[which.picture];
  // In a packet of its own the header takes the picture's GOV header along: what follows it
  // then begins with the picture's start code, as receivers look for.
  const std::size_t vop = header_own_packet_ && picture.intra ? VopStart(picture.bytes) : 0;
  PacketizedUnit packetized;
  packetized.clip_unit = which.picture;
  if (which.header) {
    const std::string header = clip_->config() + picture.bytes.substr(0, vop);
    packetized.payloads = SplitPayloads(header, max_payload_);
    packetized.marker = false;
    packetized.parameter_sets = true;
    packetized.length = header.size();
    return packetized;
  }
  packetized.idr = picture.intra;
  const bool with_header = picture.intra && !header_own_packet_;
  const std::string bytes = with_header ? clip_->config() + picture.bytes : picture.bytes.substr(vop);
  packetized.payloads = SplitPayloads(bytes, max_payload_);
  packetized.length = bytes.size();
  return packetized;
}

std::string Mpeg4Packetizer::SdpSessionName() const { return "Camera MPEG-4 stream"; }

std::string Mpeg4Packetizer::SdpMedia() const {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string config;
  for (const char c : clip_->config()) {
    const auto byte = static_cast<unsigned char>(c);
    config += kHex[byte >> 4];
    config += kHex[byte & 0xF];
  }
  return "m=video 0 RTP/AVP 96\r\n"
         "a=rtpmap:96 MP4V-ES/90000\r\n"
         "a=fmtp:96 profile-level-id=" + std::to_string(clip_->profile_level()) +
         ";config=" + config + "\r\n"
         "a=framerate:" + std::to_string(kStreamFrameRate) + "\r\n";
}

}  // namespace camsim
