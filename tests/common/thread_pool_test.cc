#include "core/common/thread_pool.h"

#include <errno.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/common/unix/event_unix.h"
#include "core/common/unix/sync_errors.h"
#include "support/test_support.h"

namespace {

using Common::ThreadAccessor;
using Common::ThreadPoolImpl;

uint32_t ReturnArgument(void* argument) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(argument)); }

uint32_t WaitForEvent(void* argument) {
  static_cast<Common::Event*>(argument)->Wait();
  return 3;
}

// Runs one job to its end and returns its worker's handle; the accessor is
// destroyed before returning, so the worker is back in the pool.
pthread_t RunToEnd(ThreadPoolImpl& pool) {
  auto job = pool.CreateThread(&ReturnArgument, nullptr);
  job->Join();
  return job->GetHandle();
}

TEST(ThreadPool, JobReportsItsExitCodeAndRequestedLevel) {
  ThreadPoolImpl pool;
  auto job = pool.CreateThread(&ReturnArgument, reinterpret_cast<void*>(uintptr_t{99}), 1);
  job->Join();
  EXPECT_EQ(job->GetExitCode(), 99u);
  EXPECT_EQ(job->GetPriority(), 1);
  job->SetPriority(3);  // does nothing for a pool job
  EXPECT_EQ(job->GetPriority(), 1);
}

TEST(ThreadPool, WaitForZeroSeesWhetherTheJobEnded) {
  ThreadPoolImpl pool;
  Common::Event release(true);
  auto job = pool.CreateThread(&WaitForEvent, &release);
  EXPECT_FALSE(job->WaitFor(0));
  EXPECT_EQ(job->GetExitCode(), 0xFFFFFFFFu);
  release.Set();
  EXPECT_TRUE(job->WaitFor(5000));
  EXPECT_TRUE(job->WaitFor(0));
  EXPECT_EQ(job->GetExitCode(), 3u);
}

TEST(ThreadPool, SequentialJobsReuseOneWorker) {
  ThreadPoolImpl pool;
  pthread_t first = RunToEnd(pool);
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(pthread_equal(RunToEnd(pool), first));
  auto stats = pool.GetStatsForTesting();
  EXPECT_EQ(stats.workers_started, 1u);
  EXPECT_EQ(stats.cached, 1u);
  EXPECT_EQ(stats.in_use, 0u);
}

TEST(ThreadPool, WorkerReturnsWhenAccessorIsDroppedBeforeTheJobEnds) {
  ThreadPoolImpl pool;
  Common::Event release(true);
  pool.CreateThread(&WaitForEvent, &release);  // accessor dropped at once
  EXPECT_EQ(pool.GetStatsForTesting().in_use, 1u);
  release.Set();
  for (int i = 0; i < 5000 && pool.GetStatsForTesting().in_use != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(pool.GetStatsForTesting().in_use, 0u);
  EXPECT_EQ(pool.GetStatsForTesting().cached, 1u);
}

TEST(ThreadPool, SeventeenthFinishedJobDisplacesACachedWorker) {
  ThreadPoolImpl pool;
  Common::Event release(true);
  std::vector<std::unique_ptr<ThreadAccessor>> jobs;
  for (int i = 0; i < 17; ++i) jobs.push_back(pool.CreateThread(&WaitForEvent, &release));
  std::vector<pthread_t> handles;
  for (auto& job : jobs) handles.push_back(job->GetHandle());
  release.Set();
  // Return the workers one by one, in order: 0..15 fill the cache, 16 displaces 15.
  for (auto& job : jobs) {
    job->Join();
    job.reset();
  }
  auto stats = pool.GetStatsForTesting();
  EXPECT_EQ(stats.workers_started, 17u);
  EXPECT_EQ(stats.workers_stopped, 1u);
  EXPECT_EQ(stats.cached, ThreadPoolImpl::kMaxCachedWorkers);
  EXPECT_EQ(stats.in_use, 0u);

  // The next jobs take the most recently returned worker first, then 14, 13, ...
  auto next = pool.CreateThread(&WaitForEvent, &release);
  EXPECT_TRUE(pthread_equal(next->GetHandle(), handles[16]));
  auto after = pool.CreateThread(&WaitForEvent, &release);
  EXPECT_TRUE(pthread_equal(after->GetHandle(), handles[14]));
  EXPECT_EQ(pool.GetStatsForTesting().workers_started, 17u);
  next->Join();
  after->Join();
}

TEST(ThreadPool, DestroyingThePoolEndsIdleAndBusyWorkers) {
  Common::Event release(true);
  std::unique_ptr<ThreadAccessor> busy;
  ThreadPoolImpl::Stats stats;
  {
    auto pool = std::make_unique<ThreadPoolImpl>();
    RunToEnd(*pool);
    RunToEnd(*pool);
    busy = pool->CreateThread(&WaitForEvent, &release);
    auto idle = pool->CreateThread(&ReturnArgument, nullptr);
    idle->Join();
    idle.reset();
    pool.reset();  // the idle worker ends here; the busy one after its job
    release.Set();
    busy->Join();
    EXPECT_EQ(busy->GetExitCode(), 3u);
  }
  busy.reset();  // the worker frees itself now
  SUCCEED();
}

TEST(ThreadPool, CreationFailureThrowsCodeSevenAndLeavesNothingInUse) {
  ThreadPoolImpl pool;
  Common::SetThreadCreateHookForTesting([] { return EAGAIN; });
  try {
    pool.CreateThread(&ReturnArgument, nullptr);
    Common::SetThreadCreateHookForTesting(nullptr);
    FAIL() << "no error";
  } catch (const Common::Error& error) {
    Common::SetThreadCreateHookForTesting(nullptr);
    EXPECT_EQ(error.Code(), Common::kErrThreadCreate);
  }
  EXPECT_EQ(pool.GetStatsForTesting().in_use, 0u);
  RunToEnd(pool);  // the pool still works
}

// Many threads start jobs at once: each job runs exactly once and every worker
// comes back.
TEST(ThreadPool, ConcurrentJobsEachRunOnce) {
  const int per_thread = static_cast<int>(zyk_test::Scaled(2000, 50));
  ThreadPoolImpl pool;
  std::atomic<int> runs{0};
  auto count = [](void* argument) -> uint32_t {
    static_cast<std::atomic<int>*>(argument)->fetch_add(1);
    return 0;
  };
  std::vector<std::thread> starters;
  for (int t = 0; t < 4; ++t)
    starters.emplace_back([&] {
      for (int i = 0; i < per_thread; ++i) {
        auto job = pool.CreateThread(count, &runs);
        if (i % 3 == 0) job->Join();
      }
    });
  for (auto& starter : starters) starter.join();
  for (int i = 0; i < 10000 && pool.GetStatsForTesting().in_use != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(runs.load(), 4 * per_thread);
  auto stats = pool.GetStatsForTesting();
  EXPECT_EQ(stats.in_use, 0u);
  EXPECT_LE(stats.cached, ThreadPoolImpl::kMaxCachedWorkers);
  EXPECT_EQ(stats.workers_started - stats.workers_stopped, stats.cached);
}

TEST(DefaultThreadPool, IsOneProcessWidePool) {
  EXPECT_EQ(&Common::DefaultThreadPool::Instance(), &Common::DefaultThreadPool::Instance());
  auto job = Common::DefaultThreadPool::Instance().CreateThread(&ReturnArgument, reinterpret_cast<void*>(uintptr_t{5}));
  job->Join();
  EXPECT_EQ(job->GetExitCode(), 5u);
}

}  // namespace
