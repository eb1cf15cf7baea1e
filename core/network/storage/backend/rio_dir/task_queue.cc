#include "core/network/storage/backend/rio_dir/task_queue.h"

#include <utility>

#include "core/network/storage/common/task_manager.h"

namespace Network::Storage::Backend {

inline constexpr uint32_t kErrQueueFull = 0x02850006;

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
  if (tasks_.size() == 1) ScheduleLocked();
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
  ZykTask current;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    self = std::move(scheduled_self_);
    if (tasks_.empty()) return;
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
    tasks_.pop_front();
    // The next task may start on another worker while this callback runs.
    if (!tasks_.empty()) ScheduleLocked();
  }
  // The work holds a reference to the file object; drop it before answering,
  // so that a host which closes the handle once its callbacks have arrived
  // finds the object idle instead of getting a spurious 0x2850003.
  current.work = nullptr;
  current.Complete(result);
}

}  // namespace Network::Storage::Backend
