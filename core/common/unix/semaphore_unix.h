#pragma once
// Semaphore: a process-private counting semaphore.

#include <semaphore.h>

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

  // Adds one (or `count`) to the count. Throws Common::Error 21 ("Signal").
  void Signal();
  void Signal(uint64_t count);
  // Takes one from the count, waiting as long as it is 0. Throws Common::Error 22 ("Wait").
  void Wait();
  // As Wait, but gives up after `milliseconds`: true when one was taken, false
  // on timeout. Wait(0) takes one if the count is positive and never blocks.
  bool Wait(uint32_t milliseconds);

 private:
  sem_t semaphore_;
};

}  // namespace Common
