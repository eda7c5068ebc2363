// Host objects of the capability query, which reads what a camera can do before it is added.
// Position 1 of every interface is its destructor; ReservedN is a position the driver never calls.
#pragma once

#include <cstdint>

namespace kalmora::ipcapture {

class ICapabilityQuerySink {
 public:
  virtual ~ICapabilityQuerySink() = default;
  virtual void Reserved2() = 0;
  virtual void Completed() = 0;
  virtual void Failed(std::int32_t error_code, const char* message) = 0;
};

class IResultText {
 public:
  virtual ~IResultText() = default;
  virtual void SetText(const char* text) = 0;
};

class IResultParameter {
 public:
  virtual ~IResultParameter() = default;
  virtual void SetValue(const char* value) = 0;
  virtual void Reserved3() = 0;
  virtual void Reserved4() = 0;
  // 0 numeric text, 1 free text.
  virtual void SetKind(std::int32_t kind) = 0;
  virtual void SetName(const char* name) = 0;
  // The driver always passes 0.
  virtual void SetOption(std::int32_t option) = 0;
};

class IResolutionList {
 public:
  virtual ~IResolutionList() = default;
  virtual void Add(const char* name, std::int32_t width, std::int32_t height,
                   std::int32_t frame_interval_ms) = 0;
};

class IFrameIntervalList {
 public:
  virtual ~IFrameIntervalList() = default;
  virtual void SetDefault(std::uint32_t interval_ms) = 0;
  virtual void Add(std::uint32_t interval_ms) = 0;
};

class ICapabilityResults {
 public:
  virtual ~ICapabilityResults() = default;
  virtual void SetCapability(std::int32_t id, std::int32_t value) = 0;
  virtual void SetModelName(const char* name) = 0;
  // 1 host, 2 port, 3 user name, 4 password.
  virtual IResultText* GetConnectionField(std::int32_t index) = 0;
  virtual void Reserved5() = 0;
  // Custom parameter 1 to 14.
  virtual IResultParameter* GetParameter(std::int32_t index) = 0;
  virtual IResolutionList* GetResolutionList() = 0;
  virtual void Reserved8() = 0;
  virtual IFrameIntervalList* GetFrameIntervalList(std::int32_t which) = 0;
};

}  // namespace kalmora::ipcapture
