#include "core/network/storage/common/task_manager.h"

#include <errno.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <limits>
#include <mutex>
#include <random>
#include <set>
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
using namespace std::chrono_literals;

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

// Records values added by tasks, in order, and lets a test wait for a count.
class Log {
 public:
  void Add(int value = 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    values_.push_back(value);
    changed_.notify_all();
  }
  bool WaitFor(size_t count, std::chrono::milliseconds limit = 10s) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return values_.size() >= count; });
  }
  std::vector<int> Values() {
    std::lock_guard<std::mutex> lock(mutex_);
    return values_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<int> values_;
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
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.emplace_back(text, text + std::char_traits<char16_t>::length(text));
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

// Without a positive delay a delayed task is posted at once (identifier 0);
// empty tasks are ignored.
TEST(TaskManager, PostDelayedWithoutPositiveDelayRunsAtOnce) {
  auto manager = CreateThreadPoolTaskManager();
  Log ran;
  manager->Post(Task());
  manager->Post([&] { ran.Add(); });
  for (int64_t delay : {int64_t{0}, int64_t{-5}, std::numeric_limits<int64_t>::min()}) {
    EXPECT_EQ(manager->PostDelayed([&] { ran.Add(); }, delay), 0u) << delay;
  }
  EXPECT_EQ(manager->PostDelayed(Task(), 10), 0u);
  EXPECT_TRUE(ran.WaitFor(4, 5s));
}

TEST(TaskManager, DelayedTasksRunInOrderOfDueTimeNotBefore) {
  auto manager = CreateThreadPoolTaskManager();
  Log ran;
  const auto before = std::chrono::steady_clock::now();
  for (int delay : {90, 30, 60, 10}) EXPECT_NE(manager->PostDelayed([&, delay] { ran.Add(delay); }, delay), 0u);
  ASSERT_TRUE(ran.WaitFor(1));
  EXPECT_GE(std::chrono::steady_clock::now() - before, 9ms);
  ASSERT_TRUE(ran.WaitFor(4));
  EXPECT_GE(std::chrono::steady_clock::now() - before, 85ms);
  EXPECT_EQ(ran.Values(), (std::vector<int>{10, 30, 60, 90}));
}

TEST(TaskManager, CancelRemovesOnlyPendingTasks) {
  auto manager = CreateThreadPoolTaskManager();
  Log ran;
  const uint64_t due = manager->PostDelayed([&] { ran.Add(); }, 1);
  ASSERT_TRUE(ran.WaitFor(1));
  std::atomic<bool> pending_ran{false};
  auto payload = std::make_shared<int>(0);
  const uint64_t pending = manager->PostDelayed([&, payload] { pending_ran = true; }, 60000);
  const uint64_t other = manager->PostDelayed([&] { pending_ran = true; }, 60000);
  const std::pair<std::set<uint64_t>, size_t> cases[] = {
      {{due}, 0}, {{987654321}, 0}, {{0}, 0}, {{pending, 987654321}, 1}, {{pending}, 0}, {{other}, 1}};
  for (const auto& [ids, removed] : cases) EXPECT_EQ(manager->Cancel(ids), removed) << *ids.begin();
  EXPECT_EQ(payload.use_count(), 1) << "a cancelled task must be destroyed by Cancel";
  manager->ExpediteDelayed();
  manager.reset();
  EXPECT_FALSE(pending_ran.load());
}

// The caller's identifier set keeps only tasks still pending; the counter
// skips 0 when it wraps.
TEST(TaskManager, IdentifiersSkipZeroAndTheSetKeepsOnlyPendingTasks) {
  auto manager = CreateThreadPoolTaskManager();
  dynamic_cast<Network::Storage::ThreadPoolTaskManager&>(*manager).SetLastIdentifierForTesting(kMax - 2);
  Log ran;
  std::set<uint64_t> ids;
  EXPECT_EQ(manager->PostDelayed([&] { ran.Add(); }, 1, &ids), kMax - 1);
  EXPECT_EQ(manager->PostDelayed([] {}, 60000, &ids), kMax);
  ASSERT_TRUE(ran.WaitFor(1));  // a due task leaves the pending set before it runs
  EXPECT_EQ(manager->PostDelayed([] {}, 60000, &ids), 1u);
  EXPECT_EQ(manager->PostDelayed([] {}, 60000, &ids), 2u);
  EXPECT_EQ(ids, (std::set<uint64_t>{kMax, 1, 2}));
  EXPECT_EQ(manager->Cancel(ids), 3u);
}

// Dropping the handle runs every task posted before it, never a delayed task
// not yet due, unless ExpediteDelayed was called.
TEST(TaskManager, DroppingTheHandleRunsPostedTasksAndOnlyExpeditedFutureOnes) {
  for (bool expedite : {false, true}) {
    SCOPED_TRACE(expedite ? "expedited" : "not expedited");
    std::atomic<int> ran{0}, future_ran{0};
    auto payload = std::make_shared<int>(0);
    const size_t in_use_before = Common::DefaultThreadPool::Instance().GetStatsForTesting().in_use;
    // The tasks wait until the handle is being dropped, so they are still queued then.
    Common::Event dropping(true);
    const pid_t dropper = ::gettid();
    std::thread releaser([&] {
      zyk_test::Asleep(dropper);
      dropping.Set();
    });
    {
      auto manager = CreateThreadPoolTaskManager();
      for (int i = 0; i < 500; ++i) {
        manager->Post([&] {
          dropping.Wait();
          ran++;
        });
      }
      for (int i = 0; i < 5; ++i) manager->PostDelayed([&, payload] { future_ran++; }, 60000 + i);
      if (expedite) manager->ExpediteDelayed();
    }
    releaser.join();
    EXPECT_EQ(ran.load(), 500);
    EXPECT_EQ(future_ran.load(), expedite ? 5 : 0);
    EXPECT_EQ(Common::DefaultThreadPool::Instance().GetStatsForTesting().in_use, in_use_before)
        << "a worker or the timer was left running";
    EXPECT_EQ(payload.use_count(), 1) << "a delayed task was not destroyed";
  }
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
  Log ran;
  manager->Post([&] { ran.Add(); });
  EXPECT_TRUE(ran.WaitFor(1));
  manager.reset();
  const auto lines = sink.Lines();
  auto count = [&](const char* text) {
    return std::count_if(lines.begin(), lines.end(), [&](const auto& line) { return line.find(text) != line.npos; });
  };
  EXPECT_EQ(count("Unexpected: 'Error: 0x00040001"), 40);
  EXPECT_EQ(count("Unexpected std::exception: 'boom'"), 40);
}

TEST(SafeExecute, TracesWhatTheTaskThrowsAndRethrowsUnknownExceptions) {
  CapturingSink sink;
  Network::Storage::SafeExecute([] { throw Common::Error(0x40011, ZYK_HERE); });
  Network::Storage::SafeExecute([] { throw std::logic_error("bad"); });
  Network::Storage::SafeExecute(Task());  // calling an empty task throws a standard exception
  EXPECT_THROW(Network::Storage::SafeExecute([] { throw 42; }), int);
  auto lines = sink.Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].rfind("core/network/storage/common/task:", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("Unexpected: 'Error: 0x00040011, tag: 0x"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("Unexpected std::exception: 'bad'"), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find("Unexpected std::exception: '"), std::string::npos) << lines[2];
  EXPECT_NE(lines[3].find("Unknown exception, rethrowing"), std::string::npos) << lines[3];
}

// `count` tasks that each wait for all the others can only finish when that
// many workers run them at the same time.
void ExpectConcurrency(TaskManager& manager, int count) {
  std::mutex mutex;
  std::condition_variable all_arrived;
  int arrived = 0;
  Log finished;
  for (int i = 0; i < count; ++i) {
    manager.Post([&] {
      std::unique_lock<std::mutex> lock(mutex);
      ++arrived;
      all_arrived.notify_all();
      all_arrived.wait_for(lock, 10s, [&] { return arrived == count; });
      lock.unlock();
      finished.Add();
    });
  }
  ASSERT_TRUE(finished.WaitFor(count, 20s));
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(arrived, count);
}

TEST(TaskManager, ThirtyTwoWorkersAndSetThreadLimitOnlyRaises) {
  auto manager = CreateThreadPoolTaskManager();
  ExpectConcurrency(*manager, 32);
  EXPECT_EQ(manager->SetThreadLimit(40), 40u);
  EXPECT_EQ(manager->SetThreadLimit(8), 40u);
  ExpectConcurrency(*manager, 40);
}

TEST(TaskManager, DroppingTheLastHandleInsideATaskDoesNotDeadlock) {
  Log ran;
  auto manager = CreateThreadPoolTaskManager();
  std::weak_ptr<TaskManager> watch = manager;
  auto* raw = manager.get();
  raw->Post([&, handle = std::move(manager)]() mutable {
    handle->Post([&] { ran.Add(); });
    handle.reset();  // the last handle: the stop is requested from a worker
    ran.Add();
  });
  ASSERT_TRUE(ran.WaitFor(2));
  EXPECT_TRUE(zyk_test::Eventually([&] { return watch.expired(); }));
}

TEST(TaskManager, OnlyTheFirstTaskPostedInAFollowOnScopeWaitsForTheWorkersTask) {
  auto manager = CreateThreadPoolTaskManager();
  Log done;
  std::thread::id posting_worker;
  std::thread::id follow_on_worker;
  std::atomic<bool> posting_task_ended{false};
  bool follow_on_started_after_end = false;
  bool pending_seen = false;
  bool others_ran = false;
  manager->Post([&] {
    posting_worker = std::this_thread::get_id();
    Log others;
    {
      Network::Storage::FollowOnScope scope;
      manager->Post([&] {
        follow_on_worker = std::this_thread::get_id();
        follow_on_started_after_end = posting_task_ended;
        done.Add();
      });
      pending_seen = Network::Storage::FollowOnPending();
      manager->Post([&] { others.Add(); });  // the slot is taken: another worker runs it
    }
    manager->Post([&] { others.Add(); });  // outside the scope: posted as usual
    // Waiting here would never end for a task kept for this worker.
    others_ran = others.WaitFor(2);
    posting_task_ended = true;
  });
  ASSERT_TRUE(done.WaitFor(1));
  EXPECT_TRUE(pending_seen);
  EXPECT_TRUE(others_ran);
  EXPECT_TRUE(follow_on_started_after_end);
  EXPECT_EQ(follow_on_worker, posting_worker);
}

// Chains of follow-on tasks on every worker still let a posted task run.
TEST(TaskManager, FollowOnChainsOnEveryWorkerLetAPostedTaskRun) {
  auto manager = CreateThreadPoolTaskManager();
  std::atomic<bool> stop{false};
  Log ended;
  std::function<void()> link = [&] {
    if (stop) return ended.Add();
    Network::Storage::FollowOnScope scope;
    manager->Post(link);
  };
  const uint64_t workers = Network::Storage::ThreadPoolTaskManager::kDefaultThreadLimit;
  for (uint64_t i = 0; i < workers; ++i) manager->Post(link);
  Log posted;
  manager->Post([&] { posted.Add(); });
  EXPECT_TRUE(posted.WaitFor(1));
  stop = true;
  EXPECT_TRUE(ended.WaitFor(workers));
}

TEST(TaskManager, FactoryFailureEndsTheThreadsAlreadyStarted) {
  // Let a few threads start (up to 16 come from the pool's cache), then fail;
  // the ones started must not be left waiting on a destroyed manager.
  // Threads of earlier tests' managers may still be ending (a stop requested
  // from a task runs on a thread of its own); their records coming back to
  // the cache during the factory would spare it the failing creations.
  auto& pool = Common::DefaultThreadPool::Instance();
  ASSERT_TRUE(zyk_test::Eventually([&] { return pool.GetStatsForTesting().in_use == 0; }));
  Common::SetThreadCreateHookForTesting([]() -> int {
    static std::atomic<int> calls{0};
    return ++calls % 3 == 0 ? EAGAIN : 0;
  });
  std::shared_ptr<TaskManager> manager;
  try {
    manager = CreateThreadPoolTaskManager();
  } catch (const Common::Error& error) {
    EXPECT_EQ(error.Code(), Common::kErrThreadCreate);
  }
  Common::SetThreadCreateHookForTesting(nullptr);
  EXPECT_EQ(manager, nullptr);
  // The pool and a fresh manager still work.
  manager = CreateThreadPoolTaskManager();
  Log ran;
  manager->Post([&] { ran.Add(); });
  EXPECT_TRUE(ran.WaitFor(1));
}

TEST(RunDetached, RunsOnAThreadOfItsOwnAndACreationFailureDestroysTheCopy) {
  Log ran;
  const std::thread::id caller = std::this_thread::get_id();
  Network::Storage::RunDetached([&] { ran.Add(std::this_thread::get_id() != caller); });
  ASSERT_TRUE(ran.WaitFor(1));
  EXPECT_EQ(ran.Values(), std::vector<int>{1});

  // The job's worker goes back to the cache just after the job has run; once
  // it is there, drain the cache so a new thread is needed, then make creation fail.
  auto& pool = Common::DefaultThreadPool::Instance();
  ASSERT_TRUE(zyk_test::Eventually([&] { return pool.GetStatsForTesting().in_use == 0; }));
  std::vector<std::unique_ptr<Common::ThreadAccessor>> hold;
  Common::Event release(true);
  for (size_t i = 0; i < Common::ThreadPoolImpl::kMaxCachedWorkers; ++i) {
    hold.push_back(pool.CreateThread(
        [](void* event) -> uint32_t {
          static_cast<Common::Event*>(event)->Wait();
          return 0;
        },
        &release));
  }
  auto payload = std::make_shared<int>(0);
  Common::SetThreadCreateHookForTesting([] { return EAGAIN; });
  uint32_t code = 0;
  try {
    Network::Storage::RunDetached([payload] {});
  } catch (const Common::Error& error) {
    code = error.Code();
  }
  Common::SetThreadCreateHookForTesting(nullptr);
  release.Set();
  for (auto& job : hold) job->Join();
  EXPECT_EQ(code, Common::kErrThreadCreate);
  EXPECT_EQ(payload.use_count(), 1);
}

// Eight threads post a mix of immediate and delayed tasks and cancel some of
// the delayed ones: a task runs exactly once unless Cancel reported it
// removed, in which case it never runs.
TEST(TaskManagerStress, EveryTaskRunsOnceUnlessCancelled) {
  const uint64_t seed = zyk_test::TestSeed();
  constexpr int kThreads = 8;
  const uint64_t per_thread = zyk_test::Scaled(200000, 2000) / kThreads;
  std::vector<std::atomic<uint8_t>> runs(per_thread * kThreads);
  std::vector<uint8_t> cancelled(runs.size(), 0);
  {
    auto manager = CreateThreadPoolTaskManager();
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
      posters.emplace_back([&, t] {
        std::mt19937_64 random(seed + t);
        std::vector<std::pair<uint64_t, uint64_t>> delayed;  // (task index, identifier)
        for (uint64_t index = t * per_thread; index < (t + 1) * per_thread; ++index) {
          Task task = [&runs, index] { runs[index].fetch_add(1, std::memory_order_relaxed); };
          const unsigned kind = random() % 4;
          if (kind >= 2) {
            manager->Post(task);
          } else {
            const int64_t delay = kind == 0 ? 1 + random() % 5 : 1000 + random() % 1000;
            delayed.emplace_back(index, manager->PostDelayed(task, delay));
          }
          if (!delayed.empty() && random() % 3 == 0) {
            const size_t pick = random() % delayed.size();
            const auto [victim, id] = delayed[pick];
            delayed[pick] = delayed.back();
            delayed.pop_back();
            if (manager->Cancel({id}) == 1) cancelled[victim] = 1;
          }
        }
      });
    }
    for (auto& poster : posters) poster.join();
    manager->ExpediteDelayed();
  }
  uint64_t wrong = 0, ran = 0, removed = 0;
  for (size_t i = 0; i < runs.size(); ++i) {
    if (runs[i].load() != (cancelled[i] ? 0 : 1) && ++wrong < 5) {
      ADD_FAILURE() << "task " << i << " ran " << int(runs[i].load()) << " times, cancelled " << int(cancelled[i]);
    }
    ran += runs[i].load();
    removed += cancelled[i];
  }
  EXPECT_EQ(wrong, 0u);
  EXPECT_GT(removed, 0u);
  EXPECT_EQ(ran + removed, runs.size());
}

}  // namespace
