#include "thread/ticker_thread.h"

#include <new>

namespace kalmora::thread {

CTickerThread::CTickerThread() = default;

CTickerThread::~CTickerThread() {
  // Normally a no-op: the subclass has stopped the thread already.
  Stop();
}

bool CTickerThread::Start(const char* name) {
  if (HasThread()) {
    return false;
  }
  if (!stop_event_) {
    stop_event_ = std::unique_ptr<CAutoResetEvent>(new (std::nothrow) CAutoResetEvent());
    if (!stop_event_) {
      return false;
    }
  }
  // A Stop that came after the last thread had already ended must not end this one.
  stop_event_->Reset();
  return CSimpleThread::Start(name);
}

bool CTickerThread::Stop() {
  if (!HasThread()) {
    WaitForExit();  // Joins a thread that stopped itself from OnTick.
    return true;
  }
  if (!stop_event_) {
    return false;
  }
  stop_event_->Set();
  WaitForExit();
  return true;
}

void CTickerThread::RequestStop() {
  // The event exists before any thread does: Start creates it first.
  if (stop_event_) {
    stop_event_->Set();
  }
}

unsigned CTickerThread::ThreadFunction() {
  while (!stop_event_->Wait(period_ms_)) {
    try {
      OnTick();
    } catch (...) {
      // One failed tick must not end the polling; the next tick tries again.
    }
  }
  return 0;
}

}  // namespace kalmora::thread
