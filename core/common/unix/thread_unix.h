#pragma once
// Common::Thread: a thin POSIX thread wrapper, and Common::ThreadAccessor, the
// handle to work running on a thread (a Thread itself, or a job of the pool).
//
// Thread safety: every operation may be called from any thread. A Thread that
// is destroyed before it was joined detaches its thread, which keeps running.

#include <pthread.h>

#include <cstdint>

namespace Common {

// The function a thread runs; its value becomes the exit code.
using ThreadFunction = uint32_t (*)(void* argument);

// The normal priority level, used by every caller in the library.
inline constexpr int kNormalPriority = 2;

class ThreadAccessor {
 public:
  virtual ~ThreadAccessor() = default;
  // Waits until the function has returned.
  virtual void Join() = 0;
  // Waits at most `milliseconds`; true when the function has returned.
  virtual bool WaitFor(uint32_t milliseconds) = 0;
  virtual void Terminate() = 0;
  // The native handle of the thread (0 once a Thread has been joined).
  virtual pthread_t GetHandle() const = 0;
  // Level 0 (minimum) to 3 (maximum) within the thread's scheduling policy.
  virtual void SetPriority(int level) = 0;
  virtual int GetPriority() const = 0;
  // The value the function returned; all ones until then.
  virtual uint32_t GetExitCode() const = 0;
};

class Thread : public ThreadAccessor {
 public:
  // Starts the thread at once with every signal blocked. Throws Common::Error 7
  // ("Thread") with the POSIX cause when it cannot be started.
  Thread(ThreadFunction function, void* argument);
  ~Thread() override;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  void Join() override;
  bool WaitFor(uint32_t milliseconds) override;
  // From the thread itself: marks it finished and exits it (exit code stays all
  // ones). From another thread: cancels it at its next cancellation point and
  // joins it.
  void Terminate() override;
  pthread_t GetHandle() const override;
  void SetPriority(int level) override;
  int GetPriority() const override;
  uint32_t GetExitCode() const override;

  struct State;

 private:
  State* state_;
};

// Priority helpers shared with the pool: apply or read a level on `handle`.
void SetThreadPriorityLevel(pthread_t handle, int level);
int GetThreadPriorityLevel(pthread_t handle);

// Test seam: when set, thread creation asks the hook first; a non-zero value is
// taken as the error number of a failed pthread_create. Null removes the hook.
using ThreadCreateHook = int (*)();
void SetThreadCreateHookForTesting(ThreadCreateHook hook);

}  // namespace Common
