#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "debug_sink.h"
#include "device_config.h"
#include "driver_library.h"
#include "frame_factory.h"
#include "host/capture_driver.h"

namespace tessavirn_host {

// A driver loaded from its library, created and opened for one camera with the host's own
// objects: what every command does before it uses the driver.
class DriverSession {
 public:
  // Log entries are printed to log_echo as they arrive when it is not null; they are kept in
  // sink() either way.
  DriverSession(std::FILE* out, std::FILE* err, std::FILE* log_echo);
  // Closes and deletes the driver object if it is still there.
  ~DriverSession();
  DriverSession(const DriverSession&) = delete;
  DriverSession& operator=(const DriverSession&) = delete;

  // Loads the library (empty path: DefaultDriverPath()), creates a driver object and opens it
  // with a copy of device. Says on out and err what it does and, for a refused open, why the
  // host thinks it was refused. Returns 0 opened, 1 refused, 3 the library or the driver object
  // could not be had. Only once per session.
  int Open(const std::string& driver_path, const DeviceConfig& device);
  // Closes and deletes the driver object; nothing when there is none.
  void Close();

  // Null before a successful Open and after Close.
  kalmora::ipcapture::IIPCaptureDriverEx3* driver() const { return opened_ ? driver_ : nullptr; }
  const DebugSink& sink() const { return sink_; }
  const FrameFactory& frames() const { return frames_; }

 private:
  std::FILE* out_;
  std::FILE* err_;
  DriverLibrary library_;
  DebugSink sink_;
  FrameFactory frames_;
  DeviceConfig device_;
  std::optional<DeviceSettings> settings_;
  kalmora::ipcapture::IIPCaptureDriverEx3* driver_ = nullptr;
  bool opened_ = false;
};

}  // namespace tessavirn_host
