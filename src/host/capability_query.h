// Host objects of the capability query, which reads what a camera can do before it is added.
// Position 1 of every interface is its destructor; ReservedN is a position the driver never calls.
#pragma once

#include <cstdint>

#include "host/capture_driver.h"

namespace kalmora::ipcapture {

// Identifiers of SetCapability.
inline constexpr std::int32_t kCapVideoInputs = 0;     // number of video inputs
inline constexpr std::int32_t kCapPtz = 1;             // 1: a usable PTZ head
inline constexpr std::int32_t kCapDigitalInputs = 2;   // number of digital inputs
inline constexpr std::int32_t kCapDigitalOutputs = 3;  // number of digital outputs
inline constexpr std::int32_t kCapAudioOutput = 4;     // 1: an audio output
inline constexpr std::int32_t kCapMpeg4 = 6;           // 1: MPEG-4
inline constexpr std::int32_t kCapMjpeg = 7;           // 1: Motion-JPEG
inline constexpr std::int32_t kCapH264 = 8;            // 1: H.264
inline constexpr std::int32_t kCapQueryDone = 11;      // 1 after every query
inline constexpr std::int32_t kCapQueryFinished = 12;  // 1 after every query

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

// The query exports. One query runs at a time, on a thread of the module; the sink and the
// results must stay valid until UninitCapabilityQuery returns, and are called from that thread.
//
// InitCapabilityQuery stores the sink and the video standard (non-zero: NTSC); 0 when a sink is
// already stored. StartCapabilityQuery asks the camera at host:port (null texts are empty) and
// publishes into results, then calls Completed or Failed once; 0 without Init, while a query is
// still running, or when its thread cannot start. TerminateCapabilityQuery makes the running
// query give up at once. UninitCapabilityQuery terminates, waits for the thread (about 1 s at
// most) and forgets sink and results; no sink or results call follows its return.
TESSAVIRN_EXPORT std::int32_t InitCapabilityQuery(kalmora::ipcapture::ICapabilityQuerySink* sink, std::uint8_t ntsc);
TESSAVIRN_EXPORT std::int32_t StartCapabilityQuery(const char* host, std::uint16_t port, const char* user,
                                                   const char* password,
                                                   kalmora::ipcapture::ICapabilityResults* results);
TESSAVIRN_EXPORT std::int32_t TerminateCapabilityQuery();
TESSAVIRN_EXPORT std::int32_t UninitCapabilityQuery();

// Function types for hosts that resolve the query exports with dlsym.
using InitCapabilityQueryFn = std::int32_t (*)(kalmora::ipcapture::ICapabilityQuerySink*, std::uint8_t);
using StartCapabilityQueryFn = std::int32_t (*)(const char*, std::uint16_t, const char*, const char*,
                                                kalmora::ipcapture::ICapabilityResults*);
using TerminateCapabilityQueryFn = std::int32_t (*)();
using UninitCapabilityQueryFn = std::int32_t (*)();
