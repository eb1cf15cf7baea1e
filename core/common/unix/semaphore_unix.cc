#include "core/common/unix/semaphore_unix.h"

#include <errno.h>
#include <limits.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "core/common/unix/deadline.h"
#include "core/common/unix/sync_errors.h"

namespace Common {
namespace {

constexpr uint64_t kCountMask = 0xFFFFFFFFull;
constexpr int kSleeperShift = 32;
constexpr int kSearcherShift = 48;
constexpr uint64_t kOneSleeper = 1ull << kSleeperShift;
constexpr uint64_t kOneSearcher = 1ull << kSearcherShift;
constexpr uint64_t kFieldMax = 0xFFFF;

// How long a searcher spins for a Signal before it goes to sleep. Long enough
// to bridge the gap between two posts of a busy producer, short enough that
// an idle consumer gives its core back at once.
constexpr std::chrono::microseconds kSpinTime(20);

// On a single processor spinning only keeps the signalling thread off it.
bool SpinningHelps() {
  static const bool helps = std::thread::hardware_concurrency() != 1;
  return helps;
}

uint64_t CountOf(uint64_t state) { return state & kCountMask; }
uint64_t SleepersOf(uint64_t state) { return (state >> kSleeperShift) & kFieldMax; }
uint64_t SearchersOf(uint64_t state) { return state >> kSearcherShift; }

// `state` with one sleeper moved to the searchers when there are units, no
// searcher and a sleeper; `woken` is how many were moved (0 or 1). One
// searcher at a time is enough: the one that takes a unit and leaves more
// behind wakes the next, so a burst wakes sleepers one after another while
// the earlier ones already run.
uint64_t WithWakes(uint64_t state, uint64_t& woken) {
  woken = CountOf(state) > 0 && SearchersOf(state) == 0 && SleepersOf(state) > 0 ? 1 : 0;
  return state - woken * kOneSleeper + woken * kOneSearcher;
}

void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

bool Expired(const timespec* deadline) {
  if (deadline == nullptr) return false;
  timeval now;
  gettimeofday(&now, nullptr);
  return now.tv_sec > deadline->tv_sec || (now.tv_sec == deadline->tv_sec && now.tv_usec * 1000L >= deadline->tv_nsec);
}

}  // namespace

Semaphore::Semaphore(unsigned int initial_count) : state_(initial_count) {
  if (initial_count > static_cast<unsigned int>(SEM_VALUE_MAX))
    ThrowPosixError(kErrSemaphoreInit, EINVAL, ZYK_HERE_AS("Semaphore"));
  if (sem_init(&sleepers_, 0, 0) != 0) ThrowPosixError(kErrSemaphoreInit, errno, ZYK_HERE_AS("Semaphore"));
}

Semaphore::~Semaphore() { sem_destroy(&sleepers_); }

void Semaphore::Signal() { Signal(1); }

void Semaphore::Signal(uint64_t count) {
  if (count == 0) return;
  uint64_t old = state_.load(std::memory_order_relaxed);
  uint64_t added;
  uint64_t woken;
  uint64_t desired;
  do {
    added = std::min<uint64_t>(count, static_cast<uint64_t>(SEM_VALUE_MAX) - CountOf(old));
    desired = WithWakes(old + added, woken);
  } while (!state_.compare_exchange_weak(old, desired, std::memory_order_acq_rel, std::memory_order_relaxed));
  Wake(woken);
  if (added < count) ThrowPosixError(kErrSemaphoreSignal, EOVERFLOW, ZYK_HERE_AS("Signal"));
}

void Semaphore::Wake(uint64_t sleepers) {
  for (uint64_t i = 0; i < sleepers; ++i) {
    if (sem_post(&sleepers_) != 0) ThrowPosixError(kErrSemaphoreSignal, errno, ZYK_HERE_AS("Signal"));
  }
}

bool Semaphore::TryTake() {
  uint64_t old = state_.load(std::memory_order_relaxed);
  while (CountOf(old) > 0) {
    if (state_.compare_exchange_weak(old, old - 1, std::memory_order_acq_rel, std::memory_order_relaxed)) return true;
  }
  return false;
}

bool Semaphore::SearcherTake() {
  uint64_t old = state_.load(std::memory_order_relaxed);
  uint64_t woken;
  uint64_t desired;
  do {
    if (CountOf(old) == 0) return false;
    desired = WithWakes(old - 1 - kOneSearcher, woken);
  } while (!state_.compare_exchange_weak(old, desired, std::memory_order_acq_rel, std::memory_order_relaxed));
  Wake(woken);
  return true;
}

bool Semaphore::Sleep(const timespec* deadline) {
  for (;;) {
    int result = deadline != nullptr ? sem_timedwait(&sleepers_, deadline) : sem_wait(&sleepers_);
    if (result == 0) return true;
    if (errno == ETIMEDOUT) return false;
    if (errno != EINTR) ThrowPosixError(kErrSemaphoreWait, errno, ZYK_HERE_AS("Wait"));
  }
}

void Semaphore::Wait() { WaitUntil(nullptr); }

bool Semaphore::Wait(uint32_t milliseconds) {
  if (TryTake()) return true;
  if (milliseconds == 0) return false;
  timespec deadline = DeadlineAfter(milliseconds);
  return WaitUntil(&deadline);
}

bool Semaphore::WaitUntil(const timespec* deadline) {
  // Take a unit at once, or join the searchers.
  uint64_t old = state_.load(std::memory_order_relaxed);
  for (;;) {
    if (CountOf(old) > 0) {
      if (state_.compare_exchange_weak(old, old - 1, std::memory_order_acq_rel, std::memory_order_relaxed)) return true;
    } else if (SearchersOf(old) < kFieldMax) {
      if (state_.compare_exchange_weak(old, old + kOneSearcher, std::memory_order_acq_rel, std::memory_order_relaxed))
        break;
    } else {
      // More waiters than the word can count: poll, outside the bookkeeping.
      if (Expired(deadline)) return false;
      timespec pause{0, 100000};
      nanosleep(&pause, nullptr);
      old = state_.load(std::memory_order_relaxed);
    }
  }
  bool give_up = false;  // set once the deadline has passed
  for (;;) {
    if (!give_up && SpinningHelps()) {
      // Spin for a unit.
      auto spin_end = std::chrono::steady_clock::now() + kSpinTime;
      for (int i = 1;; ++i) {
        if (CountOf(state_.load(std::memory_order_relaxed)) > 0 && SearcherTake()) return true;
        if (i % 64 == 0 && std::chrono::steady_clock::now() >= spin_end) break;
        CpuRelax();
      }
    }
    give_up = give_up || Expired(deadline);
    // Stop searching: take a unit that came meanwhile, else leave (when giving
    // up) or become a sleeper.
    old = state_.load(std::memory_order_relaxed);
    bool asleep = false;
    for (;;) {
      if (CountOf(old) > 0) {
        if (SearcherTake()) return true;
        old = state_.load(std::memory_order_relaxed);
        continue;
      }
      if (!give_up && SleepersOf(old) == kFieldMax) break;  // no room to sleep: search on
      uint64_t desired = give_up ? old - kOneSearcher : old - kOneSearcher + kOneSleeper;
      if (state_.compare_exchange_weak(old, desired, std::memory_order_acq_rel, std::memory_order_relaxed)) {
        if (give_up) return false;
        asleep = true;
        break;
      }
    }
    if (!asleep) {
      sched_yield();
      continue;
    }
    // Asleep until a Signal (or a searcher leaving units behind) moves one
    // sleeper to the searchers and posts; the post may reach any sleeper.
    if (Sleep(deadline)) continue;  // counted as a searcher again
    // Timed out: withdraw as a sleeper. When no sleeper is counted any more,
    // every remaining sleeper, this one included, has been moved to the
    // searchers and its post is on the way: take the post, then make one last
    // attempt for a unit as a searcher.
    old = state_.load(std::memory_order_relaxed);
    while (SleepersOf(old) > 0) {
      if (state_.compare_exchange_weak(old, old - kOneSleeper, std::memory_order_acq_rel, std::memory_order_relaxed))
        return false;
    }
    Sleep(nullptr);
    give_up = true;
  }
}

}  // namespace Common
