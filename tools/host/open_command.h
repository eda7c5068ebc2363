#pragma once

#include <cstdio>
#include <string>

#include "device_config.h"

namespace tessavirn_host {

struct OpenOptions {
  std::string driver_path;  // empty: DefaultDriverPath()
  DeviceConfig device;
};

// Loads the driver, creates a driver object, opens it with the configuration, prints every log
// entry with its level, then closes and deletes it. Returns the process exit code: 0 opened,
// 1 the open failed, 3 the driver could not be loaded.
int RunOpen(const OpenOptions& options, std::FILE* out, std::FILE* err);

}  // namespace tessavirn_host
