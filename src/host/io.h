// Digital inputs and relay outputs.
#pragma once

#include <cstdint>

namespace kalmora::ipcapture {

// Host object: told of input changes and I/O failures, from driver threads.
class ICaptureIOCallback {
 public:
  virtual ~ICaptureIOCallback() = default;
  // input is 0-based; state is kIoUnknown, kIoInactive or kIoActive.
  virtual void OnInputStateChanged(std::uint32_t input, std::int32_t state) = 0;
  // The camera could not be reached for polling or for an output change.
  virtual void OnIOFailure() = 0;
};

}  // namespace kalmora::ipcapture

namespace kalmora {

class ICaptureIOApi {
 public:
  virtual ~ICaptureIOApi() = default;
  // Null is refused.
  virtual bool SetIOCallback(ipcapture::ICaptureIOCallback* callback) = 0;
  virtual bool Start() = 0;
  virtual bool Stop() = 0;
  virtual std::int32_t GetInputCount() = 0;
  virtual std::int32_t GetOutputCount() = 0;
  // Queued; the change happens later on the driver's output thread.
  virtual bool SetOutput(std::uint32_t output, std::int32_t state) = 0;
};

}  // namespace kalmora
