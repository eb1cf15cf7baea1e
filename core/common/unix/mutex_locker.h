#pragma once
// MutexLocker: holds a mutex locked for its own lifetime.

#include <pthread.h>

#include <mutex>

#include "core/common/unix/sync_errors.h"

namespace Common {

class MutexLocker {
 public:
  // Throws Common::Error 19 ("MutexLocker") with the POSIX cause when the lock fails.
  explicit MutexLocker(pthread_mutex_t* mutex) : mutex_(mutex) {
    int rc = pthread_mutex_lock(mutex_);
    if (rc != 0) ThrowPosixError(kErrMutexLock, rc, ZYK_HERE_AS("MutexLocker"));
  }
  explicit MutexLocker(std::mutex& mutex) : MutexLocker(mutex.native_handle()) {}
  ~MutexLocker() { pthread_mutex_unlock(mutex_); }
  MutexLocker(const MutexLocker&) = delete;
  MutexLocker& operator=(const MutexLocker&) = delete;

 private:
  pthread_mutex_t* mutex_;
};

}  // namespace Common
