#include "core/common/unix/semaphore_unix.h"

#include <errno.h>
#include <limits.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/common/unix/sync_errors.h"
#include "support/test_support.h"

namespace {

using Common::Semaphore;
using namespace std::chrono_literals;

TEST(Semaphore, WaitZeroTakesOnlyWhatIsThere) {
  for (unsigned initial : {0u, 1u, 3u}) {
    Semaphore semaphore(initial);
    semaphore.Signal(2);
    unsigned taken = 0;
    for (int i = 0; i < 8; ++i) taken += semaphore.Wait(0u) ? 1 : 0;
    EXPECT_EQ(taken, initial + 2) << "initial " << initial;
  }
}

// The limit is honoured, also when the deadline crosses a second boundary.
TEST(Semaphore, TimedWaitReturnsFalseAfterTheLimit) {
  for (unsigned limit : {30u, 1010u}) {
    Semaphore semaphore(0);
    auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(semaphore.Wait(limit));
    auto waited = std::chrono::steady_clock::now() - before;
    EXPECT_GE(waited, std::chrono::milliseconds(limit - 5)) << limit;
    EXPECT_LT(waited, std::chrono::milliseconds(limit + 2000)) << limit;
  }
}

TEST(Semaphore, SignalFromAnotherThreadEndsATimedWaitEarly) {
  Semaphore semaphore(0);
  std::thread signaller([&] {
    std::this_thread::sleep_for(10ms);
    semaphore.Signal();
  });
  auto before = std::chrono::steady_clock::now();
  EXPECT_TRUE(semaphore.Wait(10000u));
  EXPECT_LT(std::chrono::steady_clock::now() - before, 5000ms);
  signaller.join();
}

TEST(Semaphore, CountsAboveTheMaximumThrowWithThePosixCause) {
  const struct {
    unsigned initial;
    uint32_t code;
    const char* function;
    int posix;
  } cases[] = {{static_cast<unsigned>(SEM_VALUE_MAX) + 1u, Common::kErrSemaphoreInit, "Semaphore", EINVAL},
               {SEM_VALUE_MAX, Common::kErrSemaphoreSignal, "Signal", EOVERFLOW}};
  for (const auto& c : cases) {
    try {
      Semaphore semaphore(c.initial);
      semaphore.Signal();
      ADD_FAILURE() << "no error for " << c.function;
    } catch (const Common::Error& error) {
      EXPECT_EQ(error.Code(), c.code);
      EXPECT_STREQ(error.Location()->function, c.function);
      EXPECT_EQ(error.Inner().GetNumberTag("code"), static_cast<uint64_t>(c.posix));
    }
  }
}

// Producers and consumers: every signal is taken exactly once.
TEST(Semaphore, EverySignalIsTakenOnce) {
  const int per_producer = static_cast<int>(zyk_test::Scaled(100000, 1000));
  Semaphore semaphore(0);
  std::atomic<int> taken{0};
  std::atomic<bool> producing{true};
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i)
    threads.emplace_back([&] {
      while (producing) taken += semaphore.Wait(5u) ? 1 : 0;
    });
  for (int i = 0; i < 2; ++i)
    threads.emplace_back([&] {
      for (int j = 0; j < per_producer; ++j) semaphore.Signal();
    });
  while (taken.load() < 2 * per_producer) std::this_thread::sleep_for(1ms);
  producing = false;
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(taken.load(), 2 * per_producer);
  EXPECT_FALSE(semaphore.Wait(0u));
}

}  // namespace
