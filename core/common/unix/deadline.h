#pragma once
// Absolute wall-clock deadlines for the timed waits of threads, events and
// semaphores (pthread_cond_timedwait and sem_timedwait measure CLOCK_REALTIME).

#include <sys/time.h>
#include <time.h>

#include <cstdint>

namespace Common {

// Now (from gettimeofday) plus `milliseconds`, with the microsecond carry.
inline timespec DeadlineAfter(uint64_t milliseconds) {
  timeval now;
  gettimeofday(&now, nullptr);
  uint64_t micros = static_cast<uint64_t>(now.tv_usec) + (milliseconds % 1000) * 1000;
  timespec deadline;
  deadline.tv_sec = now.tv_sec + static_cast<time_t>(milliseconds / 1000 + micros / 1000000);
  deadline.tv_nsec = static_cast<long>((micros % 1000000) * 1000);
  return deadline;
}

// Milliseconds since 1970-01-01 UTC: seconds times 1000 plus microseconds / 1000.
inline int64_t NowMilliseconds() {
  timeval now;
  gettimeofday(&now, nullptr);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_usec / 1000;
}

}  // namespace Common
