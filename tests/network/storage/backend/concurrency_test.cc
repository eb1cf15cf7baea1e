// Many host threads issuing requests at once: every call is answered exactly
// once, requests on one handle run in submission order, handles run in parallel.

#include <atomic>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "network/storage/backend/test_host.h"
#include "support/test_support.h"

namespace {

using zyk_test::Completion;
using zyk_test::HostMount;
using zyk_test::TempDir;

enum class Kind { kAppend, kFstat, kReadLast, kBogus };

// One request with everything the library writes into, kept until the end.
struct Request {
  Kind kind;
  size_t file = 0;
  uint64_t value = 0;     // append: the sequence number written; read: expected
  uint64_t expected = 0;  // fstat: the size the file must have at that point
  uint64_t done = 0;
  uint64_t read_back = 0;
  zykfs_append_status_t append{};
  zykfs_stat_t stat{};
  Completion* completion = nullptr;
};

TEST(Concurrency, EveryCallAnsweredOnceAndInOrderPerHandle) {
  const uint64_t seed = zyk_test::TestSeed();
  const size_t kThreads = 8;
  const size_t kFilesPerThread = 8;
  const size_t kFiles = kThreads * kFilesPerThread;
  const uint64_t total = zyk_test::Scaled(100000, 2000);
  const uint64_t per_thread = total / kThreads;

  TempDir dir;
  HostMount mount(dir.path());
  ASSERT_EQ(mount.Result(), 0);
  std::vector<uint64_t> handles(kFiles);
  for (size_t i = 0; i < kFiles; ++i) {
    std::string name = "f" + std::to_string(i);
    ASSERT_EQ(mount.Open(name.c_str(), ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE, &handles[i]), 0);
  }

  // Each thread owns its files, so the submission order per handle is known.
  std::vector<std::deque<Request>> requests(kThreads);
  std::vector<std::vector<uint64_t>> appended(kFiles);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937_64 random(seed + t);
      std::vector<uint64_t> counts(kFilesPerThread, 0);
      for (uint64_t n = 0; n < per_thread; ++n) {
        size_t local = random() % kFilesPerThread;
        size_t file = t * kFilesPerThread + local;
        Request& request = requests[t].emplace_back();
        request.file = file;
        request.completion = &mount.NewCompletion();
        unsigned roll = random() % 100;
        void* m = mount.Handle();
        const zykfs_ops_t& ops = mount.Ops();
        if (roll < 60) {
          request.kind = Kind::kAppend;
          request.value = counts[local]++;
          ops.append(m, handles[file], &request.value, 8, 0, &request.append, &Completion::Callback,
                     request.completion);
        } else if (roll < 80) {
          request.kind = Kind::kFstat;
          request.expected = counts[local] * 8;
          ops.fstat(m, handles[file], &request.stat, &Completion::Callback, request.completion);
        } else if (roll < 99) {
          request.kind = Kind::kReadLast;
          request.expected = counts[local];
          uint64_t offset = counts[local] == 0 ? 0 : (counts[local] - 1) * 8;
          ops.read(m, handles[file], &request.read_back, 8, offset, &request.done, &Completion::Callback,
                   request.completion);
        } else {
          request.kind = Kind::kBogus;
          ops.sync(m, handles[file] ^ 0x8000000000000000ull, &Completion::Callback, request.completion);
        }
      }
      for (size_t local = 0; local < kFilesPerThread; ++local) {
        appended[t * kFilesPerThread + local].resize(counts[local]);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  size_t checked = 0;
  for (auto& list : requests) {
    for (Request& request : list) {
      int32_t code = request.completion->Wait();
      ++checked;
      switch (request.kind) {
        case Kind::kAppend:
          ASSERT_EQ(code, 0);
          ASSERT_EQ(request.append.appended, 8u);
          break;
        case Kind::kFstat:
          ASSERT_EQ(code, 0);
          ASSERT_EQ(request.stat.size, request.expected) << "file " << request.file;
          break;
        case Kind::kReadLast:
          ASSERT_EQ(code, 0);
          if (request.expected == 0) {
            ASSERT_EQ(request.done, 0u);
          } else {
            ASSERT_EQ(request.done, 8u);
            ASSERT_EQ(request.read_back, request.expected - 1) << "file " << request.file;
          }
          break;
        case Kind::kBogus:
          ASSERT_EQ(code, ZYKFS_E_INVALID_HANDLE);
          break;
      }
    }
  }
  EXPECT_EQ(checked, per_thread * kThreads);

  for (size_t i = 0; i < kFiles; ++i) {
    // Every callback has arrived, so no request holds the handle any more.
    ASSERT_EQ(mount.Close(handles[i]), 0);
    std::string name = "f" + std::to_string(i);
    std::string data = mount.GetFile(name.c_str());
    ASSERT_EQ(data.size(), appended[i].size() * 8);
    for (uint64_t n = 0; n < appended[i].size(); ++n) {
      uint64_t value = 0;
      std::memcpy(&value, data.data() + n * 8, 8);
      ASSERT_EQ(value, n) << "file " << i << ": appends ran out of submission order";
    }
  }
}

}  // namespace
