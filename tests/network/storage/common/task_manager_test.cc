#include "core/network/storage/common/task_manager.h"

#include <errno.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/common/trace.h"
#include "core/common/unix/event_unix.h"
#include "core/common/unix/sync_errors.h"
#include "support/test_support.h"

namespace {

using Network::Storage::CreateThreadPoolTaskManager;
using Network::Storage::Task;
using Network::Storage::TaskManager;
using Network::Storage::ThreadPoolTaskManager;
using namespace std::chrono_literals;

// Counts events and lets a test wait until a number is reached.
class Counter {
 public:
  void Add(int n = 1) {
    std::lock_guard<std::mutex> lock(mutex_);
    value_ += n;
    changed_.notify_all();
  }
  bool WaitFor(int target, std::chrono::milliseconds limit = 10s) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return value_ >= target; });
  }
  int Value() {
    std::lock_guard<std::mutex> lock(mutex_);
    return value_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int value_ = 0;
};

// Records the order in which tasks ran.
class Journal {
 public:
  void Append(int value) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(value);
  }
  std::vector<int> Entries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
  }

 private:
  std::mutex mutex_;
  std::vector<int> entries_;
};

// Collects trace lines while installed; turns tracing on for its lifetime.
class CapturingSink : public Common::LogSink {
 public:
  CapturingSink() {
    setenv("KPX_TRACE_LEVEL", "debug", 1);
    Common::ResetTraceLevelForTesting();
    Common::SetLogSink(this);
  }
  ~CapturingSink() override {
    Common::SetLogSink(nullptr);
    unsetenv("KPX_TRACE_LEVEL");
    Common::ResetTraceLevelForTesting();
  }
  void WriteLine(uint32_t, uint32_t, uint32_t, uint32_t, const char16_t* text) override {
    std::string narrow;
    for (const char16_t* p = text; *p; ++p) narrow.push_back(static_cast<char>(*p));
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(narrow);
  }
  void WriteError(uint32_t, uint32_t, const Common::Error&) override {}
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

ThreadPoolTaskManager& Impl(const std::shared_ptr<TaskManager>& manager) {
  return dynamic_cast<ThreadPoolTaskManager&>(*manager);
}

TEST(TaskManager, PostRunsTheTaskAndIgnoresAnEmptyOne) {
  auto manager = CreateThreadPoolTaskManager();
  Counter ran;
  manager->Post(Task());
  manager->Post([&] { ran.Add(); });
  EXPECT_TRUE(ran.WaitFor(1));
}

TEST(TaskManager, PostDelayedWithoutPositiveDelayOrTaskReturnsZero) {
  auto manager = CreateThreadPoolTaskManager();
  Counter ran;
  struct Case {
    int64_t delay;
    bool empty;
  };
  int expected = 0;
  for (Case c : {Case{0, false}, Case{-5, false}, Case{std::numeric_limits<int64_t>::min(), false},
                 Case{10, true}, Case{0, true}}) {
    Task task = c.empty ? Task() : Task([&] { ran.Add(); });
    EXPECT_EQ(manager->PostDelayed(task, c.delay), 0u) << "delay " << c.delay << " empty " << c.empty;
    if (!c.empty) ++expected;
  }
  EXPECT_TRUE(ran.WaitFor(expected, 5s));
}

TEST(TaskManager, DelayedTasksRunInOrderOfDueTime) {
  auto manager = CreateThreadPoolTaskManager();
  Journal journal;
  Counter ran;
  for (int delay : {90, 30, 60, 10}) {
    EXPECT_NE(manager->PostDelayed(
                  [&, delay] {
                    journal.Append(delay);
                    ran.Add();
                  },
                  delay),
              0u);
  }
  ASSERT_TRUE(ran.WaitFor(4));
  EXPECT_EQ(journal.Entries(), (std::vector<int>{10, 30, 60, 90}));
}

TEST(TaskManager, DelayedTaskWaitsForItsDelay) {
  auto manager = CreateThreadPoolTaskManager();
  Counter ran;
  auto before = std::chrono::steady_clock::now();
  manager->PostDelayed([&] { ran.Add(); }, 50);
  ASSERT_TRUE(ran.WaitFor(1));
  EXPECT_GE(std::chrono::steady_clock::now() - before, 45ms);
}

TEST(TaskManager, CancelRemovesOnlyPendingTasks) {
  auto manager = CreateThreadPoolTaskManager();
  Counter ran;
  uint64_t due = manager->PostDelayed([&] { ran.Add(); }, 1);
  ASSERT_TRUE(ran.WaitFor(1));
  std::atomic<bool> pending_ran{false};
  auto payload = std::make_shared<int>(0);
  uint64_t pending = manager->PostDelayed([&, payload] { pending_ran = true; }, 60000);
  uint64_t other = manager->PostDelayed([&] { pending_ran = true; }, 60000);
  ASSERT_EQ(payload.use_count(), 2);

  struct Case {
    const char* what;
    std::set<uint64_t> ids;
    size_t removed;
  };
  for (const Case& c : {Case{"already ran", {due}, 0}, Case{"never issued", {987654321}, 0},
                        Case{"zero", {0}, 0}, Case{"pending and unknown", {pending, 987654321}, 1},
                        Case{"twice", {pending}, 0}, Case{"the other", {other}, 1}}) {
    EXPECT_EQ(manager->Cancel(c.ids), c.removed) << c.what;
  }
  EXPECT_EQ(payload.use_count(), 1) << "a cancelled task must be destroyed by Cancel";
  manager->ExpediteDelayed();
  manager.reset();
  EXPECT_FALSE(pending_ran.load());
}

TEST(TaskManager, IdentifierSetKeepsOnlyPendingTasks) {
  auto manager = CreateThreadPoolTaskManager();
  Counter ran;
  std::set<uint64_t> ids;
  uint64_t quick = manager->PostDelayed([&] { ran.Add(); }, 1, &ids);
  uint64_t slow = manager->PostDelayed([] {}, 60000, &ids);
  EXPECT_EQ(ids, (std::set<uint64_t>{quick, slow}));
  ASSERT_TRUE(ran.WaitFor(1));
  std::this_thread::sleep_for(5ms);
  uint64_t third = manager->PostDelayed([] {}, 60000, &ids);
  EXPECT_EQ(ids, (std::set<uint64_t>{slow, third}));
  EXPECT_EQ(manager->Cancel(ids), 2u);
}

TEST(TaskManager, IdentifierCounterWrapSkipsZero) {
  auto manager = CreateThreadPoolTaskManager();
  Impl(manager).SetLastIdentifierForTesting(std::numeric_limits<uint64_t>::max() - 1);
  std::set<uint64_t> ids;
  EXPECT_EQ(manager->PostDelayed([] {}, 60000, &ids), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(manager->PostDelayed([] {}, 60000, &ids), 1u);
  EXPECT_EQ(manager->PostDelayed([] {}, 60000, &ids), 2u);
  EXPECT_EQ(manager->Cancel(ids), 3u);
}

TEST(TaskManager, DroppingTheHandleRunsEveryPostedTaskButNoFutureOne) {
  std::atomic<int> ran{0};
  std::atomic<bool> future_ran{false};
  auto payload = std::make_shared<int>(0);
  {
    auto manager = CreateThreadPoolTaskManager();
    for (int i = 0; i < 500; ++i)
      manager->Post([&] {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
        ran++;
      });
    manager->PostDelayed([&, payload] { future_ran = true; }, 60000);
  }
  EXPECT_EQ(ran.load(), 500);
  EXPECT_FALSE(future_ran.load());
  EXPECT_EQ(payload.use_count(), 1) << "the unrun delayed task was not destroyed";
}

TEST(TaskManager, ExpediteDelayedRunsFutureTasksBeforeTheEnd) {
  std::atomic<int> ran{0};
  {
    auto manager = CreateThreadPoolTaskManager();
    for (int i = 0; i < 5; ++i) manager->PostDelayed([&] { ran++; }, 60000 + i);
    manager->ExpediteDelayed();
  }
  EXPECT_EQ(ran.load(), 5);
}

TEST(TaskManager, ThrowingTasksDoNotStopTheWorkers) {
  CapturingSink sink;
  auto manager = CreateThreadPoolTaskManager();
  // More throwing tasks than workers: if a throw ended its worker, nobody
  // would be left for the last task.
  for (int i = 0; i < 40; ++i) {
    manager->Post([] { throw Common::Error(0x40001, ZYK_HERE); });
    manager->Post([] { throw std::runtime_error("boom"); });
  }
  Counter ran;
  manager->Post([&] { ran.Add(); });
  EXPECT_TRUE(ran.WaitFor(1));
  manager.reset();
  int errors = 0, standard = 0;
  for (const auto& line : sink.Lines()) {
    errors += line.find("Unexpected: 'Error: 0x00040001") != std::string::npos;
    standard += line.find("Unexpected std::exception: 'boom'") != std::string::npos;
  }
  EXPECT_EQ(errors, 40);
  EXPECT_EQ(standard, 40);
}

TEST(SafeExecute, TracesWhatTheTaskThrows) {
  CapturingSink sink;
  Network::Storage::SafeExecute([] { throw Common::Error(0x40011, ZYK_HERE); });
  Network::Storage::SafeExecute([] { throw std::logic_error("bad"); });
  Network::Storage::SafeExecute(Task());
  auto lines = sink.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].rfind("core/network/storage/common/task:", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("Unexpected: 'Error: 0x00040011, tag: 0x"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("Unexpected std::exception: 'bad'"), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find("Unexpected std::exception: '"), std::string::npos) << lines[2];
}

TEST(SafeExecute, RethrowsAnUnknownException) {
  CapturingSink sink;
  EXPECT_THROW(Network::Storage::SafeExecute([] { throw 42; }), int);
  auto lines = sink.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("Unknown exception, rethrowing"), std::string::npos) << lines[0];
}

// All 32 workers exist from the start: 32 tasks that each wait for all the
// others can only finish when they run at the same time.
void ExpectConcurrency(TaskManager& manager, int count) {
  std::mutex mutex;
  std::condition_variable all_arrived;
  int arrived = 0;
  Counter finished;
  for (int i = 0; i < count; ++i)
    manager.Post([&] {
      std::unique_lock<std::mutex> lock(mutex);
      ++arrived;
      all_arrived.notify_all();
      all_arrived.wait_for(lock, 10s, [&] { return arrived == count; });
      lock.unlock();
      finished.Add();
    });
  ASSERT_TRUE(finished.WaitFor(count, 20s));
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(arrived, count);
}

TEST(TaskManager, ThirtyTwoTasksRunAtOnce) {
  auto manager = CreateThreadPoolTaskManager();
  ExpectConcurrency(*manager, 32);
}

TEST(TaskManager, SetThreadLimitOnlyRaisesTheWorkerCount) {
  auto manager = CreateThreadPoolTaskManager();
  EXPECT_EQ(manager->SetThreadLimit(40), 40u);
  EXPECT_EQ(manager->SetThreadLimit(8), 40u);
  ExpectConcurrency(*manager, 40);
}

TEST(TaskManager, DroppingTheLastHandleInsideATaskDoesNotDeadlock) {
  Counter ran;
  auto manager = CreateThreadPoolTaskManager();
  std::weak_ptr<TaskManager> watch = manager;
  auto* raw = manager.get();
  raw->Post([&, handle = std::move(manager)]() mutable {
    handle->Post([&] { ran.Add(); });
    handle.reset();  // the last handle: the stop is requested from a worker
    ran.Add();
  });
  ASSERT_TRUE(ran.WaitFor(2));
  for (int i = 0; i < 5000 && !watch.expired(); ++i) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(watch.expired());
}

TEST(TaskManager, FactoryFailureEndsTheThreadsAlreadyStarted) {
  // Let a few threads start, then fail; the ones started must not be left
  // waiting on a destroyed manager.
  Common::SetThreadCreateHookForTesting([]() -> int {
    static std::atomic<int> calls{0};
    return ++calls % 3 == 0 ? EAGAIN : 0;
  });
  std::shared_ptr<TaskManager> manager;
  try {
    // Up to 16 workers may come from the cache; the rest need new threads.
    manager = CreateThreadPoolTaskManager();
  } catch (const Common::Error& error) {
    EXPECT_EQ(error.Code(), Common::kErrThreadCreate);
  }
  Common::SetThreadCreateHookForTesting(nullptr);
  EXPECT_EQ(manager, nullptr);
  // The pool and a fresh manager still work.
  manager = CreateThreadPoolTaskManager();
  Counter ran;
  manager->Post([&] { ran.Add(); });
  EXPECT_TRUE(ran.WaitFor(1));
}

TEST(RunDetached, RunsTheTaskOnAThreadOfItsOwn) {
  Counter ran;
  std::thread::id caller = std::this_thread::get_id();
  std::atomic<bool> other_thread{false};
  Network::Storage::RunDetached([&] {
    other_thread = std::this_thread::get_id() != caller;
    ran.Add();
  });
  ASSERT_TRUE(ran.WaitFor(1));
  EXPECT_TRUE(other_thread.load());
}

TEST(RunDetached, CreationFailureThrowsAndDestroysTheCopy) {
  // Drain the cache so a new thread is needed.
  std::vector<std::unique_ptr<Common::ThreadAccessor>> hold;
  Common::Event release(true);
  for (size_t i = 0; i < Common::ThreadPoolImpl::kMaxCachedWorkers; ++i)
    hold.push_back(Common::DefaultThreadPool::Instance().CreateThread(
        [](void* event) -> uint32_t {
          static_cast<Common::Event*>(event)->Wait();
          return 0;
        },
        &release));
  auto payload = std::make_shared<int>(0);
  Common::SetThreadCreateHookForTesting([] { return EAGAIN; });
  bool thrown = false;
  try {
    Network::Storage::RunDetached([payload] {});
  } catch (const Common::Error& error) {
    thrown = error.Code() == Common::kErrThreadCreate;
  }
  Common::SetThreadCreateHookForTesting(nullptr);
  release.Set();
  for (auto& job : hold) job->Join();
  EXPECT_TRUE(thrown);
  EXPECT_EQ(payload.use_count(), 1);
}

// Eight threads post a mix of immediate and delayed tasks and cancel some of
// the delayed ones. Model: a task runs exactly once unless Cancel reported it
// removed, in which case it never runs.
TEST(TaskManagerStress, EveryTaskRunsOnceUnlessCancelled) {
  const uint64_t total = zyk_test::Scaled(200000, 2000);
  const uint64_t seed = zyk_test::TestSeed();
  constexpr int kThreads = 8;
  const uint64_t per_thread = total / kThreads;
  std::vector<std::atomic<uint8_t>> runs(per_thread * kThreads);
  std::vector<uint8_t> cancelled(runs.size(), 0);
  {
    auto manager = CreateThreadPoolTaskManager();
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t)
      posters.emplace_back([&, t] {
        std::mt19937_64 random(seed + t);
        std::vector<std::pair<uint64_t, uint64_t>> delayed;  // (task index, identifier)
        for (uint64_t i = 0; i < per_thread; ++i) {
          uint64_t index = t * per_thread + i;
          Task task = [&runs, index] { runs[index].fetch_add(1, std::memory_order_relaxed); };
          switch (random() % 4) {
            case 0:
              delayed.emplace_back(index, manager->PostDelayed(task, 1 + random() % 5));
              break;
            case 1:
              delayed.emplace_back(index, manager->PostDelayed(task, 1000 + random() % 1000));
              break;
            default:
              manager->Post(task);
          }
          if (!delayed.empty() && random() % 3 == 0) {
            size_t pick = random() % delayed.size();
            auto [victim, id] = delayed[pick];
            delayed[pick] = delayed.back();
            delayed.pop_back();
            if (manager->Cancel({id}) == 1) cancelled[victim] = 1;
          }
        }
      });
    for (auto& poster : posters) poster.join();
    manager->ExpediteDelayed();
  }
  uint64_t wrong = 0, ran = 0, removed = 0;
  for (size_t i = 0; i < runs.size(); ++i) {
    uint8_t expected = cancelled[i] ? 0 : 1;
    if (runs[i].load() != expected && ++wrong < 5)
      ADD_FAILURE() << "task " << i << " ran " << int(runs[i].load()) << " times, cancelled " << int(cancelled[i]);
    ran += runs[i].load();
    removed += cancelled[i];
  }
  EXPECT_EQ(wrong, 0u);
  EXPECT_GT(removed, 0u);
  EXPECT_EQ(ran + removed, runs.size());
}

}  // namespace
