// The per-object task queue on a real task manager: order, limits, and what
// happens when a task's work throws.

#include "core/network/storage/backend/rio_dir/task_queue.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/network/storage/common/task_manager.h"
#include "network/storage/backend/test_host.h"

namespace {

using Network::Storage::Backend::TaskQueue;
using Network::Storage::Backend::ZykTask;
using zyk_test::Completion;

ZykTask Answered(Completion& done, std::function<Common::Error()> work) {
  return ZykTask{std::move(work), &Completion::Callback, &done};
}

Common::Error Succeed() { return Common::Error(); }

TEST(TaskQueue, RunsTasksOneAtATimeInPushOrder) {
  auto manager = Network::Storage::CreateThreadPoolTaskManager();
  auto queue = TaskQueue::Create(manager, UINT64_MAX);
  const size_t kTasks = zyk_test::Scaled(20000, 500);
  std::vector<Completion> done(kTasks);
  std::vector<size_t> order;
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  for (size_t i = 0; i < kTasks; ++i) {
    ASSERT_TRUE(queue
                    ->Push(Answered(done[i],
                                    [&, i] {
                                      if (running.fetch_add(1) != 0) overlapped = true;
                                      order.push_back(i);  // unsynchronised on purpose: tsan sees any overlap
                                      running.fetch_sub(1);
                                      return Common::Error();
                                    }))
                    .Ok());
  }
  for (Completion& answer : done) ASSERT_EQ(answer.Wait(), 0);
  EXPECT_FALSE(overlapped.load());
  ASSERT_EQ(order.size(), kTasks);
  for (size_t i = 0; i < kTasks; ++i) ASSERT_EQ(order[i], i);
}

TEST(TaskQueue, FullQueueRefusesWithTheLimitTagAndDropsTheTask) {
  auto manager = Network::Storage::CreateThreadPoolTaskManager();
  auto queue = TaskQueue::Create(manager, 1);
  std::mutex gate;
  std::unique_lock<std::mutex> hold(gate);
  Completion done[3];
  auto blocked = [&] {
    std::lock_guard<std::mutex> wait(gate);
    return Common::Error();
  };
  ASSERT_TRUE(queue->Push(Answered(done[0], blocked)).Ok());
  Common::Error refused = queue->Push(Answered(done[1], Succeed));
  EXPECT_EQ(refused.Code(), 0x02850006u);
  EXPECT_EQ(refused.GetNumberTag("TaskLimit"), 1u);
  EXPECT_STREQ(refused.GetTagNames(), "TaskLimit,$module");
  EXPECT_STREQ(refused.Location()->function, "Push");
  hold.unlock();
  EXPECT_EQ(done[0].Wait(), 0);
  // The idle queue posts a new run job for the next task.
  ASSERT_TRUE(zyk_test::Eventually([&] { return queue->Size() == 0; }));
  ASSERT_TRUE(queue->Push(Answered(done[2], Succeed)).Ok());
  EXPECT_EQ(done[2].Wait(), 0);
  EXPECT_EQ(done[1].Count(), 0);
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
      {Succeed, 0},
      {[] { return Common::Error(Common::kErrNotFound, ZYK_HERE); }, 0x2850002},
  };
  Completion done[std::size(cases)];
  for (size_t i = 0; i < std::size(cases); ++i) ASSERT_TRUE(queue->Push(Answered(done[i], cases[i].first)).Ok());
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(done[i].Wait(), cases[i].second) << "case " << i;
  // Tasks run one at a time: once a last one is answered, every earlier one has ended.
  Completion last;
  ASSERT_TRUE(queue->Push(Answered(last, Succeed)).Ok());
  EXPECT_EQ(last.Wait(), 0);
  for (Completion& answer : done) EXPECT_EQ(answer.Count(), 1);
}

// The running task is moved out of the queue and the run job's reference rides
// in the queue itself: once the jobs have run, neither may linger.
TEST(TaskQueue, FinishedTasksLeaveNoReferenceToTheQueueOrTheirState) {
  auto manager = Network::Storage::CreateThreadPoolTaskManager();
  auto queue = TaskQueue::Create(manager, UINT64_MAX);
  auto state = std::make_shared<int>(0);
  Completion done[3];
  for (Completion& answer : done) ASSERT_TRUE(queue->Push(Answered(answer, [state] { return Succeed(); })).Ok());
  for (Completion& answer : done) ASSERT_EQ(answer.Wait(), 0);
  manager.reset();  // the workers end after every posted job has run
  EXPECT_EQ(state.use_count(), 1);
  std::weak_ptr<TaskQueue> watch = queue;
  queue.reset();
  EXPECT_TRUE(watch.expired());
}

// Each callback pushes the next task of a series onto its own, empty queue: the
// task starts only after that callback has returned, on the worker that ran it
// for a run of tasks, and a series longer than one run still finishes in order.
TEST(TaskQueue, TaskPushedByItsQueuesCallbackRunsAfterItOnTheSameWorker) {
  auto manager = Network::Storage::CreateThreadPoolTaskManager();
  auto queue = TaskQueue::Create(manager, UINT64_MAX);
  struct Series {
    std::shared_ptr<TaskQueue> queue;
    size_t next = 0;
    size_t length = 200;
    std::vector<std::thread::id> workers;
    bool callback_running = false;
    bool overlapped = false;
    Completion finished;

    ZykTask Step() {
      return ZykTask{[this] {
                       if (callback_running) overlapped = true;
                       workers.push_back(std::this_thread::get_id());
                       return Common::Error();
                     },
                     &Series::Answered, this};
    }
    static void Answered(void* context, int32_t code) {
      auto& series = *static_cast<Series*>(context);
      series.callback_running = true;
      if (code == 0 && ++series.next < series.length && series.queue->Push(series.Step()).Ok()) {
        series.callback_running = false;
        return;
      }
      series.callback_running = false;
      Completion::Callback(&series.finished, code);
    }
  } series;
  series.queue = queue;
  ASSERT_TRUE(queue->Push(series.Step()).Ok());
  ASSERT_EQ(series.finished.Wait(), 0);
  EXPECT_FALSE(series.overlapped);
  ASSERT_EQ(series.workers.size(), series.length);
  for (size_t i = 1; i < 64; ++i) EXPECT_EQ(series.workers[i], series.workers[0]) << "task " << i;
}

// A queue whose callbacks keep pushing keeps its worker only while nothing else
// waits for one: with every worker taken by such a series, a posted task runs.
TEST(TaskQueue, SeriesOnEveryWorkerLetAPostedTaskRun) {
  auto manager = Network::Storage::CreateThreadPoolTaskManager();
  std::atomic<bool> stop{false};
  struct Endless {
    std::shared_ptr<TaskQueue> queue;
    std::atomic<bool>* stop = nullptr;
    Completion finished;
    ZykTask Step() { return ZykTask{Succeed, &Endless::Answered, this}; }
    static void Answered(void* context, int32_t code) {
      auto& series = *static_cast<Endless*>(context);
      if (code != 0 || *series.stop || !series.queue->Push(series.Step()).Ok()) {
        Completion::Callback(&series.finished, code);
      }
    }
  };
  std::vector<std::unique_ptr<Endless>> series;
  for (uint64_t i = 0; i < Network::Storage::ThreadPoolTaskManager::kDefaultThreadLimit; ++i) {
    auto& one = series.emplace_back(std::make_unique<Endless>());
    one->queue = TaskQueue::Create(manager, UINT64_MAX);
    one->stop = &stop;
    ASSERT_TRUE(one->queue->Push(one->Step()).Ok());
  }
  Completion posted;
  manager->Post([&] { Completion::Callback(&posted, 0); });
  EXPECT_EQ(posted.Wait(), 0);
  stop = true;
  for (auto& one : series) EXPECT_EQ(one->finished.Wait(), 0);
}

TEST(TaskQueue, TasksOfAStoppedManagerStayQueuedWithoutCallbacks) {
  auto manager = Network::Storage::CreateThreadPoolTaskManager();
  auto queue = TaskQueue::Create(manager, UINT64_MAX);
  manager.reset();
  Completion done;
  bool ran = false;
  ASSERT_TRUE(queue
                  ->Push(Answered(done,
                                  [&] {
                                    ran = true;
                                    return Common::Error();
                                  }))
                  .Ok());
  EXPECT_EQ(queue->Size(), 1u);
  queue.reset();
  EXPECT_FALSE(ran);
  EXPECT_EQ(done.Count(), 0);
}

}  // namespace
