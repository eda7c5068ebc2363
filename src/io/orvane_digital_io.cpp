#include "io/orvane_digital_io.h"

#include "driver/capture_driver.h"

namespace kalmora {

bool COrvaneDigitalIO::SetIOCallback(ipcapture::ICaptureIOCallback* callback) {
  if (callback == nullptr) return false;
  callback_.store(callback);
  return true;
}

std::int32_t COrvaneDigitalIO::GetInputCount() { return driver_ != nullptr ? driver_->digital_input_count() : 0; }

std::int32_t COrvaneDigitalIO::GetOutputCount() { return driver_ != nullptr ? driver_->digital_output_count() : 0; }

}  // namespace kalmora
