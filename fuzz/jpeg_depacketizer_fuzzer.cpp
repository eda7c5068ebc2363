// Feeds arbitrary RTP payload sequences to the JPEG depacketiser. An input is a sequence of
// records, each [1 byte flags][2 bytes payload length, big-endian][payload]; a record cut short
// by the end of the input takes the bytes that are left. Flags: bit 0 the marker, bit 1 a
// sequence gap before this packet, bit 3 a Reset after it, bit 4 the record is a whole RTP
// datagram: its payload, padding removed, and its marker are what the depacketiser gets, and a
// datagram the parser rejects is skipped.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "streaming/jpeg_depacketizer.h"
#include "streaming/rtp_packet.h"

namespace {

// The fuzzer stops on the trap and keeps the input.
void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// `fed`: payload bytes given since the last picture or Reset, a bound on the scan data.
void CheckFrame(const kalmora::JpegFrame& frame, std::size_t fed) {
  // Copy what the result points at, so the sanitizer sees a span outside the buffer.
  const std::vector<std::uint8_t> copy(frame.jpeg.begin(), frame.jpeg.end());
  if (frame.event != kalmora::JpegEvent::kFrame) {
    Check(copy.empty() && frame.width == 0 && frame.height == 0);
    return;
  }
  Check(copy.size() >= kalmora::kJpegHeaderSize + 2);
  Check(copy.size() <= kalmora::kJpegHeaderWithRestartSize + fed + 2);
  Check(copy[0] == 0xFF && copy[1] == 0xD8);
  Check(copy[copy.size() - 2] == 0xFF && copy[copy.size() - 1] == 0xD9);
  Check(frame.width % 8 == 0 && frame.width <= 2040);
  Check(frame.height % 8 == 0 && frame.height <= 2040);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kalmora::CJpegDepacketizer depacketizer;
  std::size_t fed = 0;
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
      bytes = packet.payload;
      bytes_length = packet.payload_length;
      marker = packet.marker;
    }
    fed += bytes_length;
    const kalmora::JpegFrame frame =
        depacketizer.OnPayload(bytes, bytes_length, marker, (flags & 2) != 0);
    CheckFrame(frame, fed);
    if (frame.event == kalmora::JpegEvent::kFrame) fed = 0;
    // A marker ends any broken state: the next packet starts a picture.
    if (marker) Check(!depacketizer.Broken());
    if ((flags & 8) != 0) {
      depacketizer.Reset();
      Check(depacketizer.Broken());
      fed = 0;
    }
  }
  return 0;
}
