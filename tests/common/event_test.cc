#include "core/common/unix/event_unix.h"

#include <errno.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/common/unix/mutex_locker.h"
#include "support/test_support.h"

namespace {

using Common::Event;
using Common::EventWaiter;
using namespace std::chrono_literals;

// Starts `count` threads that each wait (without limit) on `event` and count
// how many were released.
struct Waiters {
  std::atomic<int> released{0};
  std::vector<std::thread> threads;
  Waiters(Event& event, int count) {
    for (int i = 0; i < count; ++i)
      threads.emplace_back([&] {
        if (event.Wait(2000)) released++;
      });
  }
  ~Waiters() {
    for (auto& thread : threads) thread.join();
  }
};

void WaitUntilRegistered() { std::this_thread::sleep_for(50ms); }

TEST(Event, AutomaticResetReleasesExactlyOneOfTwoWaiters) {
  Event event(false);
  Waiters waiters(event, 2);
  WaitUntilRegistered();
  event.Set();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(waiters.released.load(), 1);
  EXPECT_FALSE(event.Wait(0)) << "automatic-reset event stayed signalled";
  event.Set();  // lets the second waiter go
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(waiters.released.load(), 2);
}

TEST(Event, ManualResetReleasesAllAndStaysSignalledUntilReset) {
  Event event(true);
  {
    Waiters waiters(event, 3);
    WaitUntilRegistered();
    event.Set();
  }
  EXPECT_TRUE(event.Wait(0));
  EXPECT_TRUE(event.Wait(0));
  event.Reset();
  EXPECT_FALSE(event.Wait(0));
}

TEST(Event, SignalledAutomaticEventIsConsumedByOneWait) {
  Event initially(false, true);
  EXPECT_TRUE(initially.Wait(0));
  EXPECT_FALSE(initially.Wait(0));
  Event set_twice(false);
  set_twice.Set();
  set_twice.Set();  // a Set on a signalled event changes nothing
  EXPECT_TRUE(set_twice.Wait(0));
  EXPECT_FALSE(set_twice.Wait(0));
}

TEST(Event, WaitTimesOutAfterItsLimit) {
  Event event(false);
  auto before = std::chrono::steady_clock::now();
  EXPECT_FALSE(event.Wait(40));
  EXPECT_GE(std::chrono::steady_clock::now() - before, 35ms);
}

TEST(EventWaiter, ReturnsTheEventThatWasSet) {
  Event first(false), second(false), third(true);
  EventWaiter waiter({&first, &second, &third});
  std::thread setter([&] {
    std::this_thread::sleep_for(20ms);
    second.Set();
  });
  EXPECT_EQ(waiter.Wait(2000), &second);
  setter.join();
  EXPECT_FALSE(second.Wait(0)) << "the waiter consumed the automatic-reset event";
}

TEST(EventWaiter, ReturnsAnAlreadySignalledEventAtOnce) {
  Event first(false), second(true, true);
  EventWaiter waiter({&first, &second});
  EXPECT_EQ(waiter.Wait(0), &second);
  EXPECT_EQ(waiter.Wait(0), &second) << "manual-reset event stays signalled";
}

TEST(EventWaiter, TimeoutReturnsNullAndDoesNotConsumeALaterSet) {
  Event first(false), second(false);
  EventWaiter waiter({&first, &second});
  EXPECT_EQ(waiter.Wait(10), nullptr);
  first.Set();
  EXPECT_TRUE(first.Wait(0)) << "a timed-out waiter swallowed the Set";
}

TEST(EventWaiter, ReleasedWaiterLeavesOtherAutomaticEventsSignalled) {
  Event first(false, true), second(false, true);
  EventWaiter waiter({&first, &second});
  EXPECT_EQ(waiter.Wait(0), &first);
  EXPECT_TRUE(second.Wait(0));
}

// Two threads hand a turn back and forth through two automatic-reset events;
// a lost or doubled wake-up shows as a stall or a miscount.
TEST(Event, PingPongLosesNoWakeUp) {
  const uint64_t rounds = zyk_test::Scaled(20000, 100);
  Event ping(false), pong(false);
  uint64_t seen = 0;
  std::thread other([&] {
    for (uint64_t i = 0; i < rounds; ++i) {
      ASSERT_TRUE(ping.Wait(5000));
      ++seen;
      pong.Set();
    }
  });
  for (uint64_t i = 0; i < rounds; ++i) {
    ping.Set();
    ASSERT_TRUE(pong.Wait(5000)) << "round " << i;
  }
  other.join();
  EXPECT_EQ(seen, rounds);
}

// Several consumers share one automatic-reset event; the producer sets it only
// after the previous release was counted, so every Set releases exactly one.
TEST(Event, EachAutomaticSetReleasesExactlyOneOfManyWaiters) {
  const int sets = static_cast<int>(zyk_test::Scaled(5000, 50));
  Event work(false), taken(false);
  std::atomic<int> released{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> consumers;
  for (int i = 0; i < 4; ++i)
    consumers.emplace_back([&] {
      while (!done) {
        if (work.Wait(10)) {
          released++;
          taken.Set();
        }
      }
    });
  for (int i = 0; i < sets; ++i) {
    work.Set();
    ASSERT_TRUE(taken.Wait(5000));
  }
  done = true;
  for (auto& consumer : consumers) consumer.join();
  EXPECT_EQ(released.load(), sets);
}

TEST(MutexLocker, LockFailureThrowsCode19WithThePosixCause) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
  pthread_mutex_t mutex;
  pthread_mutex_init(&mutex, &attributes);
  {
    Common::MutexLocker held(&mutex);
    try {
      Common::MutexLocker again(&mutex);
      FAIL() << "relocking an error-checking mutex succeeded";
    } catch (const Common::Error& error) {
      EXPECT_EQ(error.Code(), Common::kErrMutexLock);
      EXPECT_STREQ(error.Location()->function, "MutexLocker");
      EXPECT_EQ(error.Inner().GetNumberTag("code"), static_cast<uint64_t>(EDEADLK));
    }
  }
  EXPECT_EQ(pthread_mutex_trylock(&mutex), 0) << "MutexLocker did not unlock";
  pthread_mutex_unlock(&mutex);
  pthread_mutex_destroy(&mutex);
  pthread_mutexattr_destroy(&attributes);
}

}  // namespace
