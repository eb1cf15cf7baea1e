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

// `count` threads wait on `event` and count how many were released.
struct Waiters {
  std::atomic<int> released{0};
  std::vector<std::thread> threads;
  Waiters(Event& event, int count) {
    for (int i = 0; i < count; ++i)
      threads.emplace_back([&] { released += event.Wait(2000) ? 1 : 0; });
    std::this_thread::sleep_for(50ms);  // let them block
  }
  ~Waiters() {
    for (auto& thread : threads) thread.join();
  }
};

TEST(Event, AutomaticResetReleasesExactlyOneOfTwoWaiters) {
  Event event(false);
  Waiters waiters(event, 2);
  event.Set();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(waiters.released.load(), 1);
  EXPECT_FALSE(event.Wait(0)) << "automatic-reset event stayed signalled";
  event.Set();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(waiters.released.load(), 2);
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
  std::thread setter([&] {
    std::this_thread::sleep_for(20ms);
    second.Set();
  });
  EXPECT_EQ(waiter.Wait(2000), &second);
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
