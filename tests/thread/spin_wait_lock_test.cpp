#include "thread/spin_wait_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace kalmora {
namespace {

using std::chrono::milliseconds;

// Polls `done` for up to ten seconds; true once it holds.
template <typename Predicate>
bool WaitUntil(Predicate done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(milliseconds(1));
  }
  return true;
}

// Another thread that takes the lock once and reports when it has it.
class Contender {
 public:
  explicit Contender(CSpinWaitLock& lock)
      : thread_([this, &lock] {
          started_ = true;
          CSpinWaitLockGuard guard(lock);
          acquired_ = true;
        }) {}
  ~Contender() { thread_.join(); }

  bool WaitStarted() { return WaitUntil([this] { return started_.load(); }); }
  bool WaitAcquired() { return WaitUntil([this] { return acquired_.load(); }); }
  bool acquired() const { return acquired_; }

 private:
  std::atomic<bool> started_{false};
  std::atomic<bool> acquired_{false};
  std::thread thread_;
};

TEST(SpinWaitLockTest, SpinsOnlyOnSeveralProcessors) {
  CSpinWaitLock lock;
  const std::uint32_t expected = std::thread::hardware_concurrency() == 1 ? 0 : 4000;
  EXPECT_EQ(lock.GetSpinCount(), expected);
}

TEST(SpinWaitLockTest, RecursiveLockNeedsAsManyUnlocks) {
  constexpr int kDepth = 5;
  CSpinWaitLock lock;
  for (int i = 0; i < kDepth; ++i) {
    lock.Lock();
  }
  Contender contender(lock);
  ASSERT_TRUE(contender.WaitStarted());
  for (int i = 0; i < kDepth - 1; ++i) {
    lock.Unlock();
    // Long enough for the contender to have both spun out and gone to sleep on the lock.
    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_FALSE(contender.acquired()) << "released after " << i + 1 << " of " << kDepth;
  }
  lock.Unlock();
  EXPECT_TRUE(contender.WaitAcquired());
}

TEST(SpinWaitLockTest, OwnerCanRelockWhileOthersWait) {
  CSpinWaitLock lock;
  lock.Lock();
  Contender contender(lock);
  ASSERT_TRUE(contender.WaitStarted());
  std::this_thread::sleep_for(milliseconds(20));
  // The waiter is counted in the lock count; the owner's recursion must not be mistaken for it.
  lock.Lock();
  lock.Unlock();
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_FALSE(contender.acquired());
  lock.Unlock();
  EXPECT_TRUE(contender.WaitAcquired());
}

TEST(SpinWaitLockTest, ContendedCounterComesOutExact) {
  constexpr int kThreads = 8;
  constexpr int kIncrements = 20000;
  CSpinWaitLock lock;
  long counter = 0;  // Deliberately not atomic: only the lock keeps it consistent.
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&lock, &counter, t] {
      for (int i = 0; i < kIncrements; ++i) {
        CSpinWaitLockGuard guard(lock);
        // Every other thread also nests, so recursion runs under contention.
        if (t % 2 == 0) {
          CSpinWaitLockGuard nested(lock);
          ++counter;
        } else {
          ++counter;
        }
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(counter, static_cast<long>(kThreads) * kIncrements);
}

TEST(SpinWaitLockTest, GuardUnlocksWhenAnExceptionLeavesTheScope) {
  CSpinWaitLock lock;
  try {
    CSpinWaitLockGuard guard(lock);
    throw std::runtime_error("leave the scope");
  } catch (const std::runtime_error&) {
  }
  Contender contender(lock);
  const bool acquired = contender.WaitAcquired();
  EXPECT_TRUE(acquired);
  if (!acquired) {
    lock.Unlock();  // Let the contender finish so the test can end.
  }
}

}  // namespace
}  // namespace kalmora
