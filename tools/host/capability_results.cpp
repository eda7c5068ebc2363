#include "capability_results.h"

namespace tessavirn_host {

CapabilityRecorder::CapabilityRecorder() : resolutions_(*this) {}

void CapabilityRecorder::Completed() {
  std::lock_guard lock(mutex_);
  if (!outcome_) outcome_ = Outcome{true, 0, {}};
  outcome_changed_.notify_all();
}

void CapabilityRecorder::Failed(std::int32_t error_code, const char* message) {
  std::lock_guard lock(mutex_);
  if (!outcome_) outcome_ = Outcome{false, error_code, CopyText(message)};
  outcome_changed_.notify_all();
}

void CapabilityRecorder::SetCapability(std::int32_t id, std::int32_t value) {
  std::lock_guard lock(mutex_);
  report_.capabilities[id] = value;
}

void CapabilityRecorder::SetModelName(const char* name) {
  std::lock_guard lock(mutex_);
  report_.model = CopyText(name);
}

kalmora::ipcapture::IResultText* CapabilityRecorder::GetConnectionField(std::int32_t index) {
  std::lock_guard lock(mutex_);
  return &texts_.try_emplace(index, *this, index).first->second;
}

kalmora::ipcapture::IResultParameter* CapabilityRecorder::GetParameter(std::int32_t index) {
  std::lock_guard lock(mutex_);
  return &parameters_.try_emplace(index, *this, index).first->second;
}

kalmora::ipcapture::IFrameIntervalList* CapabilityRecorder::GetFrameIntervalList(std::int32_t which) {
  std::lock_guard lock(mutex_);
  return &interval_lists_.try_emplace(which, *this, which).first->second;
}

std::optional<CapabilityRecorder::Outcome> CapabilityRecorder::WaitOutcome(
    std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  outcome_changed_.wait_until(lock, deadline, [this] { return outcome_.has_value(); });
  return outcome_;
}

std::optional<CapabilityRecorder::Outcome> CapabilityRecorder::outcome() const {
  std::lock_guard lock(mutex_);
  return outcome_;
}

CapabilityReport CapabilityRecorder::Report() const {
  std::lock_guard lock(mutex_);
  return report_;
}

void CapabilityRecorder::Text::SetText(const char* text) {
  std::lock_guard lock(owner_.mutex_);
  owner_.report_.connection[index_] = CopyText(text);
}

void CapabilityRecorder::Parameter::SetValue(const char* value) {
  std::lock_guard lock(owner_.mutex_);
  owner_.report_.parameters[index_].value = CopyText(value);
}

void CapabilityRecorder::Parameter::SetKind(std::int32_t kind) {
  std::lock_guard lock(owner_.mutex_);
  owner_.report_.parameters[index_].kind = kind;
}

void CapabilityRecorder::Parameter::SetName(const char* name) {
  std::lock_guard lock(owner_.mutex_);
  owner_.report_.parameters[index_].name = CopyText(name);
}

void CapabilityRecorder::Parameter::SetOption(std::int32_t option) {
  std::lock_guard lock(owner_.mutex_);
  owner_.report_.parameters[index_].option = option;
}

void CapabilityRecorder::Resolutions::Add(const char* name, std::int32_t width, std::int32_t height,
                                          std::int32_t frame_interval_ms) {
  std::lock_guard lock(owner_.mutex_);
  owner_.report_.resolutions.push_back({CopyText(name), width, height, frame_interval_ms});
}

void CapabilityRecorder::Intervals::SetDefault(std::uint32_t interval_ms) {
  std::lock_guard lock(owner_.mutex_);
  owner_.report_.frame_intervals[which_].default_ms = interval_ms;
}

void CapabilityRecorder::Intervals::Add(std::uint32_t interval_ms) {
  std::lock_guard lock(owner_.mutex_);
  owner_.report_.frame_intervals[which_].intervals_ms.push_back(interval_ms);
}

}  // namespace tessavirn_host
