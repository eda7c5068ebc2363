#include <pthread.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "thread/event.h"
#include "thread/simple_thread.h"
#include "thread/ticker_thread.h"

namespace kalmora::thread {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr std::uint32_t kGenerousWaitMs = 10000;

template <typename Predicate>
bool WaitUntil(Predicate done) {
  const auto deadline = steady_clock::now() + milliseconds(kGenerousWaitMs);
  while (!done()) {
    if (steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(milliseconds(1));
  }
  return true;
}

// True once the kernel thread has ended: shows that a thread which released itself ended on its
// own, without anyone joining it.
bool WaitUntilThreadGone(std::uint32_t thread_id) {
  const std::string task = "/proc/self/task/" + std::to_string(thread_id);
  return WaitUntil([&] { return access(task.c_str(), F_OK) != 0; });
}

// Runs until released; records what the body saw of its own thread.
class GatedThread : public CSimpleThread {
 public:
  ~GatedThread() override {
    release_.Set();
    WaitForExit();
  }

  void Release() { release_.Set(); }
  int runs() const { return runs_; }
  std::uint32_t seen_thread_id() const { return seen_thread_id_; }
  std::string seen_os_name() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_os_name_;
  }

 protected:
  unsigned ThreadFunction() override {
    char os_name[16] = {};
    pthread_getname_np(pthread_self(), os_name, sizeof(os_name));
    {
      std::lock_guard<std::mutex> lock(mutex_);
      seen_os_name_ = os_name;
    }
    seen_thread_id_ = static_cast<std::uint32_t>(gettid());
    ++runs_;
    release_.Wait(kGenerousWaitMs);
    return 0;
  }

 private:
  CManualEvent release_;
  mutable std::mutex mutex_;
  std::string seen_os_name_;
  std::atomic<std::uint32_t> seen_thread_id_{0};
  std::atomic<int> runs_{0};
};

TEST(SimpleThreadTest, StartRunsTheBodyAndWaitForExitJoinsIt) {
  GatedThread thread;
  EXPECT_FALSE(thread.HasThread());
  ASSERT_TRUE(thread.Start("worker"));
  EXPECT_TRUE(thread.HasThread());
  EXPECT_EQ(thread.GetName(), "worker");
  thread.Release();
  EXPECT_TRUE(thread.WaitForExit());
  // Joined: the body has run to its end.
  EXPECT_EQ(thread.runs(), 1);
  EXPECT_FALSE(thread.HasThread());
}

TEST(SimpleThreadTest, SecondStartIsRefusedAndChangesNothing) {
  GatedThread thread;
  ASSERT_TRUE(thread.Start("first"));
  const std::uint32_t id = thread.GetThreadId();
  EXPECT_FALSE(thread.Start("second"));
  EXPECT_EQ(thread.GetName(), "first");
  EXPECT_EQ(thread.GetThreadId(), id);
  thread.Release();
  thread.WaitForExit();
  EXPECT_EQ(thread.runs(), 1);
}

TEST(SimpleThreadTest, CanBeStartedAgainAfterWaitForExit) {
  GatedThread thread;
  ASSERT_TRUE(thread.Start("worker"));
  thread.Release();
  thread.WaitForExit();
  ASSERT_TRUE(thread.Start("worker again"));
  thread.WaitForExit();
  EXPECT_EQ(thread.runs(), 2);
  EXPECT_EQ(thread.GetName(), "worker again");
}

TEST(SimpleThreadTest, WaitForExitWithoutThreadReturnsTrue) {
  GatedThread thread;
  EXPECT_TRUE(thread.WaitForExit());
}

TEST(SimpleThreadTest, ThreadIdIsTheWorkersKernelId) {
  GatedThread thread;
  EXPECT_EQ(thread.GetThreadId(), 0u);
  ASSERT_TRUE(thread.Start("worker"));
  ASSERT_TRUE(WaitUntil([&] { return thread.runs() == 1; }));
  EXPECT_EQ(thread.GetThreadId(), thread.seen_thread_id());
  EXPECT_NE(thread.GetThreadId(), static_cast<std::uint32_t>(gettid()));
  thread.Release();
  thread.WaitForExit();
}

TEST(SimpleThreadTest, OsNameIsTheStoredNameCutTo15Characters) {
  GatedThread thread;
  ASSERT_TRUE(thread.Start("Digital Output thread"));
  ASSERT_TRUE(WaitUntil([&] { return thread.runs() == 1; }));
  EXPECT_EQ(thread.seen_os_name(), "Digital Output ");
  EXPECT_EQ(thread.GetName(), "Digital Output thread");
  thread.Release();
  thread.WaitForExit();
}

// Calls WaitForExit on itself, which must not deadlock.
class SelfWaitingThread : public CSimpleThread {
 public:
  ~SelfWaitingThread() override { WaitForExit(); }

  CManualEvent done;
  std::atomic<bool> result{false};
  std::atomic<int> runs{0};

 protected:
  unsigned ThreadFunction() override {
    ++runs;
    result = WaitForExit();
    done.Set();
    return 0;
  }
};

TEST(SimpleThreadTest, WaitForExitFromTheThreadItselfDoesNotWait) {
  SelfWaitingThread thread;
  ASSERT_TRUE(thread.Start("self"));
  ASSERT_TRUE(thread.done.Wait(kGenerousWaitMs));
  EXPECT_TRUE(thread.result);
  EXPECT_FALSE(thread.HasThread());
  EXPECT_TRUE(WaitUntilThreadGone(thread.GetThreadId()));
}

TEST(SimpleThreadTest, ThreadThatReleasedItselfCanBeFollowedByANewOne) {
  SelfWaitingThread thread;
  ASSERT_TRUE(thread.Start("self"));
  ASSERT_TRUE(thread.done.Wait(kGenerousWaitMs));
  thread.done.Reset();
  ASSERT_TRUE(thread.Start("self again"));
  ASSERT_TRUE(thread.done.Wait(kGenerousWaitMs));
  EXPECT_EQ(thread.runs, 2);
  // The destructor joins the second one.
}

class ThrowingThread : public CSimpleThread {
 public:
  ~ThrowingThread() override { WaitForExit(); }
  std::atomic<bool> entered{false};

 protected:
  unsigned ThreadFunction() override {
    entered = true;
    throw std::runtime_error("body failed");
  }
};

TEST(SimpleThreadTest, ExceptionFromTheBodyEndsOnlyTheThread) {
  ThrowingThread thread;
  ASSERT_TRUE(thread.Start("thrower"));
  EXPECT_TRUE(thread.WaitForExit());
  EXPECT_TRUE(thread.entered);
}

// Records when each tick happened.
class RecordingTicker : public CTickerThread {
 public:
  explicit RecordingTicker(std::uint32_t period_ms) { period_ms_ = period_ms; }
  ~RecordingTicker() override { Stop(); }

  std::size_t ticks() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ticks_.size();
  }
  steady_clock::time_point first_tick() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ticks_.front();
  }
  std::uint32_t period() const { return period_ms_; }

 protected:
  void OnTick() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ticks_.push_back(steady_clock::now());
  }

 private:
  mutable std::mutex mutex_;
  std::vector<steady_clock::time_point> ticks_;
};

class DefaultTicker : public CTickerThread {
 public:
  std::uint32_t period() const { return period_ms_; }

 protected:
  void OnTick() override {}
};

TEST(TickerThreadTest, DefaultPeriodIsTwoSeconds) {
  DefaultTicker ticker;
  EXPECT_EQ(ticker.period(), 2000u);
}

TEST(TickerThreadTest, StopWithoutStartReturnsTrue) {
  RecordingTicker ticker(20);
  EXPECT_TRUE(ticker.Stop());
  EXPECT_FALSE(ticker.HasThread());
}

TEST(TickerThreadTest, FirstTickComesOnePeriodAfterStart) {
  RecordingTicker ticker(20);
  const auto started = steady_clock::now();
  ASSERT_TRUE(ticker.Start("ticker"));
  ASSERT_TRUE(WaitUntil([&] { return ticker.ticks() >= 1; }));
  EXPECT_GE(ticker.first_tick() - started, milliseconds(20));
  EXPECT_TRUE(ticker.Stop());
}

TEST(TickerThreadTest, TicksRepeatUntilStopped) {
  RecordingTicker ticker(20);
  ASSERT_TRUE(ticker.Start("ticker"));
  ASSERT_TRUE(WaitUntil([&] { return ticker.ticks() >= 3; }));
  EXPECT_TRUE(ticker.Stop());
  EXPECT_FALSE(ticker.HasThread());
  const std::size_t after_stop = ticker.ticks();
  std::this_thread::sleep_for(milliseconds(60));
  EXPECT_EQ(ticker.ticks(), after_stop);
}

TEST(TickerThreadTest, StopWakesAWaitingTickerBeforeItsFirstTick) {
  RecordingTicker ticker(60000);
  ASSERT_TRUE(ticker.Start("slow ticker"));
  const auto stopping = steady_clock::now();
  EXPECT_TRUE(ticker.Stop());
  // Far below the period: Stop did not wait for a tick to come round.
  EXPECT_LT(steady_clock::now() - stopping, milliseconds(30000));
  EXPECT_EQ(ticker.ticks(), 0u);
}

TEST(TickerThreadTest, SecondStartIsRefusedAndChangesNothing) {
  RecordingTicker ticker(60000);
  ASSERT_TRUE(ticker.Start("first"));
  const std::uint32_t id = ticker.GetThreadId();
  EXPECT_FALSE(ticker.Start("second"));
  EXPECT_EQ(ticker.GetName(), "first");
  EXPECT_EQ(ticker.GetThreadId(), id);
  EXPECT_TRUE(ticker.Stop());
}

TEST(TickerThreadTest, RestartsAfterStop) {
  RecordingTicker ticker(20);
  ASSERT_TRUE(ticker.Start("ticker"));
  ASSERT_TRUE(ticker.Stop());
  // A Stop of the previous run must not end the new one at once.
  ASSERT_TRUE(ticker.Start("ticker"));
  const std::size_t before = ticker.ticks();
  EXPECT_TRUE(WaitUntil([&] { return ticker.ticks() >= before + 2; }));
  EXPECT_TRUE(ticker.Stop());
}

// Stops itself from its first tick.
class SelfStoppingTicker : public CTickerThread {
 public:
  SelfStoppingTicker() { period_ms_ = 10; }
  ~SelfStoppingTicker() override { Stop(); }

  std::atomic<int> ticks{0};
  std::atomic<bool> stop_result{false};
  CManualEvent stopped;

 protected:
  void OnTick() override {
    ++ticks;
    stop_result = Stop();
    stopped.Set();
  }
};

TEST(TickerThreadTest, StopFromOnTickEndsTheThreadAfterThatTick) {
  SelfStoppingTicker ticker;
  ASSERT_TRUE(ticker.Start("self stopper"));
  ASSERT_TRUE(ticker.stopped.Wait(kGenerousWaitMs));
  EXPECT_TRUE(ticker.stop_result);
  // The thread ends on its own, without another tick.
  ASSERT_TRUE(WaitUntilThreadGone(ticker.GetThreadId()));
  EXPECT_EQ(ticker.ticks, 1);
  EXPECT_FALSE(ticker.HasThread());
}

class ThrowingTicker : public CTickerThread {
 public:
  ThrowingTicker() { period_ms_ = 10; }
  ~ThrowingTicker() override { Stop(); }
  std::atomic<int> ticks{0};

 protected:
  void OnTick() override {
    ++ticks;
    throw std::runtime_error("tick failed");
  }
};

TEST(TickerThreadTest, ThrowingTickDoesNotEndTheTicker) {
  ThrowingTicker ticker;
  ASSERT_TRUE(ticker.Start("thrower"));
  EXPECT_TRUE(WaitUntil([&] { return ticker.ticks >= 3; }));
  EXPECT_TRUE(ticker.Stop());
}

}  // namespace
}  // namespace kalmora::thread
