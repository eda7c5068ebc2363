#include "thread/work_item_thread.h"

#include <new>

namespace kalmora::thread {

CWorkItemThread::CWorkItemThread() = default;

CWorkItemThread::~CWorkItemThread() {
  Stop();
  std::lock_guard<std::mutex> lock(queue_mutex_);
  wake_event_.reset();
}

bool CWorkItemThread::Start(const char* name) {
  if (HasThread()) {
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    if (!wake_event_) {
      wake_event_ = std::unique_ptr<CAutoResetEvent>(new (std::nothrow) CAutoResetEvent());
      if (!wake_event_) {
        return false;
      }
    }
  }
  running_ = true;
  if (!CSimpleThread::Start(name)) {
    // No worker to hand items to: keep refusing them.
    running_ = false;
    return false;
  }
  return true;
}

void CWorkItemThread::Stop() {
  RequestStop();
  WaitForExit();
}

void CWorkItemThread::RequestStop() {
  running_ = false;
  ClearQueue();
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    if (wake_event_) {
      wake_event_->Set();
    }
  }
}

bool CWorkItemThread::AddWorkItem(IWorkItem* item) {
  if (item == nullptr) {
    return false;
  }
  std::lock_guard<std::mutex> lock(queue_mutex_);
  // Checked under the lock: Stop clears the flag before it empties the queue under the same
  // lock, so no item can slip in behind a Stop.
  if (!running_ || !wake_event_) {
    return false;
  }
  try {
    // The node is allocated before the unique_ptr takes the item, so a failed allocation leaves
    // the item with the caller.
    queue_.emplace_back(item);
  } catch (const std::bad_alloc&) {
    return false;
  }
  OnWorkItemAdded(item, 0);
  wake_event_->Set();
  return true;
}

std::unique_ptr<CWorkItemThread::IWorkItem> CWorkItemThread::GetNextWorkItem() {
  std::lock_guard<std::mutex> lock(queue_mutex_);
  if (queue_.empty()) {
    return nullptr;
  }
  std::unique_ptr<IWorkItem> item = std::move(queue_.front());
  queue_.pop_front();
  OnWorkItemRemoved(item.get());
  return item;
}

void CWorkItemThread::ClearQueue() {
  std::lock_guard<std::mutex> lock(queue_mutex_);
  while (!queue_.empty()) {
    queue_.pop_front();
  }
  OnQueueCleared();
}

unsigned CWorkItemThread::ThreadFunction() {
  CAutoResetEvent* wake_event = nullptr;
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    wake_event = wake_event_.get();
  }
  while (running_) {
    if (!wake_event->Wait(kWakeWaitMs)) {
      continue;
    }
    for (;;) {
      std::unique_ptr<IWorkItem> item = GetNextWorkItem();
      if (!running_ || !item) {
        break;  // An item taken after Stop is deleted unhandled.
      }
      try {
        HandleWorkItem(item.get());
      } catch (...) {
        // A failed command must not end the thread or hold up the commands behind it.
      }
    }
  }
  ClearQueue();
  return 0;
}

void CWorkItemThread::OnWorkItemAdded(IWorkItem* /*item*/, std::uint32_t /*reserved*/) {}
void CWorkItemThread::OnWorkItemRemoved(IWorkItem* /*item*/) {}
void CWorkItemThread::OnQueueCleared() {}

}  // namespace kalmora::thread
