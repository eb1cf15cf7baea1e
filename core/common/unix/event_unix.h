#pragma once
// Event: a flag that threads wait for, with manual or automatic reset.
// EventWaiter: waits until any one of several events is set.
//
// A manual-reset event releases every waiter and stays signalled until Reset.
// An automatic-reset event releases exactly one waiter per Set (a Wait that
// finds it already signalled consumes it); with nobody waiting it stays
// signalled until one waiter takes it.
// Lock order: an event's mutex before the mutex of each waiter it releases.

#include <pthread.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "core/common/unix/sync_errors.h"

namespace Common {

class EventWaiter;

class Event {
 public:
  explicit Event(bool manual_reset, bool signalled = false);
  // No waiter may be registered any more.
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  // Throws Common::Error 14 ("Set") with the failure inside.
  void Set();
  // Throws Common::Error 15 ("Reset") with the failure inside.
  void Reset();
  // Waits at most `milliseconds` (kInfinite: no limit); true when signalled.
  bool Wait(uint32_t milliseconds = kInfinite);

 private:
  friend class EventWaiter;

  pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
  std::vector<EventWaiter*> waiters_;  // guarded by mutex_, in registration order
  const bool manual_reset_;
  bool signalled_;  // guarded by mutex_
};

class EventWaiter {
 public:
  explicit EventWaiter(std::initializer_list<Event*> events);
  explicit EventWaiter(std::vector<Event*> events);
  ~EventWaiter();
  EventWaiter(const EventWaiter&) = delete;
  EventWaiter& operator=(const EventWaiter&) = delete;

  // Registers with the events and waits at most `milliseconds` (kInfinite: no
  // limit) until one is set. Returns that event, or null on timeout. Throws
  // Common::Error 17 ("Wait") with the failure inside. May be called again.
  Event* Wait(uint32_t milliseconds = kInfinite);

 private:
  friend class Event;

  // Called by an event under its own mutex: takes this waiter if it is still
  // waiting. Returns true when the waiter was released by `event`.
  bool TryRelease(Event* event);
  void Register();
  void Unregister();

  pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t cond_ = PTHREAD_COND_INITIALIZER;
  std::vector<Event*> events_;
  Event* released_by_ = nullptr;  // guarded by mutex_; kTimedOut after a timeout
};

}  // namespace Common
