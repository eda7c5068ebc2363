// The input of the depacketiser fuzz targets: a sequence of records, each [1 byte flags][2 bytes
// payload length, big-endian][payload]; a record cut short by the end of the input takes the
// bytes that are left. Flags: bit 0 the marker, bit 1 a sequence gap before this packet, bit 2 a
// refused delivery after it, bit 3 a Reset after it, bit 4 the record is a whole RTP datagram:
// its payload, padding removed, and its marker are what the depacketiser gets, and a datagram
// the parser rejects is skipped.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "streaming/rtp_packet.h"

namespace tessavirn_fuzz {

struct PayloadRecord {
  const std::uint8_t* payload = nullptr;  // null when empty
  std::size_t length = 0;
  bool marker = false;
  bool gap = false;
  bool refused = false;
  bool reset = false;
};

// Calls take(record) for each record of the input, in order.
template <typename Take>
void ForEachPayloadRecord(const std::uint8_t* data, std::size_t size, Take&& take) {
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
    PayloadRecord record;
    record.payload = payload.empty() ? nullptr : payload.data();
    record.length = payload.size();
    record.marker = (flags & 1) != 0;
    record.gap = (flags & 2) != 0;
    record.refused = (flags & 4) != 0;
    record.reset = (flags & 8) != 0;
    if ((flags & 16) != 0) {
      kalmora::RtpPacket packet;
      if (!kalmora::ParseRtpPacket(record.payload, record.length, packet)) continue;
      if (packet.payload_length > record.length - 12) __builtin_trap();
      record.payload = packet.payload;
      record.length = packet.payload_length;
      record.marker = packet.marker;
    }
    take(record);
  }
}

}  // namespace tessavirn_fuzz
