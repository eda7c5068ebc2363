#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/capability_query.h"

namespace tessavirn_host {

using kalmora::ipcapture::kCapAudioOutput;
using kalmora::ipcapture::kCapDigitalInputs;
using kalmora::ipcapture::kCapDigitalOutputs;
using kalmora::ipcapture::kCapH264;
using kalmora::ipcapture::kCapMjpeg;
using kalmora::ipcapture::kCapMpeg4;
using kalmora::ipcapture::kCapPtz;
using kalmora::ipcapture::kCapVideoInputs;

struct ResolutionEntry {
  std::string name;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t frame_interval_ms = 0;
};

struct FrameIntervals {
  std::optional<std::uint32_t> default_ms;
  std::vector<std::uint32_t> intervals_ms;
};

struct ProposedParameter {
  std::string name;
  std::string value;
  std::int32_t kind = 0;  // 0 numeric, 1 text
  std::int32_t option = 0;
};

// Everything the driver published, copied out of its borrowed texts.
struct CapabilityReport {
  std::string model;
  std::map<std::int32_t, std::int32_t> capabilities;
  std::map<std::int32_t, std::string> connection;  // 1 host, 2 port, 3 user, 4 password
  std::map<std::int32_t, ProposedParameter> parameters;
  std::vector<ResolutionEntry> resolutions;
  std::map<std::int32_t, FrameIntervals> frame_intervals;
};

// The host's sink and results objects of one capability query. The driver calls them from its
// query thread; the command's thread waits for the outcome and reads Report(). The objects the
// getters hand out live as long as the recorder, which outlives UninitCapabilityQuery.
class CapabilityRecorder final : public kalmora::ipcapture::ICapabilityQuerySink,
                                 public kalmora::ipcapture::ICapabilityResults {
 public:
  struct Outcome {
    bool completed = false;
    std::int32_t error_code = 0;
    std::string message;
  };

  CapabilityRecorder();
  CapabilityRecorder(const CapabilityRecorder&) = delete;
  CapabilityRecorder& operator=(const CapabilityRecorder&) = delete;

  // Sink.
  void Reserved2() override {}
  void Completed() override;
  void Failed(std::int32_t error_code, const char* message) override;

  // Results.
  void SetCapability(std::int32_t id, std::int32_t value) override;
  void SetModelName(const char* name) override;
  kalmora::ipcapture::IResultText* GetConnectionField(std::int32_t index) override;
  void Reserved5() override {}
  kalmora::ipcapture::IResultParameter* GetParameter(std::int32_t index) override;
  kalmora::ipcapture::IResolutionList* GetResolutionList() override { return &resolutions_; }
  void Reserved8() override {}
  kalmora::ipcapture::IFrameIntervalList* GetFrameIntervalList(std::int32_t which) override;

  // The first Completed or Failed, once it arrives before the deadline; nullopt otherwise.
  std::optional<Outcome> WaitOutcome(std::chrono::steady_clock::time_point deadline);
  std::optional<Outcome> outcome() const;
  CapabilityReport Report() const;

 private:
  // Each result object writes into report_ under the recorder's lock.
  class Text final : public kalmora::ipcapture::IResultText {
   public:
    Text(CapabilityRecorder& owner, std::int32_t index) : owner_(owner), index_(index) {}
    void SetText(const char* text) override;

   private:
    CapabilityRecorder& owner_;
    std::int32_t index_;
  };
  class Parameter final : public kalmora::ipcapture::IResultParameter {
   public:
    Parameter(CapabilityRecorder& owner, std::int32_t index) : owner_(owner), index_(index) {}
    void SetValue(const char* value) override;
    void Reserved3() override {}
    void Reserved4() override {}
    void SetKind(std::int32_t kind) override;
    void SetName(const char* name) override;
    void SetOption(std::int32_t option) override;

   private:
    CapabilityRecorder& owner_;
    std::int32_t index_;
  };
  class Resolutions final : public kalmora::ipcapture::IResolutionList {
   public:
    explicit Resolutions(CapabilityRecorder& owner) : owner_(owner) {}
    void Add(const char* name, std::int32_t width, std::int32_t height, std::int32_t frame_interval_ms) override;

   private:
    CapabilityRecorder& owner_;
  };
  class Intervals final : public kalmora::ipcapture::IFrameIntervalList {
   public:
    Intervals(CapabilityRecorder& owner, std::int32_t which) : owner_(owner), which_(which) {}
    void SetDefault(std::uint32_t interval_ms) override;
    void Add(std::uint32_t interval_ms) override;

   private:
    CapabilityRecorder& owner_;
    std::int32_t which_;
  };

  mutable std::mutex mutex_;
  std::condition_variable outcome_changed_;
  CapabilityReport report_;           // guarded by mutex_
  std::optional<Outcome> outcome_;    // guarded by mutex_
  // Handed out once per index and kept until the recorder goes; std::map keeps them in place.
  std::map<std::int32_t, Text> texts_;               // guarded by mutex_
  std::map<std::int32_t, Parameter> parameters_;     // guarded by mutex_
  std::map<std::int32_t, Intervals> interval_lists_;  // guarded by mutex_
  Resolutions resolutions_;
};

// The borrowed text as a string; null is empty.
inline std::string CopyText(const char* text) { return text != nullptr ? std::string(text) : std::string(); }

}  // namespace tessavirn_host
