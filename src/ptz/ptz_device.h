// What the PTZ objects of a camera need from the driver: where the camera is, how to log in,
// the driver's custom parameters and its log.
#pragma once

#include <cstdint>

namespace kalmora {

// Called from the host's threads and from the PTZ command threads. The texts stay valid as
// long as the device; none is null.
class IDevice {
 public:
  virtual ~IDevice() = default;
  virtual const char* GetAddress() = 0;
  virtual std::uint16_t GetPort() = 0;
  virtual const char* GetUserName() = 0;
  virtual const char* GetPassword() = 0;
  // "" when the driver has no parameter of that index.
  virtual const char* GetCustomParameter(std::uint32_t index) = 0;
  // Formats by printf rules and hands the finished text to the driver's log.
  virtual void Log(std::int32_t message_type, const char* format, ...) __attribute__((format(printf, 3, 4))) = 0;
};

}  // namespace kalmora
