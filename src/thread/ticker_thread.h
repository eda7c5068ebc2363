// A thread that calls OnTick every period until it is stopped; the digital-input poller is one.
#pragma once

#include <cstdint>
#include <memory>

#include "thread/event.h"
#include "thread/simple_thread.h"

namespace kalmora::thread {

// Start, Stop and the destructor belong to the controlling thread; OnTick runs on the ticker
// thread. The period is measured from the end of one tick to the start of the next, so the
// first tick comes one period after Start and a long tick delays the following one.
//
// A subclass calls Stop in its own destructor: OnTick must not run once the subclass part is
// destroyed. The destructor here stops a thread left running, as a last resort.
class CTickerThread : public CSimpleThread {
 public:
  static constexpr std::uint32_t kDefaultPeriodMs = 2000;

  CTickerThread();
  ~CTickerThread() override;

  // False while a thread exists or when the stop event or thread cannot be created.
  bool Start(const char* name);
  // True at once when no thread exists; otherwise wakes the thread, joins it and returns true.
  // Stop from OnTick itself returns at once and the thread ends after that tick; it is joined
  // by the next Start or Stop from the controlling thread, or by the destructor.
  bool Stop();
  // Any thread: tells the thread to end after the tick in hand, without waiting for it. Stop or
  // WaitForExit from the controlling thread joins it later.
  void RequestStop();

 protected:
  unsigned ThreadFunction() override;
  virtual void OnTick() = 0;

  // Set by the subclass before Start; read by the ticker thread.
  std::uint32_t period_ms_ = kDefaultPeriodMs;

 private:
  // Created by the first Start, kept for later starts.
  std::unique_ptr<CAutoResetEvent> stop_event_;
};

}  // namespace kalmora::thread
