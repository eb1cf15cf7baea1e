#include "core/network/storage/backend/rio_dir/task_queue.h"

#include <algorithm>
#include <utility>

#include "core/network/storage/backend/rio_dir/result_codes.h"
#include "core/network/storage/common/task_manager.h"

namespace Network::Storage::Backend {

// Retries of a waiting task start at once and back off to this delay.
inline constexpr int64_t kLongestRetryDelayMs = 16;

// A queue's tasks run on one worker in runs of this many tasks; after each run
// the queue goes back to the task manager's line when other work waits there.
inline constexpr int kMaxTasksPerRun = 64;

// The queue whose task's callback runs on this thread, if any.
thread_local TaskQueue* t_completing = nullptr;

// Marks this thread as running a callback of `queue` while it lives.
class CompletingScope {
 public:
  explicit CompletingScope(TaskQueue* queue) : outer_(t_completing) { t_completing = queue; }
  ~CompletingScope() { t_completing = outer_; }
  CompletingScope(const CompletingScope&) = delete;
  CompletingScope& operator=(const CompletingScope&) = delete;

 private:
  TaskQueue* const outer_;
};

Common::Error RetryLater() { return Common::Error(kErrRetryLater, ZYK_HERE_AS("RetryLater")); }

bool IsRetryLater(const Common::Error& error) { return error && error.Code() == kErrRetryLater; }

std::shared_ptr<TaskQueue> TaskQueue::Create(std::weak_ptr<TaskManager> manager, uint64_t limit) {
  return std::shared_ptr<TaskQueue>(new TaskQueue(std::move(manager), limit));
}

TaskQueue::TaskQueue(std::weak_ptr<TaskManager> manager, uint64_t limit)
    : manager_(std::move(manager)), limit_(limit) {}

TaskQueue::~TaskQueue() = default;

Common::Error TaskQueue::Push(ZykTask task) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (tasks_.size() >= limit_) return Common::Error::WithTaskLimit(kErrQueueFull, limit_, ZYK_HERE_AS("Push"));
  tasks_.push_back(std::move(task));
  if (tasks_.size() != 1) return {};
  if (t_completing == this) {
    // Pushed by the callback of this queue's last task: the worker that runs
    // the callback runs this task next.
    run_after_callback_ = true;
    return {};
  }
  ScheduleLocked();
  return {};
}

size_t TaskQueue::Size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return tasks_.size();
}

void TaskQueue::ScheduleLocked() {
  std::shared_ptr<TaskManager> manager = manager_.lock();
  // Without a manager the mount is being torn down: the task stays queued and
  // is destroyed with the queue.
  if (!manager) return;
  // The job's reference to the queue rides in scheduled_self_, so the job is a
  // bare pointer that the task manager stores without an allocation. A manager
  // runs every job posted while a handle to it is held, so the reference is
  // always taken back by Run.
  scheduled_self_ = shared_from_this();
  try {
    manager->Post([this] { Run(); });
  } catch (...) {
    scheduled_self_.reset();  // no job holds it: the queue must not keep itself alive
    throw;
  }
}

void TaskQueue::Run() {
  std::shared_ptr<TaskQueue> self;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    self = std::move(scheduled_self_);
  }
  for (int run = 1;; ++run) {
    if (!RunFront()) return;
    // A callback made a request of another kind: it runs next on this worker
    // and the rest of this queue goes back to the line.
    if (FollowOnPending()) break;
    if (run % kMaxTasksPerRun == 0 && OthersWait()) break;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!tasks_.empty()) ScheduleLocked();
}

bool TaskQueue::OthersWait() {
  std::shared_ptr<TaskManager> manager = manager_.lock();
  return !manager || manager->HasWaitingTasks();
}

bool TaskQueue::RunFront() {
  ZykTask current;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (tasks_.empty()) return false;
    // The running task is moved out rather than copied: the same references
    // travel with it, and its emptied place keeps counting against the limit
    // until it is removed below.
    current = std::move(tasks_.front());
  }
  // RunWork contains whatever the work throws, so the steps below always take
  // place: the queue moves on and the host gets its one callback.
  Common::Error result = current.RunWork();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (retrying_) {
      retrying_ = false;
      retry_done_.notify_all();
    }
    if (IsRetryLater(result)) {
      // The waiting task goes back to its place; nothing else keeps its work,
      // so a close that ends the wait finds the object held by the queue only.
      tasks_.front() = std::move(current);
      ParkLocked();
      return false;
    }
    retry_delay_ms_ = 0;
    tasks_.pop_front();
    if (!tasks_.empty()) run_after_callback_ = true;
  }
  // The work holds a reference to the file object; drop it before answering,
  // so that a host which closes the handle once its callbacks have arrived
  // finds the object idle instead of getting a spurious 0x2850003.
  current.work = nullptr;
  {
    CompletingScope scope(this);
    current.Complete(result);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(run_after_callback_, false);
}

void TaskQueue::ParkLocked() {
  waiting_ = true;
  const uint64_t ticket = ++ticket_;
  retry_delay_ms_ = std::clamp<int64_t>(2 * retry_delay_ms_, 1, kLongestRetryDelayMs);
  std::shared_ptr<TaskManager> manager = manager_.lock();
  if (!manager) return;  // torn down: the task is destroyed with the queue
  manager->PostDelayed([self = shared_from_this(), ticket] { self->Retry(ticket); }, retry_delay_ms_, &retry_ids_);
}

void TaskQueue::Retry(uint64_t ticket) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!waiting_ || ticket != ticket_) return;
    waiting_ = false;
    retrying_ = true;
  }
  Run();
}

bool TaskQueue::CancelWaitingTask(const std::function<Common::Error()>& withdraw) {
  ZykTask current;
  std::set<uint64_t> retries;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    retry_done_.wait(lock, [this] { return !retrying_; });
    if (!waiting_ || tasks_.size() != 1) return false;
    waiting_ = false;  // a retry already due finds nothing to do
    retries.swap(retry_ids_);
    current = std::move(tasks_.front());  // its emptied place stays until removed
  }
  // The task's place stays at the front while it is withdrawn, so a request
  // pushed meanwhile waits behind it.
  if (std::shared_ptr<TaskManager> manager = manager_.lock()) manager->Cancel(retries);
  Common::Error result = withdraw();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    retry_delay_ms_ = 0;
    tasks_.pop_front();
    if (!tasks_.empty()) ScheduleLocked();
  }
  current.work = nullptr;
  current.Complete(result);
  return true;
}

}  // namespace Network::Storage::Backend
