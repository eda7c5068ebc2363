// Feeds arbitrary RTP payload sequences to the MPEG-4 depacketiser. An input is a sequence of
// records, each [1 byte flags][2 bytes payload length, big-endian][payload]; a record cut short
// by the end of the input takes the bytes that are left. Flags: bit 0 the marker, bit 1 a
// sequence gap before this packet, bit 2 a refused delivery (MarkBroken) after it, bit 3 a
// Reset after it, bit 4 the record is a whole RTP datagram: its payload, padding removed, and its
// marker are what the depacketiser gets, and a datagram the parser rejects is skipped.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "streaming/mpeg4_depacketizer.h"
#include "streaming/rtp_packet.h"

namespace {

// The fuzzer stops on the trap and keeps the input.
void Check(bool condition) {
  if (!condition) __builtin_trap();
}

void CheckPicture(const kalmora::Mpeg4Picture& picture,
                  const kalmora::CMpeg4Depacketizer& depacketizer, bool marker) {
  // Copy what the result points at, so the sanitizer sees any span outside the buffers.
  const std::vector<std::uint8_t> copy(picture.data.begin(), picture.data.end());
  Check(copy.size() <= kalmora::CMpeg4Depacketizer::kMaxPictureSize);
  Check(picture.broken == depacketizer.Broken());
  const std::span<const std::uint8_t> header = depacketizer.HeaderCache();
  Check(header.empty() || (header.size() >= 4 && header[0] == 0 && header[1] == 0 &&
                           header[2] == 1 && header[3] == 0xB0));
  switch (picture.event) {
    case kalmora::Mpeg4Event::kNone:
      Check(picture.data.empty());
      break;
    case kalmora::Mpeg4Event::kDamaged:
      Check(picture.data.empty() && picture.broken);
      break;
    case kalmora::Mpeg4Event::kFrame:
      Check(marker && !picture.broken && !copy.empty());
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kalmora::CMpeg4Depacketizer depacketizer;
  std::size_t offset = 0;
  while (offset < size) {
    const std::uint8_t flags = data[offset++];
    std::size_t length = 0;
    if (size - offset >= 2) {
      length = (std::size_t{data[offset]} << 8) | data[offset + 1];
      offset += 2;
    } else {
      offset = size;
    }
    length = std::min(length, size - offset);
    // The payload in a buffer of its own size, so the sanitizer sees any read past it.
    const std::vector<std::uint8_t> payload(data + offset, data + offset + length);
    offset += length;
    const std::uint8_t* bytes = payload.empty() ? nullptr : payload.data();
    std::size_t bytes_length = payload.size();
    bool marker = (flags & 1) != 0;
    if ((flags & 16) != 0) {
      kalmora::RtpPacket packet;
      if (!kalmora::ParseRtpPacket(bytes, bytes_length, packet)) continue;
      Check(packet.payload_length <= bytes_length - 12);
      bytes = packet.payload;
      bytes_length = packet.payload_length;
      marker = packet.marker;
    }
    const kalmora::Mpeg4Picture picture =
        depacketizer.OnPayload(bytes, bytes_length, marker, (flags & 2) != 0);
    CheckPicture(picture, depacketizer, marker);
    if ((flags & 4) != 0) depacketizer.MarkBroken();
    if ((flags & 8) != 0) {
      depacketizer.Reset();
      Check(depacketizer.HeaderCache().empty() && depacketizer.Broken());
    }
  }
  return 0;
}
