#include "thread/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace kalmora {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Long enough never to run out on a loaded machine when the event is set.
constexpr std::uint32_t kGenerousWaitMs = 10000;

TEST(EventTest, WaitTimesOutWhenNotSet) {
  CEvent event;
  const auto start = steady_clock::now();
  EXPECT_FALSE(event.Wait(20));
  // A time-out never comes early.
  EXPECT_GE(steady_clock::now() - start, milliseconds(20));
}

TEST(EventTest, ZeroWaitPollsTheState) {
  CEvent event;
  EXPECT_FALSE(event.Wait(0));
  ASSERT_TRUE(event.Set());
  EXPECT_TRUE(event.Wait(0));
}

TEST(EventTest, ManualEventStaysSetUntilReset) {
  CManualEvent event;
  ASSERT_TRUE(event.Set());
  EXPECT_TRUE(event.Wait(0));
  EXPECT_TRUE(event.Wait(0));
  EXPECT_TRUE(event.Wait(CEventBase::kInfinite));
  ASSERT_TRUE(event.Reset());
  EXPECT_FALSE(event.Wait(0));
}

TEST(EventTest, WaitReturnsWhenSetFromAnotherThread) {
  CEvent event;
  std::atomic<bool> woke{false};
  std::thread waiter([&] { woke = event.Wait(kGenerousWaitMs); });
  event.Set();
  waiter.join();
  EXPECT_TRUE(woke);
}

TEST(EventTest, ManualSetReleasesEveryWaiter) {
  CManualEvent event;
  constexpr int kWaiters = 4;
  std::atomic<int> woke{0};
  std::thread waiters[kWaiters];
  for (auto& waiter : waiters) {
    waiter = std::thread([&] {
      if (event.Wait(kGenerousWaitMs)) {
        ++woke;
      }
    });
  }
  event.Set();
  for (auto& waiter : waiters) {
    waiter.join();
  }
  EXPECT_EQ(woke, kWaiters);
}

TEST(AutoResetEventTest, SuccessfulWaitConsumesTheSignal) {
  CAutoResetEvent event;
  EXPECT_FALSE(event.Wait(0));
  ASSERT_TRUE(event.Set());
  EXPECT_TRUE(event.Wait(0));
  EXPECT_FALSE(event.Wait(0));
}

TEST(AutoResetEventTest, SignalsDoNotAccumulate) {
  CAutoResetEvent event;
  event.Set();
  event.Set();
  EXPECT_TRUE(event.Wait(0));
  EXPECT_FALSE(event.Wait(0));
}

TEST(AutoResetEventTest, ResetDropsAPendingSignal) {
  CAutoResetEvent event;
  event.Set();
  ASSERT_TRUE(event.Reset());
  EXPECT_FALSE(event.Wait(0));
}

TEST(AutoResetEventTest, EachSignalReleasesOneWaiter) {
  CAutoResetEvent event;
  constexpr int kWaiters = 3;
  std::atomic<int> woke{0};
  std::thread waiters[kWaiters];
  for (auto& waiter : waiters) {
    waiter = std::thread([&] {
      if (event.Wait(kGenerousWaitMs)) {
        ++woke;
      }
    });
  }
  // One Set per waiter, each after the previous one was consumed, so none can merge.
  for (int released = 1; released <= kWaiters; ++released) {
    event.Set();
    const auto deadline = steady_clock::now() + milliseconds(kGenerousWaitMs);
    while (woke < released && steady_clock::now() < deadline) {
      std::this_thread::sleep_for(milliseconds(1));
    }
    EXPECT_EQ(woke, released);
  }
  for (auto& waiter : waiters) {
    waiter.join();
  }
  EXPECT_FALSE(event.Wait(0));
}

}  // namespace
}  // namespace kalmora
