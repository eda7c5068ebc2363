// Feeds arbitrary RTP payload sequences (the records of payload_records.h) to the JPEG
// depacketiser and checks every picture it returns.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "streaming/jpeg_depacketizer.h"
#include "payload_records.h"

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
  // The depacketiser has no refused-delivery state: that flag is not used here.
  tessavirn_fuzz::ForEachPayloadRecord(data, size, [&](const tessavirn_fuzz::PayloadRecord& record) {
    fed += record.length;
    const kalmora::JpegFrame frame = depacketizer.OnPayload(record.payload, record.length, record.marker, record.gap);
    CheckFrame(frame, fed);
    if (frame.event == kalmora::JpegEvent::kFrame) fed = 0;
    // A marker ends any broken state: the next packet starts a picture.
    if (record.marker) Check(!depacketizer.Broken());
    if (record.reset) {
      depacketizer.Reset();
      Check(depacketizer.Broken());
      fed = 0;
    }
  });
  return 0;
}
