// A thread that runs queued work items one at a time, first in, first out (the digital-output
// side uses it). Items offered while it is stopped are refused and stay with the caller.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>

#include "thread/event.h"
#include "thread/simple_thread.h"

namespace kalmora::thread {

// Start, Stop and the destructor belong to the controlling thread; AddWorkItem may be called
// from any thread; HandleWorkItem runs on the worker thread without the queue lock held. The
// three hooks run with the queue lock held, on whichever thread changed the queue, so they must
// not wait for another thread that uses the queue.
//
// A subclass calls Stop in its own destructor: HandleWorkItem must not run once the subclass
// part is destroyed. The destructor here stops the thread as well.
class CWorkItemThread : public CSimpleThread {
 public:
  // A queued command. The queue owns the items in it and deletes each after handling it.
  class IWorkItem {
   public:
    virtual ~IWorkItem() = default;
  };

  CWorkItemThread();
  ~CWorkItemThread() override;

  // False while a thread exists or when the wake event or thread cannot be created.
  bool Start(const char* name);
  // Refuses new items, deletes the queued ones unhandled, wakes the worker and joins it (after
  // the item in hand, if any, is finished).
  void Stop();
  // Any thread: Stop without the join. The worker ends after the item in hand; Stop or
  // WaitForExit from the controlling thread joins it later.
  void RequestStop();
  // True when the item was queued: the thread owns it from then on. False, the item left with
  // the caller, when the thread is not running or the item is null.
  bool AddWorkItem(IWorkItem* item);

 protected:
  unsigned ThreadFunction() override;
  virtual void HandleWorkItem(IWorkItem* item) = 0;
  // Extension points; `reserved` is always 0.
  virtual void OnWorkItemAdded(IWorkItem* item, std::uint32_t reserved);
  virtual void OnWorkItemRemoved(IWorkItem* item);
  virtual void OnQueueCleared();

 private:
  static constexpr std::uint32_t kWakeWaitMs = 1000;

  std::unique_ptr<IWorkItem> GetNextWorkItem();
  void ClearQueue();

  std::mutex queue_mutex_;
  std::list<std::unique_ptr<IWorkItem>> queue_;  // Guarded by queue_mutex_.
  // Created by the first Start, kept for later starts. Guarded by queue_mutex_; the worker
  // reads it once when it starts, which is after Start created it.
  std::unique_ptr<CAutoResetEvent> wake_event_;
  // Written by the controlling thread, read by the worker, which notices a clear flag within
  // kWakeWaitMs even when not woken.
  std::atomic<bool> running_{false};
};

}  // namespace kalmora::thread
