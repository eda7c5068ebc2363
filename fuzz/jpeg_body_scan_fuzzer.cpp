// Feeds arbitrary sequences of reply bodies (the records of payload_records.h; flag bit 2: the
// callback asks to end the scan, bit 3: Clear after the body) to the body scanner, with a small
// cap so that pictures outgrow it, and checks every picture it hands out.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "payload_records.h"
#include "streaming/jpeg_picture_scan.h"

namespace {

constexpr std::size_t kCap = 4096;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kalmora::CJpegBodyScanner scanner(kCap);
  std::size_t fed = 0;
  std::size_t handed_out = 0;
  tessavirn_fuzz::ForEachPayloadRecord(data, size, [&](const tessavirn_fuzz::PayloadRecord& record) {
    fed += record.length;
    std::size_t calls = 0;
    const auto result = scanner.Scan(record.payload, record.length, [&](const std::vector<std::uint8_t>& picture) {
      // Copied, so the sanitizer sees a picture that points outside its store.
      const std::vector<std::uint8_t> copy(picture.begin(), picture.end());
      Check(copy.size() >= 2 && copy.size() <= kCap);
      Check(copy[copy.size() - 2] == 0xFF && copy[copy.size() - 1] == 0xD9);
      handed_out += copy.size();
      ++calls;
      return !record.refused;
    });
    Check(result.pictures == calls);
    Check(result.ended == (record.refused && calls > 0));
    Check(scanner.stored_bytes() <= kCap);
    // No byte comes out twice, and none that did not come in.
    Check(handed_out + scanner.stored_bytes() <= fed);
    if (record.reset) {
      scanner.Clear();
      Check(scanner.stored_bytes() == 0);
    }
  });
  return 0;
}
