// Many host threads issuing requests at once: every call is answered exactly
// once, requests on one handle run in submission order, handles run in parallel.

#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "network/storage/backend/test_host.h"

namespace {

using namespace zyk_test;

enum class Kind { kAppend, kFstat, kReadLast, kBogus };

// One request with everything the library writes into, kept until the end.
struct Request {
  Kind kind;
  size_t file = 0;
  uint64_t value = 0;  // append: the sequence number written; fstat and read: the count before it
  uint64_t done = 0, read_back = 0;
  zykfs_append_status_t append{};
  zykfs_stat_t stat{};
  Completion* completion = nullptr;
};

TEST(Concurrency, EveryCallAnsweredOnceAndInOrderPerHandle) {
  const uint64_t seed = TestSeed();
  const size_t kThreads = 8, kFilesPerThread = 8, kFiles = kThreads * kFilesPerThread;
  const uint64_t per_thread = Scaled(100000, 2000) / kThreads;

  TempDir dir;
  HostMount mount(dir.path());
  ASSERT_EQ(mount.Result(), 0);
  std::vector<uint64_t> handles(kFiles);
  for (size_t i = 0; i < kFiles; ++i) {
    ASSERT_EQ(mount.Open(("f" + std::to_string(i)).c_str(), ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE, &handles[i]), 0);
  }
  // Each thread owns its files, so the submission order per handle is known.
  std::vector<std::deque<Request>> requests(kThreads);
  std::vector<uint64_t> appended(kFiles, 0);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937_64 random(seed + t);
      void* m = mount.Handle();
      const zykfs_ops_t& ops = mount.Ops();
      for (uint64_t n = 0; n < per_thread; ++n) {
        const size_t file = t * kFilesPerThread + random() % kFilesPerThread;
        Request& r = requests[t].emplace_back();
        r.file = file;
        r.completion = &mount.NewCompletion();
        r.value = appended[file];
        const unsigned roll = random() % 100;
        const uint64_t h = handles[file];
        if (roll < 60) {
          r.kind = Kind::kAppend;
          ++appended[file];
          ops.append(m, h, &r.value, 8, 0, &r.append, &Completion::Callback, r.completion);
        } else if (roll < 80) {
          r.kind = Kind::kFstat;
          ops.fstat(m, h, &r.stat, &Completion::Callback, r.completion);
        } else if (roll < 99) {
          r.kind = Kind::kReadLast;
          ops.read(m, h, &r.read_back, 8, r.value == 0 ? 0 : (r.value - 1) * 8, &r.done, &Completion::Callback,
                   r.completion);
        } else {
          r.kind = Kind::kBogus;
          ops.sync(m, h ^ 0x8000000000000000ull, &Completion::Callback, r.completion);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();

  for (auto& list : requests) {
    for (Request& r : list) {
      const int32_t code = r.completion->Wait();
      SCOPED_TRACE("file " + std::to_string(r.file));
      ASSERT_EQ(code, r.kind == Kind::kBogus ? ZYKFS_E_INVALID_HANDLE : 0);
      if (r.kind == Kind::kAppend) {
        ASSERT_EQ(r.append.appended, 8u);
      } else if (r.kind == Kind::kFstat) {
        ASSERT_EQ(r.stat.size, r.value * 8);
      } else if (r.kind == Kind::kReadLast) {
        ASSERT_EQ(r.done, r.value == 0 ? 0u : 8u);
        ASSERT_EQ(r.read_back, r.value == 0 ? 0 : r.value - 1);
      }
    }
  }
  for (size_t i = 0; i < kFiles; ++i) {
    ASSERT_EQ(mount.Close(handles[i]), 0);  // every callback has arrived: nothing holds it
    const std::string data = mount.GetFile(("f" + std::to_string(i)).c_str());
    ASSERT_EQ(data.size(), appended[i] * 8);
    for (uint64_t n = 0; n < appended[i]; ++n) {
      uint64_t value = 0;
      std::memcpy(&value, data.data() + n * 8, 8);
      ASSERT_EQ(value, n) << "file " << i << ": appends ran out of submission order";
    }
  }
}

}  // namespace
