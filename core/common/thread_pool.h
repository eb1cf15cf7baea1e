#pragma once
// Common::ThreadPoolImpl: runs jobs on worker threads that are kept after a job
// ends, so the next job starts without creating a thread. At most 16 idle
// workers are cached; the most recently returned one is reused first.
// Common::DefaultThreadPool: the process-wide pool.
//
// Thread safety: CreateThread and the accessors it returns may be used from any
// thread. A job's worker goes back to the pool when both the job has returned
// and its accessor has been destroyed.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/common/unix/thread_unix.h"

namespace Common {

class ThreadPoolImpl {
 public:
  static constexpr size_t kMaxCachedWorkers = 16;

  ThreadPoolImpl();
  // Shuts down the idle workers; a worker still running a job ends after it.
  ~ThreadPoolImpl();
  ThreadPoolImpl(const ThreadPoolImpl&) = delete;
  ThreadPoolImpl& operator=(const ThreadPoolImpl&) = delete;

  // Runs `function(argument)` on a pool thread at priority `level` (0 to 3; 2 is
  // normal) and returns the accessor of that job. Join and WaitFor wait for the
  // job, not for the worker; Terminate and SetPriority do nothing. Throws
  // Common::Error 7 when no worker can be provided.
  std::unique_ptr<ThreadAccessor> CreateThread(ThreadFunction function, void* argument, int level = kNormalPriority);

  // Test seam: what the pool holds and how many worker threads it started and ended.
  struct Stats {
    size_t cached = 0;
    size_t in_use = 0;
    uint64_t workers_started = 0;
    uint64_t workers_stopped = 0;
  };
  Stats GetStatsForTesting() const;

  struct PoolImpl;

 private:
  std::shared_ptr<PoolImpl> pool_;
};

class DefaultThreadPool : public ThreadPoolImpl {
 public:
  // The process-wide pool, made on first use. Aborts the process when used
  // after it was destroyed at exit.
  static DefaultThreadPool& Instance();
  ~DefaultThreadPool();

 private:
  DefaultThreadPool() = default;
};

}  // namespace Common
