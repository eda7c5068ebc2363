// Feeds arbitrary RTP payload sequences to the H.264 depacketiser. An input is a sequence of
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

#include "streaming/h264_depacketizer.h"
#include "streaming/rtp_packet.h"

namespace {

constexpr std::uint8_t kDelimiter[] = {0x00, 0x00, 0x01, 0x09, 0x30};

// The fuzzer stops on the trap and keeps the input.
void Check(bool condition) {
  if (!condition) __builtin_trap();
}

bool StartsWithStartCode(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= 4 && bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 1;
}

void CheckUnit(const kalmora::H264AccessUnit& unit,
               const kalmora::CH264Depacketizer& depacketizer) {
  // Copy what the result points at, so the sanitizer sees any span outside the buffers.
  std::vector<std::uint8_t> copy(unit.header.begin(), unit.header.end());
  copy.insert(copy.end(), unit.body.begin(), unit.body.end());
  Check(copy.size() == unit.Size());
  Check(unit.event == kalmora::H264Event::kFrame || unit.header.empty());
  switch (unit.event) {
    case kalmora::H264Event::kNone:
      Check(unit.body.empty());
      break;
    case kalmora::H264Event::kDamaged:
      Check(unit.body.empty() && unit.broken && depacketizer.Broken());
      break;
    case kalmora::H264Event::kFrame:
      Check(unit.has_slice && StartsWithStartCode(unit.body));
      Check(unit.body.size() <= kalmora::CH264Depacketizer::kMaxAccessUnitSize + sizeof kDelimiter);
      Check(std::equal(std::begin(kDelimiter), std::end(kDelimiter),
                       unit.body.end() - sizeof kDelimiter));
      if (!unit.header.empty()) {
        Check(unit.key_frame && (unit.body[3] & 0x1F) != 7);
        Check(std::equal(unit.header.begin(), unit.header.end(), depacketizer.HeaderCache().begin(),
                         depacketizer.HeaderCache().end()));
      }
      break;
    case kalmora::H264Event::kHeader:
      Check(unit.has_sps && !unit.has_slice && !unit.key_frame && StartsWithStartCode(unit.body));
      Check(unit.body.data() == depacketizer.HeaderCache().data() &&
            unit.body.size() == depacketizer.HeaderCache().size());
      break;
    case kalmora::H264Event::kDiscarded:
      Check(!unit.has_slice && !unit.has_sps && !unit.key_frame && StartsWithStartCode(unit.body));
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kalmora::CH264Depacketizer depacketizer;
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
    const kalmora::H264AccessUnit unit = depacketizer.OnPayload(bytes, bytes_length, marker, (flags & 2) != 0);
    CheckUnit(unit, depacketizer);
    if ((flags & 4) != 0) depacketizer.MarkBroken();
    if ((flags & 8) != 0) {
      depacketizer.Reset();
      Check(depacketizer.HeaderCache().empty() && depacketizer.Broken());
    }
  }
  return 0;
}
