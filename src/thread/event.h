// Events: a boolean signal that threads wait on with a time limit, on a mutex and a condition
// variable. CEvent and CManualEvent stay signalled until reset; CAutoResetEvent hands each
// signal to exactly one waiter.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kalmora {

// Shared machinery of the two reset modes. Every operation may be called from any thread; the
// owner must make sure no thread is still inside Wait when the event is destroyed.
class CEventBase {
 public:
  // A wait time that never runs out.
  static constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

  CEventBase(const CEventBase&) = delete;
  CEventBase& operator=(const CEventBase&) = delete;
  virtual ~CEventBase();

  // True when the event was signalled within `milliseconds`, false on time-out. An auto-reset
  // event is reset by the successful wait.
  bool Wait(std::uint32_t milliseconds);
  // Both return true: with no operating-system handle behind them they cannot fail.
  bool Set();
  bool Reset();

 protected:
  enum class ResetMode { kManual, kAuto };
  explicit CEventBase(ResetMode mode);

 private:
  const ResetMode mode_;
  std::mutex mutex_;
  std::condition_variable signal_;
  bool signalled_ = false;  // Guarded by mutex_.
};

// Manual-reset event, created non-signalled.
class CEvent : public CEventBase {
 public:
  CEvent();
  ~CEvent() override;
};

class CManualEvent : public CEvent {
 public:
  CManualEvent();
  ~CManualEvent() override;
};

// Auto-reset event, created non-signalled: the stop and wake events of the thread classes.
class CAutoResetEvent : public CEventBase {
 public:
  CAutoResetEvent();
  ~CAutoResetEvent() override;
};

}  // namespace kalmora
