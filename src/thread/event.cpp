#include "thread/event.h"

#include <chrono>

namespace kalmora {

CEventBase::CEventBase(ResetMode mode) : mode_(mode) {}

CEventBase::~CEventBase() = default;

bool CEventBase::Wait(std::uint32_t milliseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto is_signalled = [this] { return signalled_; };
  if (milliseconds == kInfinite) {
    signal_.wait(lock, is_signalled);
  } else if (!signal_.wait_for(lock, std::chrono::milliseconds(milliseconds), is_signalled)) {
    return false;
  }
  if (mode_ == ResetMode::kAuto) {
    signalled_ = false;
  }
  return true;
}

bool CEventBase::Set() {
  // Notified with the mutex held: a waiter that wakes and destroys the event cannot do so while
  // this thread still touches the condition variable.
  std::lock_guard<std::mutex> lock(mutex_);
  signalled_ = true;
  if (mode_ == ResetMode::kAuto) {
    signal_.notify_one();
  } else {
    signal_.notify_all();
  }
  return true;
}

bool CEventBase::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  signalled_ = false;
  return true;
}

CEvent::CEvent() : CEventBase(ResetMode::kManual) {}
CEvent::~CEvent() = default;

CManualEvent::CManualEvent() = default;
CManualEvent::~CManualEvent() = default;

CAutoResetEvent::CAutoResetEvent() : CEventBase(ResetMode::kAuto) {}
CAutoResetEvent::~CAutoResetEvent() = default;

}  // namespace kalmora
