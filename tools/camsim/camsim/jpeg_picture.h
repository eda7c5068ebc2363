#pragma once

#include <string>
#include <vector>

namespace camsim {

// A baseline JPEG test picture (colour bars over a brightness ramp), encoded with libjpeg at the
// given quality (1 to 100). Empty when the size is out of range (1 to 4096 each) or encoding
// fails. Safe to call from any thread.
std::string EncodeTestPicture(int width, int height, int quality);

// A loop of `frames` distinct pictures of a moving camera: the test picture with an inverted band
// that steps across it from frame to frame, and "camsim frame N/FRAMES" in a comment segment.
// Empty on the same terms as EncodeTestPicture. Safe to call from any thread.
std::vector<std::string> EncodeTestLoop(int width, int height, int quality, int frames);

}  // namespace camsim
