#include "thread/simple_thread.h"

#include <pthread.h>
#include <unistd.h>

#include <exception>

namespace kalmora::thread {
namespace {

// The kernel keeps 15 characters of a thread name plus the terminator.
constexpr std::size_t kMaxOsNameLength = 15;

}  // namespace

CSimpleThread::CSimpleThread() = default;

CSimpleThread::~CSimpleThread() {
  // Only finds a thread when the subclass did not stop it; joining is still better than the
  // process termination that destroying a joinable std::thread means.
  WaitForExit();
  // Left only when the object is destroyed by its own thread, which runs on after this.
  std::lock_guard<std::mutex> lock(handle_mutex_);
  if (released_.joinable()) {
    released_.detach();
  }
}

bool CSimpleThread::Start(const char* name) {
  JoinReleasedThread();
  {
    std::lock_guard<std::mutex> lock(handle_mutex_);
    if (thread_.joinable()) {
      return false;
    }
    try {
      name_ = name != nullptr ? name : "";
      std::string os_name = name_.substr(0, kMaxOsNameLength);
      thread_id_.store(0, std::memory_order_relaxed);
      // Created with the lock held, so a body that calls WaitForExit at once finds thread_ set.
      thread_ = std::thread([this, os_name = std::move(os_name)] { Run(os_name); });
    } catch (const std::exception&) {
      // std::system_error when the thread cannot be created, std::bad_alloc for the name.
      return false;
    }
  }
  // The id is known only on the new thread; it publishes it before it runs the body.
  thread_id_.wait(0, std::memory_order_acquire);
  return true;
}

bool CSimpleThread::WaitForExit() {
  std::thread to_join;
  {
    std::lock_guard<std::mutex> lock(handle_mutex_);
    if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id()) {
      // Only possible when a released thread started a new one and released that too: the
      // older one can then no longer be joined by anyone who knows when it ends.
      if (released_.joinable()) {
        released_.detach();
      }
      released_ = std::move(thread_);
      return true;
    }
    to_join = std::move(thread_);
  }
  if (to_join.joinable()) {
    to_join.join();
  }
  JoinReleasedThread();
  return true;
}

bool CSimpleThread::HasThread() const {
  std::lock_guard<std::mutex> lock(handle_mutex_);
  return thread_.joinable();
}

void CSimpleThread::JoinReleasedThread() {
  std::thread to_join;
  {
    std::lock_guard<std::mutex> lock(handle_mutex_);
    if (released_.joinable() && released_.get_id() != std::this_thread::get_id()) {
      to_join = std::move(released_);
    }
  }
  if (to_join.joinable()) {
    to_join.join();
  }
}

void CSimpleThread::Run(const std::string& os_name) {
  // Best effort: the name only helps debuggers and ps.
  pthread_setname_np(pthread_self(), os_name.c_str());
  thread_id_.store(static_cast<std::uint32_t>(gettid()), std::memory_order_release);
  thread_id_.notify_all();
  try {
    ThreadFunction();
  } catch (...) {
    // Nothing may leave a thread of the library; the subclass has had its chance to report.
  }
}

}  // namespace kalmora::thread
