// Feeds arbitrary bytes to the decoder library stand-in's video object layer parser, as the
// driver hands it a key picture.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "mpeg4_vol.h"

namespace {

// The fuzzer stops on the trap and keeps the input.
void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The bytes in a buffer of their own size, so the sanitizer sees any read past them.
  std::vector<std::uint8_t> bytes(data, data + size);
  std::uint16_t width = 0;
  std::uint16_t height = 0;
  const bool parsed =
      plurvexa::ParseVolSize(bytes.empty() ? nullptr : bytes.data(), bytes.size(), width, height);
  if (!parsed) return 0;
  Check(width != 0 && height != 0 && width < 8192 && height < 8192);
  // The header was complete: what follows it changes nothing.
  bytes.push_back(0xFF);
  std::uint16_t width_again = 0;
  std::uint16_t height_again = 0;
  Check(plurvexa::ParseVolSize(bytes.data(), bytes.size(), width_again, height_again));
  Check(width_again == width && height_again == height);
  return 0;
}
