#include "streaming/rtp_packet.h"

namespace kalmora {
namespace {

constexpr std::size_t kFixedHeaderSize = 12;
constexpr std::size_t kExtensionHeaderSize = 4;
constexpr std::uint8_t kVersion = 2;

std::uint16_t ReadBig16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

std::uint32_t ReadBig32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

}  // namespace

bool ParseRtpPacket(const std::uint8_t* data, std::size_t length, RtpPacket& out) {
  // A bare fixed header is a packet with an empty payload: its marker still ends the frame in
  // progress, which the depacketiser then drops as damaged.
  if (data == nullptr || length < kFixedHeaderSize) return false;
  const std::uint8_t version = data[0] >> 6;
  if (version != kVersion) return false;

  // RFC 3550 section 5.1: CC (low 4 bits of byte 0) 32-bit CSRC identifiers follow the fixed
  // header; with X (bit 4) a 4-byte extension header and its `length` words follow them
  // (section 5.3.1).
  const std::uint8_t csrc_count = data[0] & 0x0F;
  std::size_t header_size = kFixedHeaderSize + 4 * std::size_t{csrc_count};
  const bool extension = (data[0] & 0x10) != 0;
  std::uint16_t extension_profile = 0;
  std::uint16_t extension_length = 0;
  const std::uint8_t* extension_data = nullptr;
  if (extension) {
    if (length < header_size + kExtensionHeaderSize) return false;
    extension_profile = ReadBig16(data + header_size);
    extension_length = ReadBig16(data + header_size + 2);
    header_size += kExtensionHeaderSize;
    extension_data = data + header_size;
    header_size += 4 * std::size_t{extension_length};
  }
  if (length < header_size) return false;
  std::size_t payload_length = length - header_size;
  const bool padding = (data[0] & 0x20) != 0;
  if (padding) {
    // RFC 3550 section 5.1: the last octet counts the padding octets, itself included; a count
    // of 0 or one reaching into the header cannot come from a sender.
    if (payload_length == 0) return false;
    const std::uint8_t padding_length = data[length - 1];
    if (padding_length == 0 || padding_length > payload_length) return false;
    payload_length -= padding_length;
  }

  out.version = version;
  out.padding = padding;
  out.extension = extension;
  out.csrc_count = csrc_count;
  out.marker = (data[1] & 0x80) != 0;
  out.payload_type = data[1] & 0x7F;
  out.sequence_number = ReadBig16(data + 2);
  out.time_stamp = ReadBig32(data + 4);
  out.ssrc = ReadBig32(data + 8);
  out.csrc_list = csrc_count != 0 ? data + kFixedHeaderSize : nullptr;
  out.extension_profile = extension_profile;
  out.extension_length = extension_length;
  out.extension_data = extension_data;
  out.payload = data + header_size;
  out.payload_length = payload_length;
  return true;
}

}  // namespace kalmora
