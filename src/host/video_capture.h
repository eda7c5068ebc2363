// The driver's video capture object: up to 16 channels, numbered from 0.
#pragma once

#include <cstdint>

#include "host/frame.h"

namespace kalmora::ipcapture {

class IIPVideoCapture {
 public:
  virtual ~IIPVideoCapture() = default;
  virtual std::int32_t GetChannelCount() = 0;
  virtual bool StartChannel(std::uint32_t channel, ICaptureFrameCallback* callback,
                            IIPChannelSettings* settings) = 0;
  virtual bool StopChannel(std::uint32_t channel) = 0;
  virtual bool ChangeChannelFormat(std::uint32_t channel, IIPPictureSize* size,
                                   std::uint32_t frame_interval_ms) = 0;
  // Reserved; returns 0.
  virtual std::int32_t Reserved6() = 0;
  // Writes the channel state (kChannelStreaming ... kChannelStopped); *second is always set to 0
  // and *flag to 0 when flag_wanted is not 0. False when the channel does not exist.
  virtual bool GetChannelStatus(std::uint32_t channel, std::int32_t* state, std::int32_t* second,
                                std::uint8_t* flag, std::int32_t flag_wanted) = 0;
  // Reserved; return false.
  virtual bool Reserved8(std::uint32_t a, std::uint32_t b, std::uint32_t c) = 0;
  virtual bool Reserved9(std::uint32_t a, std::uint32_t b, std::uint32_t c) = 0;
};

class IIPVideoCaptureEx : public IIPVideoCapture {
 public:
  // Reserved; return false.
  virtual bool Reserved10(void* a) = 0;
  virtual bool Reserved11(void* a) = 0;
};

}  // namespace kalmora::ipcapture
