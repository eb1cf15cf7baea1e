#pragma once
// The change-notification poller: one thread, started on first use, that looks
// at the modification time of every watched directory in turn and calls the
// watch's callback after a change (posix_dir::EnableNotification). A watch is
// queued while it waits to be looked at; a report takes it out of the queue
// until the directory's owner renews it.

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "core/include/file/dir.h"

// One watched directory; every field is guarded by the poller's mutex
// (NotificationState::mutex_).
struct NotificationWatch {
  std::string path;                               // guarded by the poller's mutex
  dir_notification_callback* callback = nullptr;  // guarded by the poller's mutex
  int64_t seconds = 0;                            // guarded by the poller's mutex
  int64_t nanoseconds = -1;                       // guarded by the poller's mutex; -1: never seen
  bool queued = false;                            // guarded by the poller's mutex
  uint64_t refs = 1;                              // guarded by the poller's mutex
  NotificationWatch* next = nullptr;              // guarded by the poller's mutex
  NotificationWatch* previous = nullptr;          // guarded by the poller's mutex
};

class NotificationState {
 public:
  // Stops and joins the thread; called when the library is unloaded (or the
  // process ends). A child forked after the thread started has no such thread,
  // and its copies of the mutex and condition variable may be in use by that
  // missing thread: the child leaves everything alone.
  void Stop() {
    pid_t owner = owner_.load(std::memory_order_acquire);
    if (owner != 0 && owner != ::getpid()) return;
    std::unique_lock lock(mutex_);
    stop_ = true;
    wake_.notify_all();
    lock.unlock();
    if (thread_.joinable()) thread_.join();
  }

  std::mutex& Mutex() { return mutex_; }

  // Starts the thread on first use. Requires the mutex.
  bool EnsureThread() {
    if (thread_.joinable()) return true;
    try {
      thread_ = std::thread([this] { Run(); });
      owner_.store(::getpid(), std::memory_order_release);
    } catch (const std::system_error&) {
      return false;
    }
    return true;
  }

  // Puts `watch` at the tail of the queue unless it is queued. Requires the mutex.
  void Queue(NotificationWatch* watch) {
    if (watch->queued) return;
    ++queued_count_;
    watch->queued = true;
    if (head_ == nullptr) {
      watch->next = watch->previous = watch;
      head_ = watch;
      wake_.notify_all();
    } else {
      watch->next = head_;
      watch->previous = head_->previous;
      head_->previous->next = watch;
      head_->previous = watch;
    }
  }

  // Requires the mutex.
  void Unqueue(NotificationWatch* watch) {
    if (!watch->queued) return;
    --queued_count_;
    watch->queued = false;
    if (watch->next == watch) {
      head_ = nullptr;
    } else {
      watch->previous->next = watch->next;
      watch->next->previous = watch->previous;
      if (head_ == watch) head_ = watch->next;
    }
    watch->next = watch->previous = nullptr;
  }

  // Drops one reference; at zero unqueues and frees the watch and hands its
  // callback back for the caller to release outside the mutex. Requires the mutex.
  dir_notification_callback* Drop(NotificationWatch* watch) {
    if (--watch->refs != 0) return nullptr;
    Unqueue(watch);
    dir_notification_callback* callback = watch->callback;
    delete watch;
    return callback;
  }

 private:
  // The polling loop of the thread: each queued watch in turn, about once a
  // second each, reporting the watches whose directory changed.
  void Run();
  // Calls the watch's callback without the mutex held; references on the watch
  // and the callback keep both alive while EnableNotification(null) runs elsewhere.
  void Report(NotificationWatch* watch, std::unique_lock<std::mutex>& lock);

  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread thread_;                 // guarded by mutex_
  std::atomic<pid_t> owner_{0};        // the process that started thread_
  bool stop_ = false;                  // guarded by mutex_
  NotificationWatch* head_ = nullptr;  // guarded by mutex_
  uint64_t queued_count_ = 0;          // guarded by mutex_
};

// The process's one poller.
NotificationState& Notifications();
