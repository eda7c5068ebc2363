// A thread object whose body is a virtual operation. Stopping is always cooperative: the body
// is told to end by its subclass's own means and WaitForExit joins it; nothing here kills a
// thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace kalmora::thread {

// Start, WaitForExit and the destructor are called by one controlling thread at a time, and
// WaitForExit also by the body itself; ThreadFunction runs on the thread that Start creates.
//
// A subclass whose body uses its own members must end the thread (through its stop operation or
// WaitForExit) in its own destructor: by the time this destructor runs the subclass part is
// gone. The destructor still joins a thread left running, so no thread outlives the object.
class CSimpleThread {
 public:
  CSimpleThread();
  virtual ~CSimpleThread();
  CSimpleThread(const CSimpleThread&) = delete;
  CSimpleThread& operator=(const CSimpleThread&) = delete;

  // False, changing nothing, while a thread is held (running, or ended but not yet waited
  // for); false also when the thread cannot be created. `name` is stored and, cut to 15
  // characters, given to the operating system as the thread's name.
  bool Start(const char* name);

  // Joins the thread without time limit and releases it; always true. Called by the thread
  // itself it cannot join: it only gives the thread up, so that HasThread is false and Start
  // may run a new one. Such a released thread is joined by the next Start, WaitForExit or
  // destructor called from another thread, so the object is never destroyed under it.
  bool WaitForExit();

  bool HasThread() const;
  // Set by Start; for the controlling thread, and for the body once it runs.
  const std::string& GetName() const { return name_; }
  // Kernel id of the thread last started, 0 before the first start.
  std::uint32_t GetThreadId() const { return thread_id_.load(std::memory_order_acquire); }

 protected:
  // The thread body; its result is ignored. An exception that leaves it ends the thread
  // quietly instead of the process.
  virtual unsigned ThreadFunction() = 0;

 private:
  void Run(const std::string& os_name);
  // Joins a thread that released itself, unless that is the calling thread.
  void JoinReleasedThread();

  std::string name_;
  std::atomic<std::uint32_t> thread_id_{0};
  // Guards the two handles, which the controlling thread and the body both reach.
  mutable std::mutex handle_mutex_;
  std::thread thread_;
  std::thread released_;  // Given up by its own WaitForExit, not yet joined.
};

}  // namespace kalmora::thread
