// Stand-in of the host's decoder library: only the call the driver makes on key pictures.
#include <cstdint>

#include "mpeg4_vol.h"

// The size from the video object layer header in `data`; 1 when found, else 0 and the outputs
// untouched. `data_again` is the same buffer, passed again by the call's convention; unused.
extern "C" __attribute__((visibility("default"))) int ParseMpegHeader(
    const std::uint8_t* data, const std::uint8_t* data_again, std::uint32_t length,
    std::uint16_t* width, std::uint16_t* height) {
  (void)data_again;
  if (data == nullptr || width == nullptr || height == nullptr) return 0;
  std::uint16_t w = 0;
  std::uint16_t h = 0;
  if (!plurvexa::ParseVolSize(data, length, w, h)) return 0;
  *width = w;
  *height = h;
  return 1;
}
