#pragma once

#include <atomic>

#include "host/io.h"

namespace kalmora {

class CIPCaptureDriver;

// The camera's alarm inputs and relay outputs. Polling and switching over the camera's parameter
// interface are not built yet: the counts and the callback are real, Start and SetOutput refuse.
class COrvaneDigitalIO final : public ICaptureIOApi {
 public:
  // driver owns this object and outlives it.
  explicit COrvaneDigitalIO(CIPCaptureDriver* driver) : driver_(driver) {}

  bool SetIOCallback(ipcapture::ICaptureIOCallback* callback) override;
  bool Start() override { return false; }
  bool Stop() override { return true; }
  std::int32_t GetInputCount() override;
  std::int32_t GetOutputCount() override;
  bool SetOutput(std::uint32_t, std::int32_t) override { return false; }

 private:
  CIPCaptureDriver* driver_;
  std::atomic<ipcapture::ICaptureIOCallback*> callback_{nullptr};  // host's
};

}  // namespace kalmora
