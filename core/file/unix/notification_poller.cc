#include "core/file/unix/notification_poller.h"

#include <sys/stat.h>

#include <chrono>

#include "core/file/unix/posix_dir.h"

void NotificationState::Run() {
  std::unique_lock lock(mutex_);
  while (!stop_) {
    if (head_ == nullptr) {
      wake_.wait(lock);
      continue;
    }
    NotificationWatch* watch = head_;
    head_ = watch->next;
    struct stat status;
    int64_t seconds = 0;
    int64_t nanoseconds = -2;
    if (::stat(watch->path.c_str(), &status) == 0) {
      seconds = status.st_mtim.tv_sec;
      nanoseconds = status.st_mtim.tv_nsec;
    }
    if (seconds != watch->seconds || nanoseconds != watch->nanoseconds) {
      bool first_look = watch->seconds == 0 && watch->nanoseconds == -1;
      watch->seconds = seconds;
      watch->nanoseconds = nanoseconds;
      if (!first_look) Report(watch, lock);
    }
    if (stop_) break;
    // Every watch about once a second, and no more often than every 100 ms overall.
    uint64_t count = std::max<uint64_t>(queued_count_, 1);
    auto pause = std::chrono::milliseconds(std::max<uint64_t>(100, 1000 / count));
    wake_.wait_until(lock, std::chrono::steady_clock::now() + pause);
  }
}

void NotificationState::Report(NotificationWatch* watch, std::unique_lock<std::mutex>& lock) {
  Unqueue(watch);
  dir_notification_callback* callback = watch->callback;
  if (callback == nullptr) return;
  ++watch->refs;
  callback->AddRef();
  std::string path = watch->path;
  lock.unlock();
  {
    posix_dir temporary(path);
    callback->Changed(&temporary);
  }
  callback->Release();
  lock.lock();
  dir_notification_callback* dropped = Drop(watch);
  if (dropped) {
    lock.unlock();
    dropped->Release();
    lock.lock();
  }
}

// Never destroyed: directories may drop their watches during static
// destruction, and a forked child must not destroy a condition variable that
// its parent's thread was waiting on.
NotificationState& Notifications() {
  static NotificationState* state = new NotificationState;
  return *state;
}

namespace {

// Joins the polling thread when the library is unloaded.
struct NotificationStopper {
  ~NotificationStopper() { Notifications().Stop(); }
} notification_stopper;

}  // namespace
