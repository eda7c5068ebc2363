// The picture size from the video object layer header of an MPEG-4 visual byte stream.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plurvexa {

// Finds the first video object layer start code (00 00 01 20 to 00 00 01 2F) in `data` and reads
// its header (ISO/IEC 14496-2 VideoObjectLayer) up to video_object_layer_width and _height.
// False if there is none, the header ends before the size, the shape is not rectangular, the
// time increment resolution is 0 or the size is 0. Reads nothing past `length`.
bool ParseVolSize(const std::uint8_t* data, std::size_t length, std::uint16_t& width,
                  std::uint16_t& height);

}  // namespace plurvexa
