#include <errno.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/common/unix/event_unix.h"
#include "core/common/unix/mutex_locker.h"
#include "support/test_support.h"

namespace {

using Common::Event;
using Common::EventWaiter;
using namespace std::chrono_literals;

// `count` threads asleep on `event`, counting how many were released.
struct Waiters {
  std::atomic<int> released{0};
  std::vector<std::thread> threads;
  Waiters(Event& event, int count) {
    std::vector<std::atomic<pid_t>> tids(count);
    for (int i = 0; i < count; ++i)
      threads.emplace_back([&, i] {
        tids[i] = ::gettid();
        released += event.Wait(60000) ? 1 : 0;
      });
    for (auto& tid : tids) {
      while (tid.load() == 0) std::this_thread::yield();
      zyk_test::Asleep(tid);
    }
  }
  ~Waiters() {
    for (auto& thread : threads) thread.join();
  }
};

// Each Set releases one waiter and is consumed by it: had the first Set
// released both, the second would be left standing.
TEST(Event, AutomaticResetReleasesExactlyOneOfTwoWaiters) {
  Event event(false);
  {
    Waiters waiters(event, 2);
    event.Set();
    EXPECT_TRUE(zyk_test::Eventually([&] { return waiters.released.load() >= 1; }));
    EXPECT_FALSE(event.Wait(0)) << "automatic-reset event stayed signalled";
    event.Set();
  }
  EXPECT_FALSE(event.Wait(0)) << "one Set released both waiters";
}

TEST(Event, ManualResetReleasesAllAndStaysSignalledUntilReset) {
  Event event(true);
  {
    Waiters waiters(event, 3);
    event.Set();
  }
  EXPECT_TRUE(event.Wait(0));
  EXPECT_TRUE(event.Wait(0));
  event.Reset();
  EXPECT_FALSE(event.Wait(0));
}

TEST(Event, SignalledAutomaticEventIsConsumedByOneWaitAndWaitTimesOut) {
  Event initially(false, true), set_twice(false);
  set_twice.Set();
  set_twice.Set();  // a Set on a signalled event changes nothing
  for (Event* event : {&initially, &set_twice}) {
    EXPECT_TRUE(event->Wait(0));
    EXPECT_FALSE(event->Wait(0));
  }
  auto before = std::chrono::steady_clock::now();
  EXPECT_FALSE(initially.Wait(40));
  EXPECT_GE(std::chrono::steady_clock::now() - before, 35ms);
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
      while (!done)
        if (work.Wait(10)) {
          released++;
          taken.Set();
        }
    });
  for (int i = 0; i < sets; ++i) {
    work.Set();
    ASSERT_TRUE(taken.Wait(5000)) << "lost wake-up at " << i;
  }
  done = true;
  for (auto& consumer : consumers) consumer.join();
  EXPECT_EQ(released.load(), sets);
}

TEST(EventWaiter, ReturnsTheEventThatWasSetAndConsumesOnlyIt) {
  Event first(false), second(false), third(true);
  EventWaiter waiter({&first, &second, &third});
  EXPECT_EQ(waiter.Wait(10), nullptr);
  const pid_t waiting = ::gettid();
  std::thread setter([&] {
    zyk_test::Asleep(waiting);
    second.Set();
  });
  EXPECT_EQ(waiter.Wait(60000), &second);
  setter.join();
  EXPECT_FALSE(second.Wait(0)) << "the waiter did not consume the automatic-reset event";
  first.Set();
  EXPECT_TRUE(first.Wait(0)) << "a timed-out waiter swallowed a later Set";
}

TEST(EventWaiter, AlreadySignalledEventsReturnAtOnceInOrder) {
  Event first(false, true), second(false, true), manual(true, true);
  EventWaiter waiter({&first, &second});
  EXPECT_EQ(waiter.Wait(0), &first);
  EXPECT_TRUE(second.Wait(0)) << "released waiter consumed another event";
  EventWaiter on_manual({&first, &manual});
  EXPECT_EQ(on_manual.Wait(0), &manual);
  EXPECT_EQ(on_manual.Wait(0), &manual) << "manual-reset event stays signalled";
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
      ADD_FAILURE() << "relocking an error-checking mutex succeeded";
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
