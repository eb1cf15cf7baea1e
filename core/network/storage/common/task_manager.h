#pragma once
// The task manager of a mount: runs tasks on a fixed set of pool threads, at
// once or after a delay, and lets delayed tasks that are not yet due be
// cancelled. No exception leaves a task (see SafeExecute).
//
// Thread safety: every operation may be called from any thread, including from
// inside a task. Tasks run concurrently; ordering between them is the caller's
// business.
//
// Follow-on tasks: while a FollowOnScope lives on one of a manager's workers,
// the first task that thread posts to that manager is kept for the same worker,
// which runs it as soon as its current task ends. A request made from a
// completion callback thus starts without waking another worker and finds its
// memory in this core's cache. Whoever opens the scope must not wait for what is
// posted inside it.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "core/common/thread_pool.h"
#include "core/common/unix/semaphore_unix.h"
#include "core/network/storage/common/task.h"

namespace Network::Storage {

// Opens a follow-on window on this thread (see above); nests.
class FollowOnScope {
 public:
  FollowOnScope();
  ~FollowOnScope();
  FollowOnScope(const FollowOnScope&) = delete;
  FollowOnScope& operator=(const FollowOnScope&) = delete;

 private:
  const bool outer_;
};

// True on a worker that holds a follow-on task, which runs once the worker's
// current task ends. A task that could run on for long (a run of queued tasks)
// stops early to let it start.
bool FollowOnPending();

class TaskManager {
 public:
  // Runs `task` as soon as a worker is free. An empty task is ignored.
  virtual void Post(Task task) = 0;
  // Runs `task` after `delay_ms` and returns its identifier (never 0). A delay
  // below 1 posts it at once and returns 0; an empty task is ignored and gives 0.
  // When `ids` is given, identifiers no longer pending are first removed from
  // it, then the new identifier is added.
  virtual uint64_t PostDelayed(Task task, int64_t delay_ms, std::set<uint64_t>* ids = nullptr) = 0;
  // Removes those of `ids` that are delayed and not yet due; returns how many.
  // The removed tasks are destroyed without running, before Cancel returns.
  virtual size_t Cancel(const std::set<uint64_t>& ids) = 0;
  // Raises the number of workers to `count` (never lowers it); returns the
  // number of workers now running.
  virtual uint64_t SetThreadLimit(uint64_t count) = 0;
  // From now on delayed tasks are released at once instead of at their due time.
  virtual void ExpediteDelayed() = 0;
  // True when posted tasks wait for a free worker (a snapshot): a long run of
  // work on one worker should then let them go first.
  virtual bool HasWaitingTasks() = 0;
  virtual ~TaskManager() = default;
};

// A manager with 32 workers and a timer thread from the process-wide pool.
// Dropping the last reference to the handle stops it: every task posted before
// (and every delayed task already due) runs, then the threads end; delayed
// tasks not yet due are destroyed without running unless ExpediteDelayed was
// called. Throws Common::Error 7 when its threads cannot be started.
std::shared_ptr<TaskManager> CreateThreadPoolTaskManager();

class ThreadPoolTaskManager : public TaskManager {
 public:
  static constexpr uint64_t kDefaultThreadLimit = 32;

  ThreadPoolTaskManager();
  ~ThreadPoolTaskManager() override;

  void Post(Task task) override;
  uint64_t PostDelayed(Task task, int64_t delay_ms, std::set<uint64_t>* ids = nullptr) override;
  size_t Cancel(const std::set<uint64_t>& ids) override;
  uint64_t SetThreadLimit(uint64_t count) override;
  void ExpediteDelayed() override;
  bool HasWaitingTasks() override;

  // Starts the workers up to the limit and the timer thread.
  void Start();
  // Sends the stop token through the timer and waits for the timer and then
  // every worker to end. Must not run on one of this manager's own threads.
  void Stop();
  // True when called on one of this manager's worker or timer threads.
  bool IsOwnThread() const;

  // Test seam: the counter from which the next identifier is taken.
  void SetLastIdentifierForTesting(uint64_t value);

 private:
  static uint32_t WorkerMain(void* self);
  static uint32_t TimerMain(void* self);
  void WorkerLoop();
  void TimerLoop();
  // Schedules `task` (which may be the empty stop token) after `delay_ms` >= 1.
  uint64_t Schedule(Task task, int64_t delay_ms, std::set<uint64_t>* ids);

  Common::Semaphore ready_count_{0};   // one signal per task placed in ready_
  Common::Semaphore timer_wakeup_{0};  // one signal per change of timer_order_

  std::mutex queue_mutex_;
  std::deque<Task> ready_;                        // guarded by queue_mutex_
  std::multimap<int64_t, uint64_t> timer_order_;  // guarded by queue_mutex_; due ms -> id
  std::map<uint64_t, Task> pending_;              // guarded by queue_mutex_
  bool stopping_ = false;                         // guarded by queue_mutex_
  uint64_t last_id_ = 0;                          // guarded by queue_mutex_

  std::mutex thread_mutex_;                                     // never held together with queue_mutex_
  std::list<std::shared_ptr<Common::ThreadAccessor>> workers_;  // guarded by thread_mutex_
  std::shared_ptr<Common::ThreadAccessor> timer_;               // guarded by thread_mutex_
  uint64_t thread_limit_ = kDefaultThreadLimit;                 // guarded by thread_mutex_
};

}  // namespace Network::Storage
