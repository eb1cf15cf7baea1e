#pragma once
// Error codes of threads, events and semaphores (facility 0x0000), and the one
// place where a failed POSIX call of this layer becomes a thrown error.

#include <cstdint>

#include "core/common/error.h"

namespace Common {

inline constexpr uint32_t kErrThreadCreate = 7;      // "Thread", "CreateThread"
inline constexpr uint32_t kErrConditionWait = 12;    // condition-variable wait or signal
inline constexpr uint32_t kErrEventSet = 14;         // any failure inside Event::Set
inline constexpr uint32_t kErrEventReset = 15;       // failure inside Event::Reset
inline constexpr uint32_t kErrWaitMultiple = 17;     // EventWaiter::Wait
inline constexpr uint32_t kErrMutexLock = 19;        // MutexLocker
inline constexpr uint32_t kErrSemaphoreInit = 20;    // sem_init
inline constexpr uint32_t kErrSemaphoreSignal = 21;  // sem_post
inline constexpr uint32_t kErrSemaphoreWait = 22;    // sem_wait / sem_timedwait

// Throws `code` raised at `location` with the POSIX record of `error_number` inside.
[[noreturn]] inline void ThrowPosixError(uint32_t code, int error_number, SourceLocation location) {
  Error error(code, location);
  AddPosixError(error, error_number);
  throw error;
}

// Throws `code` raised at `location` with `cause` as its inner error.
[[noreturn]] inline void ThrowWithCause(uint32_t code, const Error& cause, SourceLocation location) {
  Error error(code, location);
  AddCause(error, cause);
  throw error;
}

// Wait timeout meaning "no limit".
inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

}  // namespace Common
