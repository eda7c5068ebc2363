#pragma once

#include <atomic>
#include <cstdio>

#include "record_options.h"

namespace tessavirn_host {

// Opens a driver object for each camera (with working defaults for the required custom
// parameters), starts the channels and writes every frame each delivers to its own output file,
// with a progress line once a second, until options.seconds have passed or stop becomes true;
// then stops every channel, closes the drivers and prints the drivers' logs and a summary (with
// several channels, one per channel and a total). Returns the process exit code: 0 every channel
// recorded frames, 1 an open was refused, a channel did not start, got no frame or a frame could
// not be written, 2 an output file cannot be written or the cameras are given twice or too many,
// 3 the driver could not be loaded.
//
// stop_fd, when not -1, turns readable once stop is set (a signal handler writes to a pipe), so
// that the waits between progress lines end at once.
int RunRecord(const RecordOptions& options, std::FILE* out, std::FILE* err, const std::atomic<bool>& stop,
              int stop_fd = -1);

}  // namespace tessavirn_host
