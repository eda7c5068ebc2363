// A driver opened through the reference host's objects, with the host core version chosen by
// the test instead of looked up on the machine.
#pragma once

#include <gtest/gtest.h>

#include "debug_sink.h"
#include "device_config.h"
#include "driver/orvane_capture_driver.h"
#include "frame_factory.h"

namespace kalmora::testing {

class VersionedDriver : public COrvaneIPCaptureDriver {
 public:
  explicit VersionedDriver(HostCoreVersion version = kDefaultHostCoreVersion) : version_(version) {}

 protected:
  HostCoreVersion LookUpHostCoreVersion() const override { return version_; }

 private:
  HostCoreVersion version_;
};

// The parameters the driver needs to open, and nothing else.
inline tessavirn_host::DeviceConfig MinimalConfig() {
  tessavirn_host::DeviceConfig config;
  config.model = "ZD-220 Dome";
  config.address = "127.0.0.1";
  config.port = 8080;
  config.stream_type = 3;
  config.digital_inputs = 2;
  config.digital_outputs = 1;
  config.custom_parameters = {{1, "5000"}, {2, "0"}, {6, "0"}, {8, "0"}};
  return config;
}

struct OpenedDriver {
  explicit OpenedDriver(tessavirn_host::DeviceConfig c = MinimalConfig(),
                        HostCoreVersion version = kDefaultHostCoreVersion)
      : config(std::move(c)), settings(config), driver(version) {}

  bool Open() { return driver.Open(&sink, &frames, &settings); }

  tessavirn_host::DeviceConfig config;
  tessavirn_host::DeviceSettings settings;
  tessavirn_host::DebugSink sink;
  tessavirn_host::FrameFactory frames;
  VersionedDriver driver;
};

}  // namespace kalmora::testing
