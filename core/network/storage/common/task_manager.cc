#include "core/network/storage/common/task_manager.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <utility>
#include <vector>

#include "core/common/unix/deadline.h"

namespace Network::Storage {
namespace {

// The manager whose worker or timer loop runs on this thread, if any.
thread_local const ThreadPoolTaskManager* t_running_manager = nullptr;

struct RunningScope {
  explicit RunningScope(const ThreadPoolTaskManager* manager) { t_running_manager = manager; }
  ~RunningScope() { t_running_manager = nullptr; }
};

// The follow-on slot of the worker on this thread (null on other threads), and
// whether a FollowOnScope is open on it.
struct FollowOnSlot {
  const ThreadPoolTaskManager* manager;
  Task task;
};
thread_local FollowOnSlot* t_follow_on = nullptr;
thread_local bool t_follow_on_open = false;

// Follow-on tasks one worker runs in a row before it checks whether other
// tasks wait for a worker.
constexpr int kFollowOnsPerTurn = 64;

// The longest single timed wait of the timer; it rescans afterwards.
constexpr int64_t kMaxTimerWaitMs = 24 * 60 * 60 * 1000;

// Stops the manager when the last handle is dropped, then drops the owning
// reference, which destroys it.
struct StopOnRelease {
  std::shared_ptr<ThreadPoolTaskManager> owner;

  void operator()(TaskManager*) {
    std::shared_ptr<ThreadPoolTaskManager> manager = std::move(owner);
    if (manager->IsOwnThread()) {
      // The last handle went away inside one of the manager's own tasks:
      // joining here would wait for this very thread, so a thread of its own
      // stops the manager and destroys it. This thread returns to its loop and
      // passes the stop token on like every other worker.
      RunDetached([manager]() mutable {
        manager->Stop();
        manager.reset();
      });
      return;
    }
    manager->Stop();
  }
};

}  // namespace

FollowOnScope::FollowOnScope() : outer_(t_follow_on_open) { t_follow_on_open = true; }

FollowOnScope::~FollowOnScope() { t_follow_on_open = outer_; }

bool FollowOnPending() { return t_follow_on != nullptr && static_cast<bool>(t_follow_on->task); }

std::shared_ptr<TaskManager> CreateThreadPoolTaskManager() {
  auto manager = std::make_shared<ThreadPoolTaskManager>();
  try {
    manager->Start();
  } catch (...) {
    // Threads already started wait on this manager: end them before it goes.
    manager->Stop();
    throw;
  }
  TaskManager* raw = manager.get();
  return std::shared_ptr<TaskManager>(raw, StopOnRelease{std::move(manager)});
}

ThreadPoolTaskManager::ThreadPoolTaskManager() = default;

ThreadPoolTaskManager::~ThreadPoolTaskManager() = default;

void ThreadPoolTaskManager::Post(Task task) {
  if (!task) return;
  FollowOnSlot* slot = t_follow_on;
  if (t_follow_on_open && slot != nullptr && slot->manager == this && !slot->task) {
    slot->task = std::move(task);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    ready_.push_back(std::move(task));
  }
  ready_count_.Signal();
}

uint64_t ThreadPoolTaskManager::PostDelayed(Task task, int64_t delay_ms, std::set<uint64_t>* ids) {
  if (!task) return 0;
  if (delay_ms < 1) {
    Post(std::move(task));
    return 0;
  }
  return Schedule(std::move(task), delay_ms, ids);
}

uint64_t ThreadPoolTaskManager::Schedule(Task task, int64_t delay_ms, std::set<uint64_t>* ids) {
  int64_t now = Common::NowMilliseconds();
  int64_t due =
      delay_ms > std::numeric_limits<int64_t>::max() - now ? std::numeric_limits<int64_t>::max() : now + delay_ms;
  uint64_t id;
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    // Identifiers start at 1 and skip 0 when the counter wraps; one still
    // pending from the previous round is skipped as well.
    do {
      id = last_id_ == std::numeric_limits<uint64_t>::max() ? 1 : last_id_ + 1;
      last_id_ = id;
    } while (pending_.count(id) != 0);
    pending_.emplace(id, std::move(task));
    timer_order_.emplace(due, id);
    if (ids != nullptr) {
      for (auto it = ids->begin(); it != ids->end();) {
        if (pending_.count(*it) == 0)
          it = ids->erase(it);
        else
          ++it;
      }
      ids->insert(id);
    }
  }
  timer_wakeup_.Signal();
  return id;
}

size_t ThreadPoolTaskManager::Cancel(const std::set<uint64_t>& ids) {
  std::vector<Task> removed;
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    for (uint64_t id : ids) {
      auto it = pending_.find(id);
      // The stop token is the only empty pending task; it cannot be cancelled,
      // or the manager would never stop.
      if (it == pending_.end() || !it->second) continue;
      removed.push_back(std::move(it->second));
      pending_.erase(it);
    }
  }
  if (!removed.empty()) timer_wakeup_.Signal();
  size_t count = removed.size();
  removed.clear();  // destroyed outside the lock
  return count;
}

uint64_t ThreadPoolTaskManager::SetThreadLimit(uint64_t count) {
  std::lock_guard<std::mutex> lock(thread_mutex_);
  thread_limit_ = count;
  auto& pool = Common::DefaultThreadPool::Instance();
  while (workers_.size() < thread_limit_)
    workers_.push_back(pool.CreateThread(&WorkerMain, this, Common::kNormalPriority));
  if (!timer_) timer_ = pool.CreateThread(&TimerMain, this, Common::kNormalPriority);
  return workers_.size();
}

void ThreadPoolTaskManager::ExpediteDelayed() {
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    stopping_ = true;
  }
  timer_wakeup_.Signal();
}

bool ThreadPoolTaskManager::HasWaitingTasks() {
  std::lock_guard<std::mutex> lock(queue_mutex_);
  return !ready_.empty();
}

void ThreadPoolTaskManager::Start() {
  uint64_t limit;
  {
    std::lock_guard<std::mutex> lock(thread_mutex_);
    limit = thread_limit_;
  }
  SetThreadLimit(limit);
}

void ThreadPoolTaskManager::Stop() {
  std::shared_ptr<Common::ThreadAccessor> timer;
  std::list<std::shared_ptr<Common::ThreadAccessor>> workers;
  {
    std::lock_guard<std::mutex> lock(thread_mutex_);
    timer = timer_;
    workers = workers_;
  }
  try {
    if (timer) {
      Schedule(Task(), 1, nullptr);
      timer->Join();
    } else {
      // Only when starting failed before the timer ran: hand the token to the
      // workers directly.
      {
        std::lock_guard<std::mutex> lock(queue_mutex_);
        ready_.push_back(Task());
      }
      ready_count_.Signal();
    }
  } catch (...) {
    std::terminate();  // only memory exhaustion can get here
  }
  for (auto& worker : workers) worker->Join();
}

bool ThreadPoolTaskManager::IsOwnThread() const { return t_running_manager == this; }

void ThreadPoolTaskManager::SetLastIdentifierForTesting(uint64_t value) {
  std::lock_guard<std::mutex> lock(queue_mutex_);
  last_id_ = value;
}

uint32_t ThreadPoolTaskManager::WorkerMain(void* self) {
  static_cast<ThreadPoolTaskManager*>(self)->WorkerLoop();
  return 0;
}

uint32_t ThreadPoolTaskManager::TimerMain(void* self) {
  static_cast<ThreadPoolTaskManager*>(self)->TimerLoop();
  return 0;
}

void ThreadPoolTaskManager::WorkerLoop() {
  RunningScope scope(this);
  FollowOnSlot follow_on{this, nullptr};
  struct SlotScope {
    explicit SlotScope(FollowOnSlot* slot) { t_follow_on = slot; }
    ~SlotScope() { t_follow_on = nullptr; }
  } slot_scope(&follow_on);
  bool token_seen = false;
  for (;;) {
    if (token_seen)
      ready_count_.Wait(0u);  // drain without blocking
    else
      ready_count_.Wait();
    Task task;
    {
      std::unique_lock<std::mutex> lock(queue_mutex_);
      if (ready_.empty()) {
        if (!token_seen) continue;
        // Pass the token on so the next worker ends too.
        ready_.push_back(Task());
        lock.unlock();
        ready_count_.Signal();
        return;
      }
      task = std::move(ready_.front());
      ready_.pop_front();
    }
    if (!task) {
      token_seen = true;
      continue;
    }
    SafeExecute(task);
    // A follow-on may post the next follow-on: a chain of requests made from
    // callbacks stays on this worker, and goes to the back of the line now and
    // then when other tasks wait for a worker.
    for (int run = 1; follow_on.task; ++run) {
      Task next = std::move(follow_on.task);
      follow_on.task = nullptr;
      if (run % kFollowOnsPerTurn == 0 && HasWaitingTasks()) {
        Post(std::move(next));
        break;
      }
      SafeExecute(next);
    }
  }
}

void ThreadPoolTaskManager::TimerLoop() {
  RunningScope scope(this);
  for (;;) {
    int64_t now = Common::NowMilliseconds();
    uint64_t moved = 0;
    bool token_moved = false;
    bool order_empty;
    int64_t wait_ms = 0;
    {
      std::lock_guard<std::mutex> lock(queue_mutex_);
      while (!timer_order_.empty()) {
        auto first = timer_order_.begin();
        auto pending = pending_.find(first->second);
        if (pending == pending_.end()) {  // cancelled
          timer_order_.erase(first);
          continue;
        }
        if (!stopping_ && first->first > now) {
          wait_ms = first->first - now;
          break;
        }
        if (!pending->second) token_moved = true;
        ready_.push_back(std::move(pending->second));
        pending_.erase(pending);
        timer_order_.erase(first);
        ++moved;
      }
      order_empty = timer_order_.empty();
    }
    ready_count_.Signal(moved);
    if (token_moved) return;
    if (order_empty)
      timer_wakeup_.Wait();
    else
      timer_wakeup_.Wait(static_cast<uint32_t>(std::min(wait_ms, kMaxTimerWaitMs)));
  }
}

}  // namespace Network::Storage
