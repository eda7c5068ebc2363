#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "device_config.h"

namespace tessavirn_host {

struct IoWatchOptions {
  std::string driver_path;  // empty: DefaultDriverPath()
  DeviceConfig device;
  std::uint32_t seconds = 0;  // 0: until stopped
};

struct IoSetOptions {
  std::string driver_path;  // empty: DefaultDriverPath()
  DeviceConfig device;
  std::uint32_t output = 0;  // from 0
  bool on = false;
};

// Opens the driver for the camera, starts its digital I/O object and prints a line for every
// input change and I/O failure as it happens ("HH:MM:SS.mmm input 0 active", local time), with
// the driver's log, until options.seconds have passed or stop becomes true; then stops the
// object and closes the driver. Returns the process exit code: 0 after a normal end, 1 the open
// was refused or the I/O object did not start, 3 the driver could not be loaded.
int RunIoWatch(const IoWatchOptions& options, std::FILE* out, std::FILE* err, const std::atomic<bool>& stop);

// Switches one relay output: opens the driver, starts its digital I/O object (which first
// writes every output off) and, for on, asks for the change; then waits for the driver's word
// on that write and prints the outcome. Returns the process exit code: 0 the camera answered
// 200, 1 anything else (open refused, not started, refused, no answer, no word in time), 2 the
// output is not below the output count or custom parameter 13 (output mode) is not 1 or 2,
// 3 the driver could not be loaded.
int RunIoSet(const IoSetOptions& options, std::FILE* out, std::FILE* err);

}  // namespace tessavirn_host
