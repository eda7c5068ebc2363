// Logging between driver and host.
#pragma once

#include <cstdint>

// The driver's logging interface. Message types: 1 error, 3 information, 4 debug detail (never
// forwarded), 100 the driver-opened notice. Callable from any driver thread.
class IDebugMessage {
 public:
  virtual ~IDebugMessage() = default;
  virtual void Log(std::int32_t message_type, const char* format, ...)
      __attribute__((format(printf, 3, 4))) = 0;
};

// One log entry handed to the host. Valid only during the sink call; the host copies what it keeps.
class CDebugInfoIf {
 public:
  virtual ~CDebugInfoIf() = default;
  virtual std::uint8_t GetLevel() const = 0;
  // Null for an empty message.
  virtual const char* GetText() const = 0;
};

namespace kalmora::ipcapture {

// Host object: receives the driver's log entries, from several driver threads at once.
class IDebugMessageSink {
 public:
  virtual ~IDebugMessageSink() = default;
  virtual void ReceiveDebugInfo(CDebugInfoIf* info) = 0;
};

}  // namespace kalmora::ipcapture
