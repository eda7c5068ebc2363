#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "capability_results.h"

namespace tessavirn_host {

struct ProbeOptions {
  std::string driver_path;  // empty: DefaultDriverPath()
  std::string address;
  std::uint16_t port = 80;
  std::string user;
  std::string password;
  bool ntsc = false;
  std::string save_path;  // empty: nothing saved
  std::uint32_t timeout_seconds = 20;
};

// The published results in words: model, capabilities, resolutions, frame intervals, connection
// fields (the password as ***) and the proposed custom parameters. Each line ends with a line end.
std::string FormatCapabilityReport(const CapabilityReport& report);

// Runs the driver's capability query for one camera and prints what it published; with a save
// path, writes the camera's settings file. On a failure, says on err why the camera does not
// answer as far as the host can see. Returns the process exit code: 0 completed, 1 failed, no
// answer in time, stopped or not saved, 2 the save folder cannot be written, 3 the driver or its
// query exports could not be had.
int RunProbe(const ProbeOptions& options, std::FILE* out, std::FILE* err, const std::atomic<bool>& stop);

}  // namespace tessavirn_host
