#pragma once

#include <string>

namespace camsim {

// A baseline JPEG test picture (colour bars over a brightness ramp), encoded with libjpeg at the
// given quality (1 to 100). Empty when the size is out of range (1 to 4096 each) or encoding
// fails. Safe to call from any thread.
std::string EncodeTestPicture(int width, int height, int quality);

}  // namespace camsim
