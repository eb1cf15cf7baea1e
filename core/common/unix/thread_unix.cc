#include "core/common/unix/thread_unix.h"

#include <errno.h>
#include <sched.h>
#include <signal.h>

#include <atomic>

#include "core/common/unix/deadline.h"
#include "core/common/unix/sync_errors.h"

namespace Common {
namespace {

std::atomic<ThreadCreateHook> g_create_hook{nullptr};

}  // namespace

// Shared by the Thread object and the running thread; whichever side drops the
// last of the two owner counts frees it.
struct Thread::State {
  pthread_t handle{};       // guarded by mutex; meaningful while has_handle
  bool has_handle = false;  // guarded by mutex; false once joined or detached
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t finished_cond = PTHREAD_COND_INITIALIZER;
  std::atomic<uint64_t> owners{2};
  ThreadFunction function = nullptr;
  void* argument = nullptr;
  uint32_t exit_code = 0xFFFFFFFFu;  // guarded by mutex
  bool finished = false;             // guarded by mutex
  bool joining = false;              // guarded by mutex; a Join owns the handle

  void Release() {
    if (owners.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      pthread_cond_destroy(&finished_cond);
      pthread_mutex_destroy(&mutex);
      delete this;
    }
  }
};

namespace {

// Runs on the new thread. The guard's destructor also runs when the thread is
// cancelled or exits through Terminate, so waiters always learn that it ended
// and the thread's share of the state is always dropped.
void* ThreadEntry(void* raw) {
  auto* state = static_cast<Thread::State*>(raw);
  struct FinishGuard {
    Thread::State* state;
    ~FinishGuard() {
      pthread_mutex_lock(&state->mutex);
      state->finished = true;
      pthread_cond_broadcast(&state->finished_cond);
      pthread_mutex_unlock(&state->mutex);
      state->Release();
    }
  } guard{state};
  // Deferred cancellation: asynchronous cancellation could strike inside malloc
  // or while a lock is held and leave the process corrupted.
  pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);
  uint32_t code = state->function(state->argument);
  pthread_mutex_lock(&state->mutex);
  state->exit_code = code;
  pthread_mutex_unlock(&state->mutex);
  return nullptr;
}

int PolicyOf(pthread_t handle, sched_param* param) {
  int policy = 0;
  int rc = pthread_getschedparam(handle, &policy, param);
  return rc == 0 ? policy : -1;
}

}  // namespace

void SetThreadCreateHookForTesting(ThreadCreateHook hook) { g_create_hook.store(hook); }

void SetThreadPriorityLevel(pthread_t handle, int level) {
  sched_param param{};
  int policy = PolicyOf(handle, &param);
  if (policy < 0) return;
  int low = sched_get_priority_min(policy);
  int high = sched_get_priority_max(policy);
  int middle = (low + high) / 2;
  switch (level) {
    case 0: param.sched_priority = low; break;
    case 1: param.sched_priority = middle - 1; break;
    case 2: param.sched_priority = middle; break;
    default: param.sched_priority = high; break;
  }
  // A level the policy cannot express (below its minimum) is refused by the
  // system; priority is advisory, so that is not an error for the caller.
  pthread_setschedparam(handle, policy, &param);
}

int GetThreadPriorityLevel(pthread_t handle) {
  sched_param param{};
  int policy = PolicyOf(handle, &param);
  if (policy < 0) return kNormalPriority;
  int low = sched_get_priority_min(policy);
  int high = sched_get_priority_max(policy);
  if (low == -1 || high == -1) return kNormalPriority;
  int middle = (low + high) / 2;
  if (param.sched_priority <= low) return 0;
  if (param.sched_priority < middle) return 1;
  if (param.sched_priority >= high) return 3;
  return 2;
}

Thread::Thread(ThreadFunction function, void* argument) : state_(new State) {
  state_->function = function;
  state_->argument = argument;

  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  int rc = pthread_sigmask(SIG_SETMASK, &all, &previous);
  if (rc != 0) {
    delete state_;
    ThrowPosixError(kErrThreadCreate, rc, ZYK_HERE_AS("Thread"));
  }
  // The state mutex is held until the handle is stored, so the new thread
  // never sees a half-initialised handle.
  pthread_mutex_lock(&state_->mutex);
  ThreadCreateHook hook = g_create_hook.load();
  rc = hook ? hook() : 0;
  if (rc == 0) rc = pthread_create(&state_->handle, nullptr, &ThreadEntry, state_);
  if (rc == 0) state_->has_handle = true;
  pthread_mutex_unlock(&state_->mutex);
  int restore = pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (rc != 0 || restore != 0) {
    if (rc == 0) {
      // The thread runs but the creator's mask could not be restored: the
      // thread keeps its share and ends on its own.
      pthread_detach(state_->handle);
      state_->Release();
      state_ = nullptr;
      ThrowPosixError(kErrThreadCreate, restore, ZYK_HERE_AS("Thread"));
    }
    delete state_;
    ThrowPosixError(kErrThreadCreate, rc, ZYK_HERE_AS("Thread"));
  }
}

Thread::~Thread() {
  if (state_ == nullptr) return;
  pthread_mutex_lock(&state_->mutex);
  if (state_->has_handle && !state_->joining) {
    pthread_detach(state_->handle);
    state_->has_handle = false;
  }
  pthread_mutex_unlock(&state_->mutex);
  state_->Release();
}

void Thread::Join() {
  pthread_mutex_lock(&state_->mutex);
  if (state_->has_handle && !state_->joining) {
    state_->joining = true;
    pthread_t handle = state_->handle;
    pthread_mutex_unlock(&state_->mutex);
    pthread_join(handle, nullptr);
    pthread_mutex_lock(&state_->mutex);
    state_->has_handle = false;
    state_->joining = false;
    pthread_cond_broadcast(&state_->finished_cond);
    pthread_mutex_unlock(&state_->mutex);
    return;
  }
  // Someone else joins (or joined) the thread: wait until it has ended.
  while (!state_->finished || state_->joining) pthread_cond_wait(&state_->finished_cond, &state_->mutex);
  pthread_mutex_unlock(&state_->mutex);
}

bool Thread::WaitFor(uint32_t milliseconds) {
  pthread_mutex_lock(&state_->mutex);
  timespec deadline = DeadlineAfter(milliseconds);
  while (!state_->finished) {
    int rc = pthread_cond_timedwait(&state_->finished_cond, &state_->mutex, &deadline);
    if (rc == ETIMEDOUT && !state_->finished) {
      pthread_mutex_unlock(&state_->mutex);
      return false;
    }
    if (rc != 0 && rc != ETIMEDOUT && rc != EINTR) {
      pthread_mutex_unlock(&state_->mutex);
      ThrowPosixError(kErrConditionWait, rc, ZYK_HERE_AS("Wait"));
    }
  }
  pthread_mutex_unlock(&state_->mutex);
  Join();
  return true;
}

void Thread::Terminate() {
  pthread_mutex_lock(&state_->mutex);
  bool self = state_->has_handle && pthread_equal(state_->handle, pthread_self());
  bool running = state_->has_handle && !state_->finished && !state_->joining;
  pthread_t handle = state_->handle;
  pthread_mutex_unlock(&state_->mutex);
  if (self) {
    // The entry's guard marks the thread finished, wakes waiters and drops the
    // thread's share while the exit unwinds the stack.
    pthread_exit(nullptr);
  }
  if (running) pthread_cancel(handle);
  Join();
}

pthread_t Thread::GetHandle() const {
  pthread_mutex_lock(&state_->mutex);
  pthread_t handle = state_->has_handle ? state_->handle : pthread_t{};
  pthread_mutex_unlock(&state_->mutex);
  return handle;
}

void Thread::SetPriority(int level) {
  pthread_mutex_lock(&state_->mutex);
  if (state_->has_handle && !state_->finished) SetThreadPriorityLevel(state_->handle, level);
  pthread_mutex_unlock(&state_->mutex);
}

int Thread::GetPriority() const {
  pthread_mutex_lock(&state_->mutex);
  int level = kNormalPriority;
  if (state_->has_handle && !state_->finished) level = GetThreadPriorityLevel(state_->handle);
  pthread_mutex_unlock(&state_->mutex);
  return level;
}

uint32_t Thread::GetExitCode() const {
  pthread_mutex_lock(&state_->mutex);
  uint32_t code = state_->exit_code;
  pthread_mutex_unlock(&state_->mutex);
  return code;
}

}  // namespace Common
