#pragma once

#include <string>
#include <vector>

namespace camsim {

// How a test picture is encoded with libjpeg: baseline, the standard Huffman tables.
struct JpegEncoding {
  int width = 640;    // 1 to 4096
  int height = 480;   // 1 to 4096
  int quality = 75;   // libjpeg quality, 1 to 100 (jpeg_set_quality, baseline tables)
  bool luma_2x1 = false;  // luma sampled 2x1 (4:2:2) instead of 2x2 (4:2:0)
  unsigned restart_interval = 0;  // MCUs between restart markers; 0: none
  int shift = 0;  // pixels the colour bars are moved to the right, wrapping around
  // With loop_frames above 0: frame loop_frame of a loop, an inverted band at its own place and
  // "camsim frame N/FRAMES" in a comment segment.
  int loop_frame = 0;
  int loop_frames = 0;
};

// A baseline JPEG test picture (colour bars over a brightness ramp). Empty when the size is out
// of range or encoding fails. Safe to call from any thread.
std::string EncodeTestPicture(const JpegEncoding& encoding);
// The same with 4:2:0 sampling, no restart markers and the bars in place; quality 1 to 100.
std::string EncodeTestPicture(int width, int height, int quality);
// A loop of `frames` distinct pictures of a moving camera (see loop_frames), 4:2:0 at quality.
// Empty on the same terms as EncodeTestPicture. Safe to call from any thread.
std::vector<std::string> EncodeTestLoop(int width, int height, int quality, int frames);

// A loop of `frames` distinct pictures of a moving camera: the test picture with an inverted band
// that steps across it from frame to frame, and "camsim frame N/FRAMES" in a comment segment.
// Empty on the same terms as EncodeTestPicture. Safe to call from any thread.
std::vector<std::string> EncodeTestLoop(int width, int height, int quality, int frames);

}  // namespace camsim
