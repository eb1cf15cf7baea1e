#pragma once
// TaskQueue: serialises the requests on one file object. Tasks pushed to a
// queue run one at a time, in push order, on the mount's task manager; tasks of
// different queues run in parallel. At most one run job per queue is posted at
// a time, so a long series of requests occupies at most one worker. The worker
// that ran a task and its callback runs the next task of the queue as well
// (until other work waits for a worker): handing it to another worker costs a
// wake-up and moves the request's memory between cores, and a task that a
// callback pushes onto its own queue starts only once that callback has
// returned.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>

#include "core/common/error.h"
#include "core/network/storage/backend/rio_dir/zyk_task.h"

namespace Network::Storage {
class TaskManager;
}

namespace Network::Storage::Backend {

// What a task's work returns when it cannot finish without waiting (a lock held
// elsewhere): the task stays at the front of its queue and its work runs again
// a little later, so the wait never holds a worker. Never reaches the host.
Common::Error RetryLater();
bool IsRetryLater(const Common::Error& error);

class TaskQueue : public std::enable_shared_from_this<TaskQueue> {
 public:
  // An empty queue posting to `manager` (weak: a queue never keeps a stopped
  // manager alive) and holding at most `limit` tasks, the running one included.
  static std::shared_ptr<TaskQueue> Create(std::weak_ptr<TaskManager> manager, uint64_t limit);

  TaskQueue(const TaskQueue&) = delete;
  TaskQueue& operator=(const TaskQueue&) = delete;
  // Tasks still queued are destroyed without running and without callbacks.
  ~TaskQueue();

  // Adds `task` at the back, or refuses it with 0x2850006 tagged "TaskLimit"
  // when the queue is full (the task is then dropped, its callback not called).
  // When the queue was idle the task is posted at once. Any thread.
  Common::Error Push(ZykTask task);

  // Tasks held, the running one included.
  size_t Size();

  // When the queue holds one task only and that task waits to run again (its
  // work returned RetryLater), runs `withdraw` in its place, removes it and
  // answers it with what `withdraw` returns: true. Otherwise changes nothing:
  // false. A retry that is running is waited for (it never blocks). Any thread
  // but one of this queue's tasks.
  bool CancelWaitingTask(const std::function<Common::Error()>& withdraw);

 private:
  TaskQueue(std::weak_ptr<TaskManager> manager, uint64_t limit);
  // Posts a run job for the front task. Requires mutex_ held and a front task.
  void ScheduleLocked();
  // The posted job: RunFront, again while a callback pushed the next task.
  void Run();
  // True when tasks posted elsewhere wait for a worker, or the manager is gone.
  bool OthersWait();
  // Runs the front task, removes it, releases the task's work (and with it
  // the object reference it holds), then calls the finished task's callback.
  // True when a next task is queued (before or by that callback), left for
  // the caller to run.
  bool RunFront();
  // The job posted for a waiting front task; runs it again unless `ticket` is
  // stale (the wait was cancelled, or another retry took over).
  void Retry(uint64_t ticket);
  // Schedules the next try of the front task, backing off up to a limit.
  // Requires mutex_ held.
  void ParkLocked();

  std::mutex mutex_;
  std::deque<ZykTask> tasks_;  // guarded by mutex_; the front task's place stays while it runs
  // The posted run job's reference to this queue, set while a job is posted
  // and not yet started; guarded by mutex_.
  std::shared_ptr<TaskQueue> scheduled_self_;
  bool waiting_ = false;                // guarded by mutex_: the front task waits for its retry
  bool run_after_callback_ = false;     // guarded by mutex_: see RunFront
  bool retrying_ = false;               // guarded by mutex_: a retry of the front task is running
  uint64_t ticket_ = 0;                 // guarded by mutex_: names the retry now scheduled
  int64_t retry_delay_ms_ = 0;          // guarded by mutex_; 0 while nothing waits
  std::set<uint64_t> retry_ids_;        // guarded by mutex_: delayed retry jobs
  std::condition_variable retry_done_;  // signalled when a running retry ends
  const std::weak_ptr<TaskManager> manager_;
  const uint64_t limit_;
};

}  // namespace Network::Storage::Backend
