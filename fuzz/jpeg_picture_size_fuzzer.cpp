// Feeds arbitrary bytes to the JPEG picture-size finder and checks that a size it returns was
// read from a complete frame header of the input.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "streaming/jpeg_picture_scan.h"

namespace {

// The fuzzer stops on the trap and keeps the input.
void Check(bool condition) {
  if (!condition) __builtin_trap();
}

bool IsFrameHeaderMarker(std::uint8_t marker) {
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// Some 0xFF at i starts a frame header, whole up to its component count, holding this size.
bool HeaderHolds(const std::vector<std::uint8_t>& image, const kalmora::JpegPictureSize& size) {
  for (std::size_t i = 0; i + 9 < image.size(); ++i) {
    if (image[i] != 0xFF || !IsFrameHeaderMarker(image[i + 1])) continue;
    const unsigned height = (image[i + 5] << 8) | image[i + 6];
    const unsigned width = (image[i + 7] << 8) | image[i + 8];
    if (height == size.height && width == size.width) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // In a buffer of its own size, so the sanitizer sees any read past it.
  const std::vector<std::uint8_t> image(data, data + size);
  const auto found = kalmora::FindJpegPictureSize(image.empty() ? nullptr : image.data(), image.size());
  if (found) Check(HeaderHolds(image, *found));
  return 0;
}
