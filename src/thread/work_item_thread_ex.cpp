#include "thread/work_item_thread_ex.h"

#include <algorithm>
#include <new>

namespace kalmora {

CWorkItemThreadEx::CWorkItemThreadEx() = default;

CWorkItemThreadEx::~CWorkItemThreadEx() {
  if (running_) {
    CWorkItemThreadEx::Stop();
  }
  // Joins a thread that stopped itself; the base destructor would too, but after the queue and
  // the wake event it uses are gone.
  WaitForExit();
}

void CWorkItemThreadEx::ClearQueue() {
  // One removal per lock hold, the item deleted outside it: an item's destructor may be slow.
  for (;;) {
    std::unique_ptr<IWorkItem> item = TakeNextWorkItem();
    if (!item) {
      return;
    }
  }
}

bool CWorkItemThreadEx::Start(const char* name) {
  if (HasThread()) {
    return false;
  }
  running_ = true;
  if (!CSimpleThread::Start(name)) {
    // No worker to hand items to: keep deleting them.
    running_ = false;
    return false;
  }
  return true;
}

void CWorkItemThreadEx::Stop() {
  running_ = false;
  ClearQueue();
  wake_event_.Set();
  WaitForExit();
}

bool CWorkItemThreadEx::AddWorkItem(IWorkItem* item, std::uint32_t max_length) {
  std::unique_ptr<IWorkItem> owned(item);
  if (!owned) {
    return false;
  }
  // Dropped items are deleted after the lock is released.
  std::list<std::unique_ptr<IWorkItem>> dropped;
  {
    CSpinWaitLockGuard guard(queue_lock_);
    // Checked under the lock: Stop clears the flag before it empties the queue, so no item can
    // slip in behind a Stop.
    if (!running_) {
      return false;
    }
    if (max_length != 0) {
      while (queue_.size() >= max_length) {
        auto victim = std::find_if(queue_.begin(), queue_.end(),
                                   [this](const std::unique_ptr<IWorkItem>& queued) { return IsDroppable(*queued); });
        if (victim == queue_.end()) victim = queue_.begin();
        dropped.splice(dropped.end(), queue_, victim);
      }
    }
    try {
      queue_.push_back(std::move(owned));
    } catch (const std::bad_alloc&) {
      return false;  // `owned` still holds the item and deletes it.
    }
  }
  wake_event_.Set();
  return true;
}

std::unique_ptr<CWorkItemThreadEx::IWorkItem> CWorkItemThreadEx::TakeNextWorkItem() {
  CSpinWaitLockGuard guard(queue_lock_);
  if (queue_.empty()) {
    return nullptr;
  }
  std::unique_ptr<IWorkItem> item = std::move(queue_.front());
  queue_.pop_front();
  return item;
}

unsigned CWorkItemThreadEx::ThreadFunction() {
  while (running_) {
    if (!wake_event_.Wait(kWakeWaitMs)) {
      continue;
    }
    for (;;) {
      std::unique_ptr<IWorkItem> item = TakeNextWorkItem();
      if (!item) {
        break;
      }
      try {
        HandleWorkItem(item.get());
      } catch (...) {
        // A failed command must not end the thread or hold up the commands behind it.
      }
      item.reset();
      if (!running_) {
        return 0;  // Items still queued are deleted by Stop or the destructor.
      }
    }
  }
  return 0;
}

}  // namespace kalmora
