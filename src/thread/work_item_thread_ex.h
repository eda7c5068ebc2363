// A thread that runs queued work items one at a time, first in, first out, with an optional
// cap on the queue length (the PTZ command thread derives from it: a newer command makes older
// ones pointless). Items offered while it is stopped are deleted here.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>

#include "thread/event.h"
#include "thread/simple_thread.h"
#include "thread/spin_wait_lock.h"

namespace kalmora {

// Start, Stop and the destructor belong to the controlling thread; AddWorkItem may be called
// from any thread; HandleWorkItem runs on the worker thread with no lock held.
//
// A subclass calls Stop in its own destructor: HandleWorkItem must not run once the subclass
// part is destroyed. The destructor here stops a thread still running, as a last resort.
class CWorkItemThreadEx : public thread::CSimpleThread {
 public:
  // A queued command. The queue owns the items in it and deletes each after handling it.
  class IWorkItem {
   public:
    virtual ~IWorkItem() = default;
  };

  CWorkItemThreadEx();
  ~CWorkItemThreadEx() override;

  // Deletes every queued item unhandled.
  virtual void ClearQueue();
  // False, changing nothing, while a thread exists; false when the thread cannot be created.
  virtual bool Start(const char* name);
  // Refuses new items, deletes the queued ones unhandled, wakes the worker and joins it (after
  // the item in hand, if any, is finished).
  virtual void Stop();
  // Takes ownership of `item` in every case. While stopped the item is deleted and false
  // returned. Otherwise, when `max_length` is not 0, items are deleted so that the queue holds
  // at most `max_length` items with this one appended: the oldest droppable one each time, or
  // the oldest of all when none is droppable; 0 means no limit.
  virtual bool AddWorkItem(IWorkItem* item, std::uint32_t max_length);

 protected:
  unsigned ThreadFunction() override;
  virtual void HandleWorkItem(IWorkItem* item) = 0;
  // Whether a full queue may drop the item before others; called with the queue locked, so it
  // only looks at the item.
  virtual bool IsDroppable(const IWorkItem& /*item*/) const { return true; }

 private:
  static constexpr std::uint32_t kWakeWaitMs = 1000;

  std::unique_ptr<IWorkItem> TakeNextWorkItem();

  CAutoResetEvent wake_event_;
  // Written by the controlling thread, read by the worker, which notices a clear flag within
  // kWakeWaitMs even when not woken.
  std::atomic<bool> running_{false};
  CSpinWaitLock queue_lock_;
  std::list<std::unique_ptr<IWorkItem>> queue_;  // Guarded by queue_lock_.
};

}  // namespace kalmora
