// Recursive lock that spins briefly before it sleeps: for short critical sections (channel
// table, work queues, streaming state) where the holder is usually about to release it.
#pragma once

#include <atomic>
#include <cstdint>
#include <semaphore>

namespace kalmora {

// Lock and Unlock may be called from any thread; Unlock only by the thread that holds the lock,
// once for every Lock it made. Take it through CSpinWaitLockGuard.
class CSpinWaitLock {
 public:
  static constexpr std::uint32_t kSpinCount = 4000;

  CSpinWaitLock();
  ~CSpinWaitLock();
  CSpinWaitLock(const CSpinWaitLock&) = delete;
  CSpinWaitLock& operator=(const CSpinWaitLock&) = delete;

  void Lock();
  void Unlock();

  // kSpinCount, or 0 on a single processor where spinning only delays the holder.
  std::uint32_t GetSpinCount() const { return record_.spin_count; }

 private:
  // lock_count counts the holder's acquisitions plus the threads waiting, so a non-zero count
  // means taken and the releasing thread can tell whether anyone sleeps on waiters_.
  struct LockRecord {
    std::uint32_t spin_count = 0;
    std::atomic<std::uint32_t> lock_count{0};
    std::atomic<std::uint32_t> owner_thread_id{0};  // Kernel thread id, 0 while free.
    std::uint32_t recursion_count = 0;               // Touched only by the owner.
  };

  void TakeOwnership(std::uint32_t self);

  LockRecord record_;
  // An unlock that finds waiters hands the lock to exactly one of them through this.
  std::counting_semaphore<> waiters_{0};
};

// Holds a CSpinWaitLock for its scope, released on every exit path including exceptions.
class CSpinWaitLockGuard {
 public:
  [[nodiscard]] explicit CSpinWaitLockGuard(CSpinWaitLock& lock) : lock_(lock) { lock_.Lock(); }
  ~CSpinWaitLockGuard() { lock_.Unlock(); }
  CSpinWaitLockGuard(const CSpinWaitLockGuard&) = delete;
  CSpinWaitLockGuard& operator=(const CSpinWaitLockGuard&) = delete;

 private:
  CSpinWaitLock& lock_;
};

}  // namespace kalmora
