#pragma once

#include <atomic>
#include <cstdio>

#include "record_options.h"

namespace tessavirn_host {

// Opens the driver for the camera (with working defaults for the required custom parameters),
// starts the channel and writes every frame it delivers to the output file, with a progress
// line once a second, until options.seconds have passed or stop becomes true; then stops the
// channel, closes the driver and prints the driver's log and a summary. Returns the process
// exit code: 0 frames were recorded, 1 the open was refused, the channel did not start, no
// frame arrived or a frame could not be written, 2 an output file cannot be written, 3 the
// driver could not be loaded.
int RunRecord(const RecordOptions& options, std::FILE* out, std::FILE* err, const std::atomic<bool>& stop);

}  // namespace tessavirn_host
