#pragma once

#include <cstdint>

#include "host/ptz.h"

namespace kalmora {

class COrvaneIPCaptureDriver;

// The driver's PTZ object for a camera with PTZ heads. The per-channel control objects (motion,
// presets) are not built yet: every channel gives null, as a channel out of range does.
class COrvanePTZHandler final : public IIPPTZDriverEx {
 public:
  // driver owns this object and outlives it.
  COrvanePTZHandler(COrvaneIPCaptureDriver* driver, std::uint32_t channel_count)
      : driver_(driver), channel_count_(channel_count) {}

  IIPPTZApiEx* GetPTZApiEx(std::uint32_t channel) override;

  std::uint32_t channel_count() const { return channel_count_; }
  COrvaneIPCaptureDriver* driver() const { return driver_; }

 private:
  COrvaneIPCaptureDriver* driver_;
  std::uint32_t channel_count_;
};

}  // namespace kalmora
