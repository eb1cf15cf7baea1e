#include "core/common/thread_pool.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>

#include "core/common/unix/event_unix.h"
#include "core/common/unix/sync_errors.h"

namespace Common {
namespace {

struct WorkerRecord;
void ReleaseRecord(WorkerRecord* record);

}  // namespace

struct ThreadPoolImpl::PoolImpl {
  mutable std::mutex mutex;
  std::array<WorkerRecord*, kMaxCachedWorkers> cache{};  // guarded by mutex
  size_t cached = 0;                                     // guarded by mutex
  size_t in_use = 0;                                     // guarded by mutex
  bool closed = false;                                   // guarded by mutex
  std::atomic<uint64_t> workers_started{0};
  std::atomic<uint64_t> workers_stopped{0};

  void Return(WorkerRecord* record);
};

namespace {

// One per pool thread. Two references while a job runs (its accessor and its
// worker); at zero the record goes back to the pool.
struct WorkerRecord {
  std::shared_ptr<ThreadPoolImpl::PoolImpl> pool;  // keeps the pool state alive
  ThreadFunction function = nullptr;
  void* argument = nullptr;
  std::unique_ptr<Thread> thread;
  Event done{true, true};     // manual reset; set while no job runs
  Event start{false, false};  // automatic reset; set once per job or to quit
  std::atomic<uint64_t> refs{0};
  int level = kNormalPriority;
  std::atomic<uint32_t> exit_code{0xFFFFFFFFu};
  std::atomic<bool> quit{false};
  std::atomic<bool> self_destroy{false};  // the worker frees the record when it quits
};

// Ends an idle worker and frees its record.
void ShutDown(WorkerRecord* record) {
  record->quit = true;
  record->start.Set();
  record->thread->Join();
  delete record;
}

uint32_t WorkerLoop(void* raw) {
  auto* record = static_cast<WorkerRecord*>(raw);
  for (;;) {
    record->start.Wait();
    if (record->quit) break;
    int level = record->level;
    if (level != kNormalPriority) SetThreadPriorityLevel(pthread_self(), level);
    record->exit_code = record->function(record->argument);
    if (level != kNormalPriority) SetThreadPriorityLevel(pthread_self(), kNormalPriority);
    ReleaseRecord(record);
    record->done.Set();
  }
  std::shared_ptr<ThreadPoolImpl::PoolImpl> pool = record->pool;
  pool->workers_stopped.fetch_add(1);
  // Nobody joins a worker whose pool was closed while it ran a job: it frees
  // its own record, which detaches its thread.
  if (record->self_destroy) delete record;
  return 0;
}

void ReleaseRecord(WorkerRecord* record) {
  if (record->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  std::shared_ptr<ThreadPoolImpl::PoolImpl> pool = record->pool;
  pool->Return(record);
}

class PoolAccessor : public ThreadAccessor {
 public:
  explicit PoolAccessor(WorkerRecord* record) : record_(record) {}
  ~PoolAccessor() override { ReleaseRecord(record_); }

  void Join() override { record_->done.Wait(); }
  bool WaitFor(uint32_t milliseconds) override { return record_->done.Wait(milliseconds); }
  void Terminate() override {}
  pthread_t GetHandle() const override { return record_->thread->GetHandle(); }
  void SetPriority(int) override {}
  int GetPriority() const override { return record_->level; }
  uint32_t GetExitCode() const override { return record_->exit_code; }

 private:
  WorkerRecord* record_;
};

std::atomic<bool> g_default_pool_destroyed{false};

}  // namespace

void ThreadPoolImpl::PoolImpl::Return(WorkerRecord* record) {
  WorkerRecord* displaced = nullptr;
  bool was_closed = false;
  {
    std::lock_guard<std::mutex> lock(mutex);
    --in_use;
    if (closed) {
      was_closed = true;
    } else if (cached < kMaxCachedWorkers) {
      cache[cached++] = record;
    } else {
      displaced = cache[kMaxCachedWorkers - 1];
      cache[kMaxCachedWorkers - 1] = record;
    }
  }
  if (was_closed) {
    record->self_destroy = true;
    record->quit = true;
    record->start.Set();  // the worker may free the record from here on
  }
  if (displaced != nullptr) ShutDown(displaced);
}

ThreadPoolImpl::ThreadPoolImpl() : pool_(std::make_shared<PoolImpl>()) {}

ThreadPoolImpl::~ThreadPoolImpl() {
  // A job that has just answered its caller (an unmount's callback, say) may
  // still be on its way back into the pool: give such jobs a moment, so that a
  // host can unload the library right after its last callback. Jobs still
  // running after that end on their own.
  for (int waited_ms = 0; waited_ms < 100; ++waited_ms) {
    {
      std::lock_guard<std::mutex> lock(pool_->mutex);
      if (pool_->in_use == 0) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::array<WorkerRecord*, kMaxCachedWorkers> idle{};
  size_t count = 0;
  {
    std::lock_guard<std::mutex> lock(pool_->mutex);
    pool_->closed = true;
    idle = pool_->cache;
    count = pool_->cached;
    pool_->cached = 0;
  }
  for (size_t i = 0; i < count; ++i) ShutDown(idle[i]);
}

std::unique_ptr<ThreadAccessor> ThreadPoolImpl::CreateThread(ThreadFunction function, void* argument, int level) {
  WorkerRecord* record = nullptr;
  {
    std::lock_guard<std::mutex> lock(pool_->mutex);
    ++pool_->in_use;
    if (pool_->cached > 0) record = pool_->cache[--pool_->cached];
  }
  if (record == nullptr) {
    try {
      record = new WorkerRecord;
      record->pool = pool_;
      record->thread = std::make_unique<Thread>(&WorkerLoop, record);
      pool_->workers_started.fetch_add(1);
    } catch (...) {
      delete record;  // its thread never started
      {
        std::lock_guard<std::mutex> lock(pool_->mutex);
        --pool_->in_use;
      }
      try {
        throw;
      } catch (const std::bad_alloc&) {
        throw Error(kErrThreadCreate, ZYK_HERE_AS("CreateThread"));
      }
    }
  }
  // A reused worker may still be finishing its previous job's bookkeeping.
  record->done.Wait();
  std::unique_ptr<ThreadAccessor> accessor;
  try {
    accessor = std::make_unique<PoolAccessor>(record);
  } catch (const std::bad_alloc&) {
    record->refs = 1;
    ReleaseRecord(record);
    throw Error(kErrThreadCreate, ZYK_HERE_AS("CreateThread"));
  }
  record->function = function;
  record->argument = argument;
  record->level = level;
  record->exit_code = 0xFFFFFFFFu;
  record->refs = 2;
  record->done.Reset();
  record->start.Set();
  return accessor;
}

ThreadPoolImpl::Stats ThreadPoolImpl::GetStatsForTesting() const {
  Stats stats;
  std::lock_guard<std::mutex> lock(pool_->mutex);
  stats.cached = pool_->cached;
  stats.in_use = pool_->in_use;
  stats.workers_started = pool_->workers_started.load();
  stats.workers_stopped = pool_->workers_stopped.load();
  return stats;
}

DefaultThreadPool& DefaultThreadPool::Instance() {
  if (g_default_pool_destroyed.load()) std::abort();
  static DefaultThreadPool pool;
  return pool;
}

DefaultThreadPool::~DefaultThreadPool() { g_default_pool_destroyed.store(true); }

}  // namespace Common
