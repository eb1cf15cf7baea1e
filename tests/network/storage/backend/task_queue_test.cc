// The per-object task queue on a real task manager: order, limits, and what
// happens when a task's work throws.

#include "core/network/storage/backend/rio_dir/task_queue.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/network/storage/common/task_manager.h"
#include "support/test_support.h"

namespace {

using Network::Storage::Backend::TaskQueue;
using Network::Storage::Backend::ZykTask;

// Callbacks per task index, with their last codes.
class Answers {
 public:
  explicit Answers(size_t n) : counts_(n), codes_(n, -1) {
    for (size_t i = 0; i < n; ++i) slots_.push_back({this, i});
  }
  ZykTask Task(size_t i, std::function<Common::Error()> work) {
    return ZykTask{std::move(work), &Callback, &slots_[i]};
  }
  bool WaitFor(size_t total) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return total_ >= total; });
  }
  std::pair<int, int32_t> operator[](size_t i) {
    std::lock_guard<std::mutex> lock(mutex_);
    return {counts_[i], codes_[i]};
  }

 private:
  struct Slot {
    Answers* self;
    size_t index;
  };
  static void Callback(void* context, int32_t code) {
    auto [self, i] = *static_cast<Slot*>(context);
    std::lock_guard<std::mutex> lock(self->mutex_);
    ++self->counts_[i];
    self->codes_[i] = code;
    ++self->total_;
    self->changed_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<int> counts_;
  std::vector<int32_t> codes_;
  std::vector<Slot> slots_;
  size_t total_ = 0;
};

TEST(TaskQueue, RunsTasksOneAtATimeInPushOrder) {
  auto manager = Network::Storage::CreateThreadPoolTaskManager();
  auto queue = TaskQueue::Create(manager, UINT64_MAX);
  const size_t kTasks = zyk_test::Scaled(20000, 500);
  Answers answers(kTasks);
  std::vector<size_t> order;
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  for (size_t i = 0; i < kTasks; ++i) {
    ASSERT_TRUE(queue->Push(answers.Task(i, [&, i] {
                        if (running.fetch_add(1) != 0) overlapped = true;
                        order.push_back(i);  // unsynchronised on purpose: tsan sees any overlap
                        running.fetch_sub(1);
                        return Common::Error();
                      }))
                    .Ok());
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
  auto blocked = [&] {
    std::lock_guard<std::mutex> wait(gate);
    return Common::Error();
  };
  ASSERT_TRUE(queue->Push(answers.Task(0, blocked)).Ok());
  Common::Error refused = queue->Push(answers.Task(1, [] { return Common::Error(); }));
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
  ASSERT_TRUE(queue->Push(answers.Task(2, [] { return Common::Error(); })).Ok());
  ASSERT_TRUE(answers.WaitFor(2));
  EXPECT_EQ(answers[1].first, 0);
  EXPECT_EQ(answers[2].first, 1);
}

// Regression: a throwing work used to end its task without a callback and
// leave the queue stuck behind it.
TEST(TaskQueue, ThrowingWorkIsAnsweredOnceAndTheQueueMovesOn) {
  auto manager = Network::Storage::CreateThreadPoolTaskManager();
  auto queue = TaskQueue::Create(manager, UINT64_MAX);
  const std::pair<std::function<Common::Error()>, int32_t> cases[] = {
      {[]() -> Common::Error { throw std::runtime_error("boom"); }, 0x4001F},
      {[]() -> Common::Error { throw Common::Error(0x40003, ZYK_HERE); }, 0x40003},
      {[]() -> Common::Error { throw std::bad_alloc(); }, 0x40006},
      {[]() -> Common::Error { throw 42; }, 0x4001F},
      {[] { return Common::Error(); }, 0},
      {[] { return Common::Error(Common::kErrNotFound, ZYK_HERE); }, 0x2850002},
  };
  const size_t n = std::size(cases);
  Answers answers(n);
  for (size_t i = 0; i < n; ++i) ASSERT_TRUE(queue->Push(answers.Task(i, cases[i].first)).Ok());
  ASSERT_TRUE(answers.WaitFor(n));
  for (size_t i = 0; i < n; ++i) EXPECT_EQ(answers[i], std::make_pair(1, cases[i].second)) << "case " << i;
}

TEST(TaskQueue, TasksOfAStoppedManagerStayQueuedWithoutCallbacks) {
  auto manager = Network::Storage::CreateThreadPoolTaskManager();
  auto queue = TaskQueue::Create(manager, UINT64_MAX);
  manager.reset();
  Answers answers(1);
  bool ran = false;
  ASSERT_TRUE(queue->Push(answers.Task(0, [&] { ran = true; return Common::Error(); })).Ok());
  EXPECT_EQ(queue->Size(), 1u);
  queue.reset();
  EXPECT_FALSE(ran);
  EXPECT_EQ(answers[0].first, 0);
}

}  // namespace
