#pragma once

#include <string>

namespace camsim {

// How a test picture is encoded with libjpeg: baseline, the standard Huffman tables.
struct JpegEncoding {
  int width = 640;    // 1 to 4096
  int height = 480;   // 1 to 4096
  int quality = 75;   // libjpeg quality, 1 to 100 (jpeg_set_quality, baseline tables)
  bool luma_2x1 = false;  // luma sampled 2x1 (4:2:2) instead of 2x2 (4:2:0)
  unsigned restart_interval = 0;  // MCUs between restart markers; 0: none
  int shift = 0;  // pixels the colour bars are moved to the right, wrapping around
};

// A baseline JPEG test picture (colour bars over a brightness ramp). Empty when the size is out
// of range or encoding fails. Safe to call from any thread.
std::string EncodeTestPicture(const JpegEncoding& encoding);
// The same with 4:2:0 sampling, no restart markers and the bars in place; quality 1 to 100.
std::string EncodeTestPicture(int width, int height, int quality);

}  // namespace camsim
