#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device_config.h"

namespace tessavirn_host {

// What tessavirn view is told on its command line.
struct ViewOptions {
  std::string driver_path;  // empty: DefaultDriverPath()
  DeviceConfig device;
  std::vector<std::uint32_t> channels = {0};
  std::uint16_t width = 640;
  std::uint16_t height = 480;
  std::uint16_t interval_ms = 40;
  std::uint16_t quality = 60;
  std::string listen = "127.0.0.1:8080";  // HOST:PORT
  std::string web_password_file;          // empty: no page password
};

}  // namespace tessavirn_host
