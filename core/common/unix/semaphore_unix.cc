#include "core/common/unix/semaphore_unix.h"

#include <errno.h>

#include "core/common/unix/deadline.h"
#include "core/common/unix/sync_errors.h"

namespace Common {

Semaphore::Semaphore(unsigned int initial_count) {
  if (sem_init(&semaphore_, 0, initial_count) != 0)
    ThrowPosixError(kErrSemaphoreInit, errno, ZYK_HERE_AS("Semaphore"));
}

Semaphore::~Semaphore() { sem_destroy(&semaphore_); }

void Semaphore::Signal() {
  if (sem_post(&semaphore_) != 0) ThrowPosixError(kErrSemaphoreSignal, errno, ZYK_HERE_AS("Signal"));
}

void Semaphore::Signal(uint64_t count) {
  for (uint64_t i = 0; i < count; ++i) Signal();
}

void Semaphore::Wait() {
  while (sem_wait(&semaphore_) != 0) {
    if (errno != EINTR) ThrowPosixError(kErrSemaphoreWait, errno, ZYK_HERE_AS("Wait"));
  }
}

bool Semaphore::Wait(uint32_t milliseconds) {
  timespec deadline = DeadlineAfter(milliseconds);
  while (sem_timedwait(&semaphore_, &deadline) != 0) {
    if (errno == ETIMEDOUT) return false;
    if (errno != EINTR) ThrowPosixError(kErrSemaphoreWait, errno, ZYK_HERE_AS("Wait"));
  }
  return true;
}

}  // namespace Common
