#include "thread/spin_wait_lock.h"

#include <unistd.h>

#include <cassert>

namespace kalmora {
namespace {

std::uint32_t CurrentThreadId() {
  // Kernel thread ids are positive, so 0 can stand for "no owner".
  thread_local const std::uint32_t id = static_cast<std::uint32_t>(gettid());
  return id;
}

bool IsSingleProcessor() {
  // Determined once per process, by the first lock constructed.
  static const bool single = sysconf(_SC_NPROCESSORS_ONLN) == 1;
  return single;
}

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace

CSpinWaitLock::CSpinWaitLock() { record_.spin_count = IsSingleProcessor() ? 0 : kSpinCount; }

CSpinWaitLock::~CSpinWaitLock() = default;

void CSpinWaitLock::Lock() {
  const std::uint32_t self = CurrentThreadId();
  for (std::uint32_t i = 0; i <= record_.spin_count; ++i) {
    std::uint32_t expected = 0;
    if (record_.lock_count.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                                   std::memory_order_relaxed)) {
      TakeOwnership(self);
      return;
    }
    // Only this thread ever stores its own id, so seeing it means this thread holds the lock.
    if (record_.owner_thread_id.load(std::memory_order_relaxed) == self) {
      record_.lock_count.fetch_add(1, std::memory_order_relaxed);
      ++record_.recursion_count;
      return;
    }
    CpuRelax();
  }
  if (record_.lock_count.fetch_add(1, std::memory_order_acquire) == 0) {
    TakeOwnership(self);
    return;
  }
  if (record_.owner_thread_id.load(std::memory_order_relaxed) == self) {
    ++record_.recursion_count;
    return;
  }
  // The count now includes this thread, so the holder's last Unlock releases the semaphore and
  // the lock passes straight to one waiter: spinners cannot take it meanwhile, as the count
  // never drops to 0 in between.
  waiters_.acquire();
  TakeOwnership(self);
}

void CSpinWaitLock::Unlock() {
  assert(record_.owner_thread_id.load(std::memory_order_relaxed) == CurrentThreadId());
  if (--record_.recursion_count > 0) {
    record_.lock_count.fetch_sub(1, std::memory_order_release);
    return;
  }
  record_.owner_thread_id.store(0, std::memory_order_relaxed);
  if (record_.lock_count.fetch_sub(1, std::memory_order_release) > 1) {
    waiters_.release();
  }
}

void CSpinWaitLock::TakeOwnership(std::uint32_t self) {
  record_.owner_thread_id.store(self, std::memory_order_relaxed);
  record_.recursion_count = 1;
}

}  // namespace kalmora
