// Frame buffers, the frame factory, the per-channel frame callback and the channel settings.
// Position 1 of every interface is its destructor; ReservedN is a position the driver never calls.
// Operations after the ones the driver calls are there for hosts and may grow.
#pragma once

#include <cstdint>

#include "host/types.h"

namespace kalmora::ipcapture {

// A frame buffer allocated by the host. The driver fills it and hands it to the frame callback;
// it is valid for the host only during that call.
class ICaptureFrame {
 public:
  virtual ~ICaptureFrame() = default;
  virtual std::uint8_t* GetData() = 0;
  virtual void SetDataLength(std::uint32_t length) = 0;
  virtual void StampCurrentTime() = 0;
  virtual void SetTimeStamp(const SystemTime& utc) = 0;
  virtual void SetFrameType(std::uint32_t type_code) = 0;
  virtual void SetHeight(std::uint32_t height) = 0;
  virtual void SetWidth(std::uint32_t width) = 0;
  virtual void SetSizeClass(std::uint32_t size_class) = 0;
  // Read back by the host's consumer.
  virtual std::uint32_t GetCapacity() const = 0;
  virtual std::uint32_t GetDataLength() const = 0;
  virtual std::uint32_t GetFrameType() const = 0;
  virtual std::uint32_t GetWidth() const = 0;
  virtual std::uint32_t GetHeight() const = 0;
  virtual std::uint32_t GetSizeClass() const = 0;
  virtual SystemTime GetTimeStamp() const = 0;
};

// The host's frame buffer allocator, handed to the driver's Open. Called from driver threads.
class ICaptureFrameFactory {
 public:
  virtual ~ICaptureFrameFactory() = default;
  // Null when the host cannot give a buffer of that size.
  virtual ICaptureFrame* AllocateFrame(std::uint32_t type_code, std::uint32_t size, const char* tag) = 0;
  virtual void ReleaseFrame(ICaptureFrame* frame) = 0;
};

// The host's consumer of one channel's frames, handed to StartChannel.
class ICaptureFrameCallback {
 public:
  virtual ~ICaptureFrameCallback() = default;
  // False when the host refuses the frame.
  virtual bool CaptureFrameCallback(ICaptureFrame* frame) = 0;
  virtual void Reserved3() = 0;
  // The channel has lost its signal, or no frame arrived for a while.
  virtual void NotifyNoSignal() = 0;
};

class IIPPictureSize {
 public:
  virtual ~IIPPictureSize() = default;
  virtual std::uint16_t GetWidth() = 0;
  virtual std::uint16_t GetHeight() = 0;
};

class IIPPictureSettings {
 public:
  virtual ~IIPPictureSettings() = default;
  virtual void Reserved2() = 0;
  virtual void Reserved3() = 0;
  virtual IIPPictureSize* GetPictureSize() = 0;
};

class IIPRateSettings {
 public:
  virtual ~IIPRateSettings() = default;
  // Milliseconds between frames.
  virtual std::uint16_t GetFrameInterval() = 0;
  virtual void Reserved3() = 0;
  // 0 to 100.
  virtual std::uint16_t GetQuality() = 0;
};

class IIPChannelSettings {
 public:
  virtual ~IIPChannelSettings() = default;
  virtual IIPPictureSettings* GetPictureSettings() = 0;
  virtual IIPRateSettings* GetRateSettings() = 0;
};

}  // namespace kalmora::ipcapture
