// Host objects read by the driver's Open. Position 1 of every interface is its destructor; the
// driver never deletes host objects. ReservedN stands for a position the driver never calls.
#pragma once

#include <cstdint>

namespace kalmora::ipcapture {

class IIPDeviceInfo {
 public:
  virtual ~IIPDeviceInfo() = default;
  virtual void Reserved2() = 0;
  virtual const char* GetDeviceModel() = 0;
  virtual std::int32_t GetVideoChannelCount() = 0;
  virtual void Reserved5() = 0;
  virtual std::int32_t GetDigitalInputCount() = 0;
  virtual std::int32_t GetDigitalOutputCount() = 0;
};

class IIPConnectionSettings {
 public:
  virtual ~IIPConnectionSettings() = default;
  virtual const char* GetAddress() = 0;
  virtual std::uint16_t GetPort() = 0;
  virtual void Reserved4() = 0;
  // 1 Motion-JPEG, 2 MPEG-4, 3 H.264.
  virtual std::int32_t GetStreamType() = 0;
  virtual const char* GetUserName() = 0;
  virtual const char* GetPassword() = 0;
};

class IIPDeviceSettings {
 public:
  virtual ~IIPDeviceSettings() = default;
  virtual IIPDeviceInfo* GetDeviceInfo() = 0;
  virtual IIPConnectionSettings* GetConnectionSettings() = 0;
  virtual void Reserved4() = 0;
  // Custom parameter by index (1 upward); null when the host has none of that index.
  virtual const char* GetCustomParameter(std::uint32_t index) = 0;
};

}  // namespace kalmora::ipcapture
