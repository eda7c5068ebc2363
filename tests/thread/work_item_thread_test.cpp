#include "thread/work_item_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "thread/event.h"
#include "thread/work_item_thread_ex.h"

namespace kalmora {
namespace {

using std::chrono::milliseconds;

constexpr std::uint32_t kGenerousWaitMs = 10000;

template <typename Predicate>
bool WaitUntil(Predicate done) {
  const auto deadline = std::chrono::steady_clock::now() + milliseconds(kGenerousWaitMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(milliseconds(1));
  }
  return true;
}

// What happened to the items of one test, in order, shared by the items and the thread.
class Journal {
 public:
  void Handled(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    handled_.push_back(id);
  }
  void Deleted(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    deleted_.push_back(id);
  }
  std::vector<int> handled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return handled_;
  }
  std::vector<int> deleted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return deleted_;
  }
  std::size_t deleted_count() const { return deleted().size(); }
  std::size_t handled_count() const { return handled().size(); }

 private:
  mutable std::mutex mutex_;
  std::vector<int> handled_;
  std::vector<int> deleted_;
};

// How the test threads treat an item when they handle it.
enum class Action { kRecord, kThrow, kBlock };

// Item fields shared by the two item interfaces.
struct ItemData {
  ItemData(Journal& j, int i, Action a) : journal(j), id(i), action(a) {}
  Journal& journal;
  int id;
  Action action;
};

// Handles items for both thread classes: records them, throws, or blocks on `gate` (with the
// handling recorded first, so a test knows the worker is busy).
void HandleItem(const ItemData& item, CManualEvent& gate) {
  item.journal.Handled(item.id);
  if (item.action == Action::kThrow) {
    throw std::runtime_error("command failed");
  }
  if (item.action == Action::kBlock) {
    gate.Wait(kGenerousWaitMs);
  }
}

// ---- thread::CWorkItemThread ----

class Item : public thread::CWorkItemThread::IWorkItem, public ItemData {
 public:
  using ItemData::ItemData;
  ~Item() override { journal.Deleted(id); }
};

class TestWorkItemThread : public thread::CWorkItemThread {
 public:
  ~TestWorkItemThread() override {
    gate.Set();
    Stop();
  }

  CManualEvent gate;
  std::atomic<int> added{0};
  std::atomic<int> removed{0};
  std::atomic<int> cleared{0};
  std::atomic<bool> added_with_nonzero{false};

 protected:
  void HandleWorkItem(IWorkItem* item) override { HandleItem(*static_cast<Item*>(item), gate); }
  void OnWorkItemAdded(IWorkItem* /*item*/, std::uint32_t reserved) override {
    ++added;
    added_with_nonzero = added_with_nonzero || reserved != 0;
  }
  void OnWorkItemRemoved(IWorkItem* /*item*/) override { ++removed; }
  void OnQueueCleared() override { ++cleared; }
};

TEST(WorkItemThreadTest, ItemsAreHandledInOrderAndDeleted) {
  constexpr int kItems = 100;
  Journal journal;
  TestWorkItemThread thread;
  ASSERT_TRUE(thread.Start("Digital Output thread"));
  std::vector<int> expected;
  for (int i = 0; i < kItems; ++i) {
    ASSERT_TRUE(thread.AddWorkItem(new Item(journal, i, Action::kRecord)));
    expected.push_back(i);
  }
  ASSERT_TRUE(WaitUntil([&] { return journal.deleted_count() == kItems; }));
  EXPECT_EQ(journal.handled(), expected);
  EXPECT_EQ(journal.deleted(), expected);
  EXPECT_EQ(thread.added, kItems);
  EXPECT_EQ(thread.removed, kItems);
  EXPECT_FALSE(thread.added_with_nonzero);
  thread.Stop();
}

TEST(WorkItemThreadTest, ItemOfferedBeforeStartStaysWithTheCaller) {
  Journal journal;
  TestWorkItemThread thread;
  auto item = std::make_unique<Item>(journal, 1, Action::kRecord);
  EXPECT_FALSE(thread.AddWorkItem(item.get()));
  EXPECT_EQ(journal.deleted_count(), 0u);
  EXPECT_EQ(thread.added, 0);
}

TEST(WorkItemThreadTest, ItemOfferedAfterStopStaysWithTheCaller) {
  Journal journal;
  TestWorkItemThread thread;
  ASSERT_TRUE(thread.Start("worker"));
  thread.Stop();
  auto item = std::make_unique<Item>(journal, 1, Action::kRecord);
  EXPECT_FALSE(thread.AddWorkItem(item.get()));
  item.reset();
  // Only the caller's own delete.
  EXPECT_EQ(journal.deleted(), std::vector<int>{1});
  EXPECT_EQ(journal.handled_count(), 0u);
}

TEST(WorkItemThreadTest, NullItemIsRefused) {
  TestWorkItemThread thread;
  ASSERT_TRUE(thread.Start("worker"));
  EXPECT_FALSE(thread.AddWorkItem(nullptr));
  EXPECT_EQ(thread.added, 0);
  thread.Stop();
}

TEST(WorkItemThreadTest, SecondStartIsRefusedAndTheThreadKeepsWorking) {
  Journal journal;
  TestWorkItemThread thread;
  ASSERT_TRUE(thread.Start("first"));
  EXPECT_FALSE(thread.Start("second"));
  EXPECT_EQ(thread.GetName(), "first");
  ASSERT_TRUE(thread.AddWorkItem(new Item(journal, 1, Action::kRecord)));
  EXPECT_TRUE(WaitUntil([&] { return journal.deleted_count() == 1; }));
  EXPECT_EQ(journal.handled(), std::vector<int>{1});
  thread.Stop();
}

TEST(WorkItemThreadTest, ThrowingItemIsDeletedAndTheNextOneHandled) {
  Journal journal;
  TestWorkItemThread thread;
  ASSERT_TRUE(thread.Start("worker"));
  ASSERT_TRUE(thread.AddWorkItem(new Item(journal, 1, Action::kThrow)));
  ASSERT_TRUE(thread.AddWorkItem(new Item(journal, 2, Action::kRecord)));
  ASSERT_TRUE(WaitUntil([&] { return journal.deleted_count() == 2; }));
  EXPECT_EQ(journal.handled(), (std::vector<int>{1, 2}));
  EXPECT_EQ(journal.deleted(), (std::vector<int>{1, 2}));
  thread.Stop();
}

TEST(WorkItemThreadTest, StopDeletesQueuedItemsUnhandled) {
  Journal journal;
  TestWorkItemThread thread;
  ASSERT_TRUE(thread.Start("worker"));
  ASSERT_TRUE(thread.AddWorkItem(new Item(journal, 1, Action::kBlock)));
  ASSERT_TRUE(WaitUntil([&] { return journal.handled_count() == 1; }));
  for (int id = 2; id <= 4; ++id) {
    ASSERT_TRUE(thread.AddWorkItem(new Item(journal, id, Action::kRecord)));
  }
  const int cleared_before = thread.cleared;
  // Stop joins, so it runs beside the test until the blocked item is let go.
  std::thread stopper([&] { thread.Stop(); });
  EXPECT_TRUE(WaitUntil([&] { return journal.deleted_count() == 3; }));
  EXPECT_EQ(journal.deleted(), (std::vector<int>{2, 3, 4}));
  EXPECT_GT(thread.cleared, cleared_before);
  thread.gate.Set();
  stopper.join();
  EXPECT_EQ(journal.handled(), std::vector<int>{1});
  EXPECT_EQ(journal.deleted(), (std::vector<int>{2, 3, 4, 1}));
  EXPECT_FALSE(thread.HasThread());
}

TEST(WorkItemThreadTest, RestartsAfterStop) {
  Journal journal;
  TestWorkItemThread thread;
  ASSERT_TRUE(thread.Start("worker"));
  thread.Stop();
  ASSERT_TRUE(thread.Start("worker"));
  ASSERT_TRUE(thread.AddWorkItem(new Item(journal, 1, Action::kRecord)));
  EXPECT_TRUE(WaitUntil([&] { return journal.deleted_count() == 1; }));
  EXPECT_EQ(journal.handled(), std::vector<int>{1});
  thread.Stop();
}

// ---- CWorkItemThreadEx ----

class ItemEx : public CWorkItemThreadEx::IWorkItem, public ItemData {
 public:
  using ItemData::ItemData;
  ~ItemEx() override { journal.Deleted(id); }
};

class TestWorkItemThreadEx : public CWorkItemThreadEx {
 public:
  ~TestWorkItemThreadEx() override {
    gate.Set();
    Stop();
  }

  CManualEvent gate;

 protected:
  void HandleWorkItem(IWorkItem* item) override { HandleItem(*static_cast<ItemEx*>(item), gate); }
};

// Starts the thread and keeps its worker busy with item 0 until the gate opens, so that items
// added meanwhile stay queued.
class WorkItemThreadExTest : public ::testing::Test {
 protected:
  void StartBlocked() {
    ASSERT_TRUE(thread_.Start("BaseIPPTZThread_Ch1"));
    ASSERT_TRUE(thread_.AddWorkItem(new ItemEx(journal_, 0, Action::kBlock), 0));
    ASSERT_TRUE(WaitUntil([&] { return journal_.handled_count() == 1; }));
  }
  void Add(int id, std::uint32_t max_length) {
    ASSERT_TRUE(thread_.AddWorkItem(new ItemEx(journal_, id, Action::kRecord), max_length));
  }
  // Opens the gate and waits until `count` items in all were deleted.
  bool ReleaseAndDrain(std::size_t count) {
    thread_.gate.Set();
    return WaitUntil([&] { return journal_.deleted_count() == count; });
  }

  Journal journal_;
  TestWorkItemThreadEx thread_;
};

TEST_F(WorkItemThreadExTest, ItemsAreHandledInOrderAndDeleted) {
  StartBlocked();
  std::vector<int> expected{0};
  for (int id = 1; id <= 50; ++id) {
    Add(id, 0);
    expected.push_back(id);
  }
  ASSERT_TRUE(ReleaseAndDrain(expected.size()));
  EXPECT_EQ(journal_.handled(), expected);
  EXPECT_EQ(journal_.deleted(), expected);
  thread_.Stop();
}

TEST_F(WorkItemThreadExTest, MaximumOfOneDropsEverythingQueued) {
  StartBlocked();
  Add(1, 0);
  Add(2, 0);
  Add(3, 0);
  Add(4, 1);
  // Dropped at once, oldest first, without being handled.
  EXPECT_EQ(journal_.deleted(), (std::vector<int>{1, 2, 3}));
  ASSERT_TRUE(ReleaseAndDrain(5));
  EXPECT_EQ(journal_.handled(), (std::vector<int>{0, 4}));
  thread_.Stop();
}

TEST_F(WorkItemThreadExTest, MaximumLeavesAtMostThatManyQueued) {
  StartBlocked();
  Add(1, 0);
  Add(2, 0);
  Add(3, 0);
  Add(4, 2);
  EXPECT_EQ(journal_.deleted(), (std::vector<int>{1, 2}));
  ASSERT_TRUE(ReleaseAndDrain(5));
  EXPECT_EQ(journal_.handled(), (std::vector<int>{0, 3, 4}));
  thread_.Stop();
}

TEST_F(WorkItemThreadExTest, MaximumAboveTheQueueLengthDropsNothing) {
  StartBlocked();
  Add(1, 0);
  Add(2, 0);
  Add(3, 3);
  EXPECT_EQ(journal_.deleted_count(), 0u);
  ASSERT_TRUE(ReleaseAndDrain(4));
  EXPECT_EQ(journal_.handled(), (std::vector<int>{0, 1, 2, 3}));
  thread_.Stop();
}

TEST_F(WorkItemThreadExTest, MaximumOfZeroNeverDrops) {
  constexpr int kItems = 200;
  StartBlocked();
  for (int id = 1; id <= kItems; ++id) {
    Add(id, 0);
  }
  EXPECT_EQ(journal_.deleted_count(), 0u);
  ASSERT_TRUE(ReleaseAndDrain(kItems + 1));
  EXPECT_EQ(journal_.handled_count(), static_cast<std::size_t>(kItems + 1));
  thread_.Stop();
}

TEST_F(WorkItemThreadExTest, ThrowingItemIsDeletedAndTheNextOneHandled) {
  StartBlocked();
  ASSERT_TRUE(thread_.AddWorkItem(new ItemEx(journal_, 1, Action::kThrow), 0));
  Add(2, 0);
  ASSERT_TRUE(ReleaseAndDrain(3));
  EXPECT_EQ(journal_.handled(), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(journal_.deleted(), (std::vector<int>{0, 1, 2}));
  thread_.Stop();
}

TEST_F(WorkItemThreadExTest, StopDeletesQueuedItemsUnhandled) {
  StartBlocked();
  Add(1, 0);
  Add(2, 0);
  Add(3, 0);
  std::thread stopper([&] { thread_.Stop(); });
  EXPECT_TRUE(WaitUntil([&] { return journal_.deleted_count() == 3; }));
  EXPECT_EQ(journal_.deleted(), (std::vector<int>{1, 2, 3}));
  thread_.gate.Set();
  stopper.join();
  EXPECT_EQ(journal_.handled(), std::vector<int>{0});
  EXPECT_EQ(journal_.deleted(), (std::vector<int>{1, 2, 3, 0}));
  EXPECT_FALSE(thread_.HasThread());
}

TEST_F(WorkItemThreadExTest, ItemOfferedWhileStoppedIsDeleted) {
  EXPECT_FALSE(thread_.AddWorkItem(new ItemEx(journal_, 1, Action::kRecord), 0));
  EXPECT_EQ(journal_.deleted(), std::vector<int>{1});
  ASSERT_TRUE(thread_.Start("worker"));
  thread_.Stop();
  EXPECT_FALSE(thread_.AddWorkItem(new ItemEx(journal_, 2, Action::kRecord), 0));
  EXPECT_EQ(journal_.deleted(), (std::vector<int>{1, 2}));
  EXPECT_EQ(journal_.handled_count(), 0u);
}

TEST_F(WorkItemThreadExTest, SecondStartIsRefusedAndTheThreadKeepsWorking) {
  StartBlocked();
  EXPECT_FALSE(thread_.Start("second"));
  EXPECT_EQ(thread_.GetName(), "BaseIPPTZThread_Ch1");
  Add(1, 0);
  ASSERT_TRUE(ReleaseAndDrain(2));
  EXPECT_EQ(journal_.handled(), (std::vector<int>{0, 1}));
  thread_.Stop();
}

TEST_F(WorkItemThreadExTest, ItemsFromSeveralThreadsAreAllHandledOnce) {
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 250;
  ASSERT_TRUE(thread_.Start("worker"));
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([this, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        thread_.AddWorkItem(new ItemEx(journal_, p * kPerProducer + i, Action::kRecord), 0);
      }
    });
  }
  for (auto& producer : producers) {
    producer.join();
  }
  ASSERT_TRUE(WaitUntil([&] { return journal_.deleted_count() == kProducers * kPerProducer; }));
  std::vector<int> handled = journal_.handled();
  std::sort(handled.begin(), handled.end());
  for (int id = 0; id < kProducers * kPerProducer; ++id) {
    ASSERT_EQ(handled[static_cast<std::size_t>(id)], id);
  }
  thread_.Stop();
}

}  // namespace
}  // namespace kalmora
