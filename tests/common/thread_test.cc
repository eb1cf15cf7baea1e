#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "core/common/unix/event_unix.h"
#include "core/common/unix/sync_errors.h"
#include "core/common/unix/thread_unix.h"
#include "support/test_support.h"

namespace {

using Common::Thread;
using namespace std::chrono_literals;

uint32_t WaitThenReturn42(void* argument) {
  static_cast<Common::Event*>(argument)->Wait();
  return 42;
}

TEST(Thread, WaitForZeroReturnsAtOnceWhileRunningAndJoinsWhenFinished) {
  Common::Event release(true);
  Thread thread(&WaitThenReturn42, &release);
  auto before = std::chrono::steady_clock::now();
  EXPECT_FALSE(thread.WaitFor(0));
  EXPECT_LT(std::chrono::steady_clock::now() - before, 500ms);
  EXPECT_EQ(thread.GetExitCode(), 0xFFFFFFFFu);
  EXPECT_FALSE(thread.WaitFor(50));
  EXPECT_GE(std::chrono::steady_clock::now() - before, 45ms);
  release.Set();
  EXPECT_TRUE(zyk_test::Eventually([&] { return thread.WaitFor(0); }));
  EXPECT_EQ(thread.GetHandle(), pthread_t{});  // joined
  EXPECT_EQ(thread.GetExitCode(), 42u);
  EXPECT_TRUE(thread.WaitFor(0));  // stays finished
  EXPECT_TRUE(thread.WaitFor(Common::kInfinite));
}

TEST(Thread, ConcurrentJoinsAllReturnAfterTheEnd) {
  Common::Event release(true);
  Thread thread(&WaitThenReturn42, &release);
  std::atomic<int> joined{0};
  std::atomic<pid_t> tids[2] = {0, 0};
  auto join = [&](int i) {
    tids[i] = ::gettid();
    thread.Join();
    joined++;
  };
  std::thread a(join, 0), b(join, 1);
  for (auto& tid : tids) {
    while (tid.load() == 0) std::this_thread::yield();
    zyk_test::Asleep(tid);
  }
  EXPECT_EQ(joined.load(), 0);
  release.Set();
  a.join();
  b.join();
  EXPECT_EQ(joined.load(), 2);
  EXPECT_EQ(thread.GetExitCode(), 42u);
}

bool Blocked(int signal) {
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  return sigismember(&mask, signal) == 1;
}

TEST(Thread, StartsWithSignalsBlockedAndLeavesTheCreatorsMask) {
  int blocked = 0;
  Thread thread(
      [](void* out) -> uint32_t {
        *static_cast<int*>(out) = Blocked(SIGINT) + Blocked(SIGTERM) + Blocked(SIGUSR1);
        return 0;
      },
      &blocked);
  thread.Join();
  EXPECT_EQ(blocked, 3);
  EXPECT_FALSE(Blocked(SIGINT) || Blocked(SIGUSR1));
}

TEST(Thread, PriorityReadsZeroUnderTimeSharingAndNormalOnceFinished) {
  Common::Event release(true);
  Thread thread(&WaitThenReturn42, &release);
  int policy = 0;
  sched_param param{};
  ASSERT_EQ(pthread_getschedparam(thread.GetHandle(), &policy, &param), 0);
  for (int level = 0; level < 4 && sched_get_priority_min(policy) == sched_get_priority_max(policy); ++level) {
    thread.SetPriority(level);
    EXPECT_EQ(thread.GetPriority(), 0) << "level " << level;
  }
  release.Set();
  thread.Join();
  thread.SetPriority(3);
  EXPECT_EQ(thread.GetPriority(), Common::kNormalPriority);
}

struct SelfTerminating {
  std::unique_ptr<Thread> thread;
  Common::Event created{true};
  std::atomic<bool> after_terminate{false};
};

TEST(Thread, TerminateEndsTheThreadWithoutExitCode) {
  SelfTerminating self;
  self.thread = std::make_unique<Thread>(
      [](void* argument) -> uint32_t {
        auto* self = static_cast<SelfTerminating*>(argument);
        self->created.Wait();
        self->thread->Terminate();
        self->after_terminate = true;  // never reached
        return 5;
      },
      &self);
  self.created.Set();
  EXPECT_TRUE(self.thread->WaitFor(5000));
  EXPECT_FALSE(self.after_terminate.load());
  EXPECT_EQ(self.thread->GetExitCode(), 0xFFFFFFFFu);
#if !defined(__SANITIZE_THREAD__)  // it does not follow the unwinding of a cancelled thread
  Thread other(
      [](void*) -> uint32_t {
        for (;;) ::pause();
      },
      nullptr);
  other.Terminate();  // from another thread: cancels and joins
  EXPECT_TRUE(other.WaitFor(0));
  EXPECT_EQ(other.GetExitCode(), 0xFFFFFFFFu);
#endif
}

// A joined thread's handle may already name a newer thread (the system reuses
// the records of ended threads): terminating the joined one must leave it be.
TEST(Thread, TerminateAfterTheJoinTouchesNoOtherThread) {
  Thread ended([](void*) -> uint32_t { return 1; }, nullptr);
  ended.Join();
  Common::Event release(true);
  Thread later(
      [](void* argument) -> uint32_t {
        static_cast<Common::Event*>(argument)->Wait();
        pthread_testcancel();  // a pending cancel would end the thread here
        return 42;
      },
      &release);
  ended.Terminate();
  release.Set();
  later.Join();
  EXPECT_EQ(later.GetExitCode(), 42u) << "the joined thread's Terminate cancelled a later one";
  EXPECT_EQ(ended.GetExitCode(), 1u);
}

// The detached thread must get through its own exit too, which takes the
// state's lock once more after the body returns.
TEST(Thread, DestroyingAnUnjoinedThreadLetsItRunToTheEnd) {
  // Never destroyed: the detached thread's exit does not order its last use
  // of the event before the process's static destructors.
  static Common::Event& release = *new Common::Event(true);
  static std::atomic<pid_t> tid{0};
  {
    Thread thread(
        [](void*) -> uint32_t {
          tid = ::gettid();
          release.Wait();
          return 0;
        },
        nullptr);
  }
  release.Set();
  EXPECT_TRUE(zyk_test::Eventually([] {
    return tid != 0 && access(("/proc/self/task/" + std::to_string(tid.load())).c_str(), F_OK) != 0;
  })) << "the detached thread never exited";
}

TEST(Thread, CreationFailureThrowsCodeSevenWithThePosixCause) {
  Common::SetThreadCreateHookForTesting([] { return EAGAIN; });
  Common::Error error;
  try {
    Thread thread([](void*) -> uint32_t { return 0; }, nullptr);
  } catch (const Common::Error& caught) {
    error = caught;
  }
  Common::SetThreadCreateHookForTesting(nullptr);
  ASSERT_EQ(error.Code(), Common::kErrThreadCreate);
  EXPECT_STREQ(error.Location()->function, "Thread");
  EXPECT_EQ(error.Inner().Code(), Common::kErrPosix);
  EXPECT_EQ(error.Inner().GetNumberTag("code"), static_cast<uint64_t>(EAGAIN));
  EXPECT_FALSE(Blocked(SIGUSR2)) << "creator's mask not restored after the failure";
}

}  // namespace
