#include "core/common/unix/event_unix.h"

#include <errno.h>

#include <algorithm>
#include <utility>

#include "core/common/unix/deadline.h"
#include "core/common/unix/mutex_locker.h"

namespace Common {
namespace {

// The marker a waiter records when it timed out with nothing released.
Event* const kTimedOut = reinterpret_cast<Event*>(~uintptr_t{0});

}  // namespace

Event::Event(bool manual_reset, bool signalled) : manual_reset_(manual_reset), signalled_(signalled) {}

Event::~Event() { pthread_mutex_destroy(&mutex_); }

void Event::Set() {
  try {
    MutexLocker lock(&mutex_);
    if (signalled_) return;
    signalled_ = true;
    for (EventWaiter* waiter : waiters_) {
      if (!waiter->TryRelease(this)) continue;
      if (!manual_reset_) {
        signalled_ = false;
        break;
      }
    }
  } catch (const Error& error) {
    ThrowWithCause(kErrEventSet, error, ZYK_HERE_AS("Set"));
  }
}

void Event::Reset() {
  try {
    MutexLocker lock(&mutex_);
    signalled_ = false;
  } catch (const Error& error) {
    ThrowWithCause(kErrEventReset, error, ZYK_HERE_AS("Reset"));
  }
}

bool Event::Wait(uint32_t milliseconds) {
  EventWaiter waiter({this});
  return waiter.Wait(milliseconds) == this;
}

EventWaiter::EventWaiter(std::initializer_list<Event*> events) : events_(events) {}

EventWaiter::EventWaiter(std::vector<Event*> events) : events_(std::move(events)) {}

EventWaiter::~EventWaiter() {
  pthread_cond_destroy(&cond_);
  pthread_mutex_destroy(&mutex_);
}

bool EventWaiter::TryRelease(Event* event) {
  MutexLocker lock(&mutex_);
  if (released_by_ != nullptr) return false;
  released_by_ = event;
  int rc = pthread_cond_signal(&cond_);
  if (rc != 0) ThrowPosixError(kErrConditionWait, rc, ZYK_HERE_AS("Set"));
  return true;
}

// An event that is already signalled releases the waiter during registration;
// an automatic-reset one is consumed by it.
void EventWaiter::Register() {
  for (Event* event : events_) {
    MutexLocker lock(&event->mutex_);
    if (event->signalled_ && TryRelease(event)) {
      if (!event->manual_reset_) event->signalled_ = false;
    }
    event->waiters_.push_back(this);
  }
}

void EventWaiter::Unregister() {
  for (Event* event : events_) {
    MutexLocker lock(&event->mutex_);
    auto& list = event->waiters_;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
}

Event* EventWaiter::Wait(uint32_t milliseconds) {
  {
    MutexLocker lock(&mutex_);
    released_by_ = nullptr;
  }
  Event* result = nullptr;
  try {
    Register();
    struct UnregisterGuard {
      EventWaiter* waiter;
      ~UnregisterGuard() {
        try {
          waiter->Unregister();
        } catch (...) {
        }
      }
    } guard{this};
    MutexLocker lock(&mutex_);
    timespec deadline{};
    if (milliseconds != kInfinite) deadline = DeadlineAfter(milliseconds);
    while (released_by_ == nullptr) {
      int rc = milliseconds == kInfinite ? pthread_cond_wait(&cond_, &mutex_)
                                         : pthread_cond_timedwait(&cond_, &mutex_, &deadline);
      if (rc == ETIMEDOUT) {
        if (released_by_ == nullptr) released_by_ = kTimedOut;
        break;
      }
      if (rc != 0 && rc != EINTR) ThrowPosixError(kErrConditionWait, rc, ZYK_HERE_AS("Wait"));
    }
    result = released_by_ == kTimedOut ? nullptr : released_by_;
  } catch (const Error& error) {
    ThrowWithCause(kErrWaitMultiple, error, ZYK_HERE_AS("Wait"));
  }
  return result;
}

}  // namespace Common
