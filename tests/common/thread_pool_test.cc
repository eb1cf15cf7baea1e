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

uint32_t ReturnArgument(void*) { return 0; }

uint32_t WaitForEvent(void* argument) {
  static_cast<Common::Event*>(argument)->Wait();
  return 3;
}

// Runs one job to its end; its worker is back in the pool on return.
pthread_t RunToEnd(ThreadPoolImpl& pool) {
  auto job = pool.CreateThread(&ReturnArgument, nullptr);
  job->Join();
  return job->GetHandle();
}

TEST(ThreadPool, WaitForZeroSeesWhetherTheJobEndedAndItsExitCode) {
  ThreadPoolImpl pool;
  Common::Event release(true);
  auto job = pool.CreateThread(&WaitForEvent, &release, 1);
  EXPECT_FALSE(job->WaitFor(0));
  EXPECT_EQ(job->GetExitCode(), 0xFFFFFFFFu);
  release.Set();
  EXPECT_TRUE(job->WaitFor(5000));
  EXPECT_TRUE(job->WaitFor(0));
  EXPECT_EQ(job->GetExitCode(), 3u);
  job->SetPriority(3);  // does nothing for a pool job
  EXPECT_EQ(job->GetPriority(), 1);
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

// Under AddressSanitizer a worker that outlives its pool must not touch it.
TEST(ThreadPool, DestroyingThePoolEndsIdleAndBusyWorkers) {
  Common::Event release(true);
  auto pool = std::make_unique<ThreadPoolImpl>();
  RunToEnd(*pool);
  auto busy = pool->CreateThread(&WaitForEvent, &release);
  RunToEnd(*pool);
  pool.reset();  // the idle worker ends here; the busy one after its job
  release.Set();
  busy->Join();
  EXPECT_EQ(busy->GetExitCode(), 3u);
}

TEST(ThreadPool, CreationFailureThrowsCodeSevenAndLeavesNothingInUse) {
  ThreadPoolImpl pool;
  Common::SetThreadCreateHookForTesting([] { return EAGAIN; });
  uint32_t code = 0;
  try {
    pool.CreateThread(&ReturnArgument, nullptr);
  } catch (const Common::Error& error) {
    code = error.Code();
  }
  Common::SetThreadCreateHookForTesting(nullptr);
  EXPECT_EQ(code, Common::kErrThreadCreate);
  EXPECT_EQ(pool.GetStatsForTesting().in_use, 0u);
  RunToEnd(pool);  // the pool still works
}

// Each job of many started at once runs exactly once and every worker comes back.
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
  // Dropped jobs return their workers too, shortly after they end.
  EXPECT_TRUE(zyk_test::Eventually([&] { return pool.GetStatsForTesting().in_use == 0; }));
  EXPECT_EQ(runs.load(), 4 * per_thread);
  auto stats = pool.GetStatsForTesting();
  EXPECT_EQ(stats.in_use, 0u);
  EXPECT_LE(stats.cached, ThreadPoolImpl::kMaxCachedWorkers);
  EXPECT_EQ(stats.workers_started - stats.workers_stopped, stats.cached);
}

}  // namespace
