#include "core/common/unix/thread_unix.h"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "core/common/unix/event_unix.h"
#include "core/common/unix/sync_errors.h"

namespace {

using Common::Thread;

// A function that blocks until its event is set and then returns 42.
uint32_t WaitThenReturn42(void* argument) {
  static_cast<Common::Event*>(argument)->Wait();
  return 42;
}

uint32_t Return7(void*) { return 7; }

TEST(Thread, ReportsTheFunctionsValueAsExitCode) {
  Thread thread(&Return7, nullptr);
  thread.Join();
  EXPECT_EQ(thread.GetExitCode(), 7u);
  EXPECT_EQ(thread.GetHandle(), pthread_t{});  // cleared by Join
}

TEST(Thread, WaitForZeroReturnsAtOnceWhileRunningAndJoinsWhenFinished) {
  Common::Event release(true);
  Thread thread(&WaitThenReturn42, &release);
  auto before = std::chrono::steady_clock::now();
  EXPECT_FALSE(thread.WaitFor(0));
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(500));
  EXPECT_EQ(thread.GetExitCode(), 0xFFFFFFFFu);
  release.Set();
  while (!thread.WaitFor(0)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(thread.GetHandle(), pthread_t{});  // joined
  EXPECT_EQ(thread.GetExitCode(), 42u);
  EXPECT_TRUE(thread.WaitFor(0));  // stays finished
}

TEST(Thread, WaitForGivesUpAfterItsLimit) {
  Common::Event release(true);
  Thread thread(&WaitThenReturn42, &release);
  auto before = std::chrono::steady_clock::now();
  EXPECT_FALSE(thread.WaitFor(50));
  EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(45));
  release.Set();
  EXPECT_TRUE(thread.WaitFor(Common::kInfinite));
}

TEST(Thread, ConcurrentJoinsAllReturnAfterTheEnd) {
  Common::Event release(true);
  Thread thread(&WaitThenReturn42, &release);
  std::atomic<int> joined{0};
  std::thread a([&] { thread.Join(); joined++; });
  std::thread b([&] { thread.Join(); joined++; });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(joined.load(), 0);
  release.Set();
  a.join();
  b.join();
  EXPECT_EQ(joined.load(), 2);
  EXPECT_EQ(thread.GetExitCode(), 42u);
}

uint32_t ReportBlockedSignals(void* argument) {
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  int blocked = sigismember(&mask, SIGINT) + sigismember(&mask, SIGTERM) + sigismember(&mask, SIGUSR1);
  *static_cast<int*>(argument) = blocked;
  return 0;
}

TEST(Thread, StartsWithSignalsBlockedAndLeavesTheCreatorsMask) {
  sigset_t before;
  pthread_sigmask(SIG_SETMASK, nullptr, &before);
  int blocked = 0;
  Thread thread(&ReportBlockedSignals, &blocked);
  thread.Join();
  EXPECT_EQ(blocked, 3);
  sigset_t after;
  pthread_sigmask(SIG_SETMASK, nullptr, &after);
  EXPECT_EQ(sigismember(&before, SIGINT), sigismember(&after, SIGINT));
  EXPECT_EQ(sigismember(&before, SIGUSR1), sigismember(&after, SIGUSR1));
}

TEST(Thread, EveryLevelReadsBackAsZeroUnderTimeSharing) {
  Common::Event release(true);
  Thread thread(&WaitThenReturn42, &release);
  int policy = 0;
  sched_param param{};
  ASSERT_EQ(pthread_getschedparam(thread.GetHandle(), &policy, &param), 0);
  if (sched_get_priority_min(policy) != sched_get_priority_max(policy)) GTEST_SKIP() << "not a time-sharing policy";
  for (int level : {0, 1, 2, 3}) {
    thread.SetPriority(level);
    EXPECT_EQ(thread.GetPriority(), 0) << "level " << level;
  }
  release.Set();
  thread.Join();
}

TEST(Thread, FinishedThreadReadsNormalPriorityAndIgnoresChanges) {
  Thread thread(&Return7, nullptr);
  thread.Join();
  thread.SetPriority(3);
  EXPECT_EQ(thread.GetPriority(), Common::kNormalPriority);
}

struct SelfTerminating {
  std::unique_ptr<Thread> thread;
  Common::Event created{true};
  std::atomic<bool> after_terminate{false};
};

uint32_t TerminateSelf(void* argument) {
  auto* self = static_cast<SelfTerminating*>(argument);
  self->created.Wait();
  self->thread->Terminate();
  self->after_terminate = true;  // never reached
  return 5;
}

TEST(Thread, TerminateFromTheThreadItselfEndsItWithoutExitCode) {
  SelfTerminating self;
  self.thread = std::make_unique<Thread>(&TerminateSelf, &self);
  self.created.Set();
  EXPECT_TRUE(self.thread->WaitFor(5000));
  EXPECT_FALSE(self.after_terminate.load());
  EXPECT_EQ(self.thread->GetExitCode(), 0xFFFFFFFFu);
}

uint32_t SleepInCancellationPoint(void*) {
  for (;;) ::pause();
  return 1;
}

TEST(Thread, TerminateFromAnotherThreadCancelsAndJoins) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer does not follow the unwinding of a cancelled thread";
#endif
  Thread thread(&SleepInCancellationPoint, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  thread.Terminate();
  EXPECT_TRUE(thread.WaitFor(0));
  EXPECT_EQ(thread.GetExitCode(), 0xFFFFFFFFu);
}

std::atomic<bool> g_detached_ran{false};

uint32_t SetFlagLater(void* argument) {
  static_cast<Common::Event*>(argument)->Wait();
  g_detached_ran = true;
  return 0;
}

TEST(Thread, DestroyingAnUnjoinedThreadLetsItRunToTheEnd) {
  Common::Event release(true);
  { Thread thread(&SetFlagLater, &release); }
  release.Set();
  for (int i = 0; i < 5000 && !g_detached_ran; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(g_detached_ran.load());
}

TEST(Thread, CreationFailureThrowsCodeSevenWithThePosixCause) {
  Common::SetThreadCreateHookForTesting([] { return EAGAIN; });
  try {
    Thread thread(&Return7, nullptr);
    Common::SetThreadCreateHookForTesting(nullptr);
    FAIL() << "no error thrown";
  } catch (const Common::Error& error) {
    Common::SetThreadCreateHookForTesting(nullptr);
    EXPECT_EQ(error.Code(), Common::kErrThreadCreate);
    EXPECT_STREQ(error.Location()->function, "Thread");
    EXPECT_EQ(error.Inner().Code(), Common::kErrPosix);
    EXPECT_EQ(error.Inner().GetNumberTag("code"), static_cast<uint64_t>(EAGAIN));
  }
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  EXPECT_FALSE(sigismember(&mask, SIGUSR2)) << "creator's mask not restored after the failure";
}

}  // namespace
