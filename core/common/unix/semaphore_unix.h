#pragma once
// Semaphore: a process-private counting semaphore.
//
// The count and the number of waiting threads live in one atomic word; a
// POSIX semaphore underneath only puts threads to sleep and wakes them. A
// thread that finds the count at 0 first spins briefly as a "searcher", and a
// sleeper is woken only when units are there and nobody searches. A searcher
// that takes a unit and leaves more behind wakes the next sleeper, so a burst
// wakes sleepers one after another. A steady stream of Signals to consumers
// that keep up makes no system calls.

#include <semaphore.h>

#include <atomic>
#include <cstdint>

namespace Common {

class Semaphore {
 public:
  // Throws Common::Error 20 ("Semaphore") when the semaphore cannot be made
  // (for example an initial count above SEM_VALUE_MAX).
  explicit Semaphore(unsigned int initial_count = 0);
  ~Semaphore();
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  // Adds one (or `count`) to the count. Throws Common::Error 21 ("Signal") when
  // the count would pass SEM_VALUE_MAX; the count is then raised to the maximum.
  void Signal();
  void Signal(uint64_t count);
  // Takes one from the count, waiting as long as it is 0. Throws Common::Error 22 ("Wait").
  void Wait();
  // As Wait, but gives up after `milliseconds`: true when one was taken, false
  // on timeout. Wait(0) takes one if the count is positive and never blocks.
  bool Wait(uint32_t milliseconds);

 private:
  // Waits with an absolute deadline, or none when `deadline` is null.
  bool WaitUntil(const struct timespec* deadline);
  // Takes one if the count is positive, without waiting.
  bool TryTake();
  // As a searcher: takes one unit and stops searching, waking a sleeper when
  // units are left and nobody else searches. False when the count is 0.
  bool SearcherTake();
  // Sleeps on the kernel semaphore; false on timeout.
  bool Sleep(const struct timespec* deadline);
  // Posts the kernel semaphore once for each sleeper moved to the searchers.
  void Wake(uint64_t sleepers);

  // Fields of state_: count (bits 0-31), sleepers not yet woken (bits 32-47),
  // searchers (bits 48-63: awake waiters, and sleepers woken but not yet
  // running). Invariant: a positive count has a searcher or no sleeper.
  std::atomic<uint64_t> state_;
  sem_t sleepers_;
};

}  // namespace Common
