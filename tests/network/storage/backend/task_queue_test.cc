// The per-object task queue on a real task manager: order, limits, and what
// happens when a task's work throws.

#include "core/network/storage/backend/rio_dir/task_queue.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "core/network/storage/common/task_manager.h"
#include "support/test_support.h"

namespace {

using Network::Storage::Backend::TaskQueue;
using Network::Storage::Backend::ZykTask;

// Counts callbacks per slot and waits for a number of them.
class Answers {
 public:
  explicit Answers(size_t slots) : counts_(slots, 0), codes_(slots, -1) {}
  struct Slot {
    Answers* answers;
    size_t index;
  };
  static void Callback(void* context, int32_t code) {
    auto* slot = static_cast<Slot*>(context);
    std::lock_guard<std::mutex> lock(slot->answers->mutex_);
    ++slot->answers->counts_[slot->index];
    slot->answers->codes_[slot->index] = code;
    ++slot->answers->total_;
    slot->answers->changed_.notify_all();
  }
  bool WaitFor(size_t total) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return total_ >= total; });
  }
  int Count(size_t i) {
    std::lock_guard<std::mutex> lock(mutex_);
    return counts_[i];
  }
  int32_t Code(size_t i) {
    std::lock_guard<std::mutex> lock(mutex_);
    return codes_[i];
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<int> counts_;
  std::vector<int32_t> codes_;
  size_t total_ = 0;
};

TEST(TaskQueue, RunsTasksOneAtATimeInPushOrder) {
  auto manager = Network::Storage::CreateThreadPoolTaskManager();
  auto queue = TaskQueue::Create(manager, UINT64_MAX);
  const size_t kTasks = zyk_test::Scaled(20000, 500);
  Answers answers(kTasks);
  std::vector<Answers::Slot> slots(kTasks);
  std::vector<size_t> order;
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  for (size_t i = 0; i < kTasks; ++i) {
    slots[i] = {&answers, i};
    ZykTask task{[&, i] {
                   if (running.fetch_add(1) != 0) overlapped = true;
                   order.push_back(i);  // unsynchronised on purpose: tsan sees any overlap
                   running.fetch_sub(1);
                   return Common::Error();
                 },
                 &Answers::Callback, &slots[i]};
    ASSERT_TRUE(queue->Push(std::move(task)).Ok());
  }
  ASSERT_TRUE(answers.WaitFor(kTasks));
  EXPECT_FALSE(overlapped.load());
  ASSERT_EQ(order.size(), kTasks);
  for (size_t i = 0; i < kTasks; ++i) ASSERT_EQ(order[i], i);
}

TEST(TaskQueue, FullQueueRefusesWithTheLimitTagAndDropsTheTask) {
  auto manager = Network::Storage::CreateThreadPoolTaskManager();
  auto queue = TaskQueue::Create(manager, 1);
  std::mutex gate;
  std::unique_lock<std::mutex> hold(gate);
  Answers answers(3);
  Answers::Slot slots[3] = {{&answers, 0}, {&answers, 1}, {&answers, 2}};
  ASSERT_TRUE(queue->Push(ZykTask{[&] {
                                    std::lock_guard<std::mutex> wait(gate);
                                    return Common::Error();
                                  },
                                  &Answers::Callback, &slots[0]})
                  .Ok());
  Common::Error refused = queue->Push(ZykTask{[] { return Common::Error(); }, &Answers::Callback, &slots[1]});
  EXPECT_EQ(refused.Code(), 0x02850006u);
  EXPECT_EQ(refused.GetNumberTag("TaskLimit"), 1u);
  EXPECT_STREQ(refused.GetTagNames(), "TaskLimit,$module");
  EXPECT_STREQ(refused.Location()->function, "Push");
  hold.unlock();
  ASSERT_TRUE(answers.WaitFor(1));
  // The idle queue posts a new run job for the next task.
  for (int attempt = 0; attempt < 1000 && queue->Size() != 0; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(queue->Push(ZykTask{[] { return Common::Error(); }, &Answers::Callback, &slots[2]}).Ok());
  ASSERT_TRUE(answers.WaitFor(2));
  EXPECT_EQ(answers.Count(1), 0);
  EXPECT_EQ(answers.Count(2), 1);
}

// Regression: a throwing work used to end its task without a callback and
// leave the queue stuck behind it.
TEST(TaskQueue, ThrowingWorkIsAnsweredOnceAndTheQueueMovesOn) {
  auto manager = Network::Storage::CreateThreadPoolTaskManager();
  auto queue = TaskQueue::Create(manager, UINT64_MAX);
  struct Case {
    std::function<Common::Error()> work;
    int32_t code;
  };
  const Case cases[] = {
      {[]() -> Common::Error { throw std::runtime_error("boom"); }, 0x4001F},
      {[]() -> Common::Error { throw Common::Error(0x40003, ZYK_HERE); }, 0x40003},
      {[]() -> Common::Error { throw std::bad_alloc(); }, 0x40006},
      {[]() -> Common::Error { throw 42; }, 0x4001F},
      {[] { return Common::Error(); }, 0},
      {[] { return Common::Error(Common::kErrNotFound, ZYK_HERE); }, 0x2850002},
  };
  const size_t n = std::size(cases);
  Answers answers(n);
  std::vector<Answers::Slot> slots(n);
  for (size_t i = 0; i < n; ++i) {
    slots[i] = {&answers, i};
    ASSERT_TRUE(queue->Push(ZykTask{cases[i].work, &Answers::Callback, &slots[i]}).Ok());
  }
  ASSERT_TRUE(answers.WaitFor(n));
  for (size_t i = 0; i < n; ++i) {
    EXPECT_EQ(answers.Count(i), 1) << "case " << i;
    EXPECT_EQ(answers.Code(i), cases[i].code) << "case " << i;
  }
}

TEST(TaskQueue, TasksOfAStoppedManagerStayQueuedWithoutCallbacks) {
  auto manager = Network::Storage::CreateThreadPoolTaskManager();
  auto queue = TaskQueue::Create(manager, UINT64_MAX);
  manager.reset();
  Answers answers(1);
  Answers::Slot slot{&answers, 0};
  bool ran = false;
  ASSERT_TRUE(queue->Push(ZykTask{[&] {
                                    ran = true;
                                    return Common::Error();
                                  },
                                  &Answers::Callback, &slot})
                  .Ok());
  EXPECT_EQ(queue->Size(), 1u);
  queue.reset();
  EXPECT_FALSE(ran);
  EXPECT_EQ(answers.Count(0), 0);
}

}  // namespace
