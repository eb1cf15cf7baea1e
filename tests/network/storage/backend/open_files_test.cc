// Open files and directories through the loaded library: open flags, close,
// access rules, the file requests, listing and swapping.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <future>
#include <map>
#include <set>
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

void WriteLocal(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

std::string ReadLocal(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool LocalExists(const std::string& path) {
  struct stat status;
  return ::lstat(path.c_str(), &status) == 0;
}

// A callback that holds its thread until released, keeping the request's
// object referenced meanwhile.
struct HeldCallback {
  Completion done;
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released{release.get_future().share()};

  static void Callback(void* context, int32_t code) {
    auto* self = static_cast<HeldCallback*>(context);
    self->entered.set_value();
    self->released.wait();
    Completion::Callback(&self->done, code);
  }
};

class OpenFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    mount_ = std::make_unique<HostMount>(dir_.path());
    ASSERT_EQ(mount_->Result(), 0);
  }
  HostMount& mount() { return *mount_; }

  TempDir dir_;
  std::unique_ptr<HostMount> mount_;
};

TEST_F(OpenFiles, FlagRulesAndCodes) {
  WriteLocal(dir_ / "existing", "0123456789");
  struct Case {
    const char* path;
    uint32_t flags;
    int32_t code;
  };
  const Case cases[] = {
      {"existing", 0, ZYKFS_E_INVALID_USAGE},  // no access value
      {"no/dir/x", ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_EXCLUSIVE, ZYKFS_E_INVALID_USAGE},
      {"missing", ZYKFS_OPEN_READ, ZYKFS_E_NOT_FOUND},
      {"missing", ZYKFS_OPEN_READ_WRITE, ZYKFS_E_NOT_FOUND},
      {"existing", ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE | ZYKFS_OPEN_EXCLUSIVE, ZYKFS_E_EXISTS},
      {"existing", ZYKFS_OPEN_READ | ZYKFS_OPEN_TRUNCATE, ZYKFS_E_READ_ONLY},
      {"no/dir/x", ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE, ZYKFS_E_NOT_FOUND},
  };
  for (const Case& c : cases) {
    uint64_t handle = 0;
    EXPECT_EQ(mount().Open(c.path, c.flags, &handle), c.code) << c.path << " flags " << c.flags;
  }
  EXPECT_FALSE(LocalExists(dir_ / "missing"));
  EXPECT_EQ(ReadLocal(dir_ / "existing"), "0123456789");
}

TEST_F(OpenFiles, CreateTruncateAndAppendModes) {
  WriteLocal(dir_ / "t", "old contents");
  uint64_t handle = 0;
  ASSERT_EQ(mount().Open("t", ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_TRUNCATE, &handle), 0);
  zykfs_stat_t stat{};
  ASSERT_EQ(mount().Fstat(handle, &stat), 0);
  EXPECT_EQ(stat.size, 0u);
  ASSERT_EQ(mount().Close(handle), 0);

  ASSERT_EQ(mount().Open("new", ZYKFS_OPEN_READ | ZYKFS_OPEN_CREATE, &handle), 0);
  EXPECT_TRUE(LocalExists(dir_ / "new"));
  ASSERT_EQ(mount().Close(handle), 0);

  // Append mode: every write lands at the end, whatever its offset.
  WriteLocal(dir_ / "log", "abc");
  ASSERT_EQ(mount().Open("log", ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_APPEND, &handle), 0);
  uint64_t done = 0;
  ASSERT_EQ(mount().Write(handle, "XY", 2, 0, &done), 0);
  ASSERT_EQ(mount().Close(handle), 0);
  EXPECT_EQ(ReadLocal(dir_ / "log"), "abcXY");
}

TEST_F(OpenFiles, ReadWriteAndFstatFollowTheFile) {
  uint64_t handle = 0;
  ASSERT_EQ(mount().Open("f", ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE, &handle), 0);
  uint64_t done = 0;
  ASSERT_EQ(mount().Write(handle, "hello world", 11, 0, &done), 0);
  EXPECT_EQ(done, 11u);
  ASSERT_EQ(mount().Write(handle, "W", 1, 6, &done), 0);
  char buffer[32] = {};
  ASSERT_EQ(mount().Read(handle, buffer, sizeof(buffer), 0, &done), 0);
  EXPECT_EQ(std::string(buffer, done), "hello World");
  ASSERT_EQ(mount().Read(handle, buffer, 4, 100, &done), 0);
  EXPECT_EQ(done, 0u);  // past the end

  zykfs_stat_t stat{};
  ASSERT_EQ(mount().Fstat(handle, &stat), 0);
  EXPECT_EQ(stat.size, 11u);
  ASSERT_EQ(mount().Truncate(handle, 5), 0);
  ASSERT_EQ(mount().Fstat(handle, &stat), 0);
  EXPECT_EQ(stat.size, 5u);
  ASSERT_EQ(mount().Sync(handle), 0);

  uint64_t value = 77;
  EXPECT_EQ(mount().Pad(handle, &value), ZYKFS_E_NOT_SUPPORTED);
  EXPECT_EQ(value, 0u);
  uint64_t entries[4] = {};
  zykfs_alloc_status_t alloc{0, entries, 4, 0, 0};
  EXPECT_EQ(mount().AllocInfo(handle, &alloc), ZYKFS_E_NOT_SUPPORTED);
  ASSERT_EQ(mount().Close(handle), 0);
  EXPECT_EQ(ReadLocal(dir_ / "f"), "hello");
}

TEST_F(OpenFiles, AccessViewsRefuseWhatTheOpenDidNotAsk) {
  WriteLocal(dir_ / "f", "data");
  uint64_t reader = 0, writer = 0;
  ASSERT_EQ(mount().Open("f", ZYKFS_OPEN_READ | ZYKFS_OPEN_NO_LOCK, &reader), 0);
  ASSERT_EQ(mount().Open("f", ZYKFS_OPEN_WRITE | ZYKFS_OPEN_NO_LOCK, &writer), 0);
  char buffer[8];
  uint64_t done = 0;
  zykfs_append_status_t status{};
  const uint64_t range[2] = {0, 4096};

  EXPECT_EQ(mount().Read(writer, buffer, sizeof(buffer), 0, &done), ZYKFS_E_NOT_READABLE);
  EXPECT_EQ(mount().Write(reader, "x", 1, 0, &done), ZYKFS_E_READ_ONLY);
  EXPECT_EQ(mount().Truncate(reader, 0), ZYKFS_E_READ_ONLY);
  EXPECT_EQ(mount().Append(reader, "x", 1, &status), ZYKFS_E_READ_ONLY);
  EXPECT_EQ(mount().Sparse(reader, range, 2), ZYKFS_E_READ_ONLY);
  EXPECT_EQ(mount().Sync(reader), 0);
  EXPECT_EQ(mount().Lock(reader, ZYKFS_LOCK_EXCLUSIVE), ZYKFS_E_READ_ONLY);
  EXPECT_EQ(mount().Lock(writer, ZYKFS_LOCK_SHARED), ZYKFS_E_NOT_READABLE);
  EXPECT_EQ(mount().Lock(reader, 3), ZYKFS_E_INVALID_USAGE);
  EXPECT_EQ(mount().Lock(reader, ZYKFS_LOCK_SHARED), 0);
  EXPECT_EQ(mount().Lock(reader, ZYKFS_LOCK_NONE), 0);
  EXPECT_EQ(mount().Lock(writer, ZYKFS_LOCK_EXCLUSIVE), 0);
  EXPECT_EQ(mount().Lock(writer, ZYKFS_LOCK_NONE), 0);
  EXPECT_EQ(mount().Close(reader), 0);
  EXPECT_EQ(mount().Close(writer), 0);
  EXPECT_EQ(ReadLocal(dir_ / "f"), "data");
}

TEST_F(OpenFiles, WholeFileLockedHandlesAcceptLockRequests) {
  WriteLocal(dir_ / "f", "data");
  uint64_t handle = 0;
  ASSERT_EQ(mount().Open("f", ZYKFS_OPEN_READ_WRITE, &handle), 0);
  for (uint32_t mode : {ZYKFS_LOCK_SHARED, ZYKFS_LOCK_EXCLUSIVE, ZYKFS_LOCK_NONE}) {
    EXPECT_EQ(mount().Lock(handle, mode), 0) << mode;
  }
  EXPECT_EQ(mount().Close(handle), 0);
}

TEST_F(OpenFiles, AppendReportsCountAndFlushedSize) {
  uint64_t handle = 0;
  ASSERT_EQ(mount().Open("a", ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE, &handle), 0);
  zykfs_append_status_t status{};
  ASSERT_EQ(mount().Append(handle, "abc", 3, &status), 0);
  EXPECT_EQ(status.appended, 3u);
  EXPECT_EQ(status.flushed_size, 0u);
  // Without a buffer the file grows by zero bytes.
  ASSERT_EQ(mount().Append(handle, nullptr, 4096, &status), 0);
  EXPECT_EQ(status.appended, 4096u);
  ASSERT_EQ(mount().Close(handle), 0);
  std::string local = ReadLocal(dir_ / "a");
  ASSERT_EQ(local.size(), 4099u);
  EXPECT_EQ(local.substr(0, 3), "abc");
  EXPECT_EQ(local.substr(3), std::string(4096, '\0'));
}

TEST_F(OpenFiles, AppendFlushesOnceMoreThan8MiBIsUnflushed) {
  uint64_t handle = 0;
  ASSERT_EQ(mount().Open("big", ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE, &handle), 0);
  const std::string mib(1 << 20, 'm');
  std::vector<uint64_t> flushed;
  for (int i = 0; i < 9; ++i) {
    zykfs_append_status_t status{};
    ASSERT_EQ(mount().Append(handle, mib.data(), mib.size(), &status), 0);
    EXPECT_EQ(status.appended, mib.size());
    flushed.push_back(status.flushed_size);
  }
  const uint64_t k8MiB = 8u << 20;
  EXPECT_EQ(flushed, (std::vector<uint64_t>{0, 0, 0, 0, 0, 0, 0, k8MiB, k8MiB}));
  ASSERT_EQ(mount().Close(handle), 0);
}

TEST_F(OpenFiles, SparseChecksItsArgumentsBeforeDeallocating) {
  const std::string data(1 << 20, 'd');
  mount().PutFile("s", data);
  uint64_t handle = 0;
  ASSERT_EQ(mount().Open("s", ZYKFS_OPEN_READ_WRITE, &handle), 0);
  const uint64_t odd[3] = {0, 4096, 8192};
  EXPECT_EQ(mount().Sparse(handle, odd, 3), ZYKFS_E_INVALID_USAGE);
  // The second pair is empty: the first must not be deallocated either.
  const uint64_t empty_pair[4] = {0, 65536, 8192, 8192};
  EXPECT_EQ(mount().Sparse(handle, empty_pair, 4), ZYKFS_E_INVALID_USAGE);
  const uint64_t backwards[2] = {8192, 4096};
  EXPECT_EQ(mount().Sparse(handle, backwards, 2), ZYKFS_E_INVALID_USAGE);
  EXPECT_EQ(mount().Sparse(handle, nullptr, 0), 0);
  ASSERT_EQ(mount().Close(handle), 0);
  EXPECT_EQ(ReadLocal(dir_ / "s"), data);
}

TEST_F(OpenFiles, SparsePunchesARealHoleKeepingTheSize) {
  const std::string data(1 << 20, 'd');
  mount().PutFile("s", data);
  uint64_t handle = 0;
  ASSERT_EQ(mount().Open("s", ZYKFS_OPEN_READ_WRITE, &handle), 0);
  // The second range runs "to the end": its huge end is clipped to the file.
  const uint64_t ranges[4] = {65536, 131072, 983040, UINT64_MAX};
  ASSERT_EQ(mount().Sparse(handle, ranges, 4), 0);
  ASSERT_EQ(mount().Close(handle), 0);

  std::string expected = data;
  std::fill(expected.begin() + 65536, expected.begin() + 131072, '\0');
  std::fill(expected.begin() + 983040, expected.end(), '\0');
  EXPECT_EQ(ReadLocal(dir_ / "s"), expected);
  int fd = ::open((dir_ / "s").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::lseek(fd, 0, SEEK_HOLE), 65536);
  EXPECT_EQ(::lseek(fd, 65536, SEEK_DATA), 131072);
  ::close(fd);
}

TEST_F(OpenFiles, TwoOpensGiveTwoHandles) {
  WriteLocal(dir_ / "f", "x");
  uint64_t first = 0, second = 0;
  ASSERT_EQ(mount().Open("f", ZYKFS_OPEN_READ, &first), 0);
  ASSERT_EQ(mount().Open("f", ZYKFS_OPEN_READ, &second), 0);
  EXPECT_NE(first, second);
  EXPECT_EQ(mount().Close(first), 0);
  EXPECT_EQ(mount().Close(first), ZYKFS_E_INVALID_HANDLE);
  EXPECT_EQ(mount().Close(second), 0);
}

TEST_F(OpenFiles, CloseKindsMustMatch) {
  WriteLocal(dir_ / "f", "x");
  uint64_t file = 0, listing = 0;
  ASSERT_EQ(mount().Open("f", ZYKFS_OPEN_READ, &file), 0);
  ASSERT_EQ(mount().OpenDir(".", &listing), 0);
  EXPECT_EQ(mount().Close(listing), ZYKFS_E_INVALID_USAGE);
  EXPECT_EQ(mount().CloseDir(file), ZYKFS_E_INVALID_USAGE);
  // Both stay usable.
  char byte = 0;
  uint64_t done = 0;
  EXPECT_EQ(mount().Read(file, &byte, 1, 0, &done), 0);
  EXPECT_EQ(mount().CloseDir(listing), 0);
  EXPECT_EQ(mount().Close(file), 0);
}

TEST_F(OpenFiles, CloseOfABusyHandleIsRefusedAndTheHandleStaysUsable) {
  WriteLocal(dir_ / "f", "abcdef");
  const uint32_t flags = ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_NO_LOCK;
  uint64_t holder = 0, handle = 0;
  ASSERT_EQ(mount().Open("f", flags, &holder), 0);
  ASSERT_EQ(mount().Open("f", flags, &handle), 0);
  ASSERT_EQ(mount().Lock(holder, ZYKFS_LOCK_EXCLUSIVE), 0);
  // A lock request waiting behind the holder keeps `handle` busy.
  Completion& waiting = mount().NewCompletion();
  mount().Ops().lock(mount().Handle(), handle, ZYKFS_LOCK_EXCLUSIVE, &Completion::Callback, &waiting);
  EXPECT_EQ(mount().Close(handle), ZYKFS_E_BUSY);
  ASSERT_EQ(mount().Lock(holder, ZYKFS_LOCK_NONE), 0);
  EXPECT_EQ(waiting.Wait(), 0);
  // Still open and usable; once its callbacks have arrived the close goes through.
  char buffer[8];
  uint64_t done = 0;
  EXPECT_EQ(mount().Read(handle, buffer, sizeof(buffer), 0, &done), 0);
  EXPECT_EQ(std::string(buffer, done), "abcdef");
  EXPECT_EQ(mount().Lock(handle, ZYKFS_LOCK_NONE), 0);
  EXPECT_EQ(mount().Close(handle), 0);
  EXPECT_EQ(mount().Close(holder), 0);
}

// Regression: the request's reference to its object used to outlive the
// callback, so a close issued as soon as the callback arrived could be refused.
TEST_F(OpenFiles, CloseRightAfterTheLastCallbackSucceeds) {
  for (int round = 0; round < 200; ++round) {
    uint64_t handle = 0;
    ASSERT_EQ(mount().Open("f", ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE, &handle), 0);
    uint64_t done = 0;
    ASSERT_EQ(mount().Write(handle, "x", 1, 0, &done), 0);
    ASSERT_EQ(mount().Close(handle), 0) << "round " << round;
  }
}

TEST_F(OpenFiles, RequestsOnDifferentHandlesRunInParallel) {
  WriteLocal(dir_ / "shared", "s");
  WriteLocal(dir_ / "other", "other");
  uint64_t first = 0, second = 0, other = 0;
  const uint32_t flags = ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_NO_LOCK;
  ASSERT_EQ(mount().Open("shared", flags, &first), 0);
  ASSERT_EQ(mount().Open("shared", flags, &second), 0);
  ASSERT_EQ(mount().Open("other", ZYKFS_OPEN_READ, &other), 0);
  ASSERT_EQ(mount().Lock(first, ZYKFS_LOCK_EXCLUSIVE), 0);

  // The second handle waits for the lock, occupying its queue and a worker...
  Completion& waiting = mount().NewCompletion();
  mount().Ops().lock(mount().Handle(), second, ZYKFS_LOCK_EXCLUSIVE, &Completion::Callback, &waiting);
  // ...while other handles go on.
  char buffer[8];
  uint64_t done = 0;
  EXPECT_EQ(mount().Read(other, buffer, sizeof(buffer), 0, &done), 0);
  EXPECT_EQ(done, 5u);
  EXPECT_EQ(mount().Read(first, buffer, sizeof(buffer), 0, &done), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(waiting.Done());
  uint64_t swapped_with = 0;
  ASSERT_EQ(mount().Open("third", ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE, &swapped_with), 0);
  EXPECT_EQ(mount().Swap(second, swapped_with), ZYKFS_E_BUSY);
  EXPECT_EQ(mount().Close(second), ZYKFS_E_BUSY);

  ASSERT_EQ(mount().Lock(first, ZYKFS_LOCK_NONE), 0);
  EXPECT_EQ(waiting.Wait(), 0);
  EXPECT_EQ(mount().Lock(second, ZYKFS_LOCK_NONE), 0);
  for (uint64_t handle : {first, second, other, swapped_with}) EXPECT_EQ(mount().Close(handle), 0);
}

// Parses one ReadDir batch into names and types; returns whether the end record came.
bool ParseBatch(const std::vector<unsigned char>& buffer, uint64_t filled, std::vector<std::string>& names,
                std::vector<uint8_t>& types, uint64_t& last_record_end) {
  uint64_t at = 0;
  last_record_end = 0;
  while (at < filled) {
    uint16_t length = 0;
    std::memcpy(&length, buffer.data() + at + 8, 2);
    if (length == 0) {
      EXPECT_EQ(at + 10, filled) << "the end record closes the batch";
      return true;
    }
    const char* name = reinterpret_cast<const char*>(buffer.data() + at + 11);
    EXPECT_EQ(name[length - 1], '\0');
    names.emplace_back(name, length - 1);
    types.push_back(buffer[at + 10]);
    at += 11 + length;
    last_record_end = at;
  }
  EXPECT_EQ(at, filled);
  return false;
}

TEST_F(OpenFiles, ReadDirBatchesEveryEntryOnceThenEnds) {
  const size_t kEntries = 5000;
  const std::string padding(180, 'n');
  std::set<std::string> expected;
  ASSERT_EQ(::mkdir((dir_ / "big").c_str(), 0755), 0);
  for (size_t i = 0; i < kEntries; ++i) {
    std::string name = std::to_string(i) + "-" + padding;
    int fd = ::open((dir_ / "big/" + name).c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
    expected.insert(name);
  }
  uint64_t handle = 0;
  ASSERT_EQ(mount().OpenDir("big", &handle), 0);

  std::vector<unsigned char> buffer(ZYKFS_READDIR_MIN_BUFFER);
  zykfs_readdir_status_t small{buffer.data(), ZYKFS_READDIR_MIN_BUFFER - 1};
  EXPECT_EQ(mount().ReadDir(handle, &small), ZYKFS_E_BUFFER_TOO_SMALL);

  std::vector<std::string> names;
  std::vector<uint8_t> types;
  bool ended = false;
  int batches = 0;
  while (!ended && batches < 1000) {
    zykfs_readdir_status_t status{buffer.data(), buffer.size()};
    ASSERT_EQ(mount().ReadDir(handle, &status), 0);
    ++batches;
    uint64_t last_end = 0;
    size_t before = names.size();
    ended = ParseBatch(buffer, status.size, names, types, last_end);
    if (!ended) {
      // A batch stops only when the next record would not fit.
      EXPECT_GT(status.size + 11 + padding.size() + 6, buffer.size()) << "batch " << batches;
      EXPECT_GT(names.size(), before);
    }
  }
  EXPECT_GT(batches, 10);
  EXPECT_EQ(names.size(), kEntries);
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), expected);
  for (uint8_t type : types) EXPECT_EQ(type, ZYKFS_DT_FILE);

  zykfs_readdir_status_t after{buffer.data(), buffer.size()};
  EXPECT_EQ(mount().ReadDir(handle, &after), ZYKFS_E_END_OF_DIR);
  EXPECT_EQ(mount().CloseDir(handle), 0);
}

TEST_F(OpenFiles, ReadDirReportsEntryTypes) {
  ASSERT_EQ(::mkdir((dir_ / "sub").c_str(), 0755), 0);
  WriteLocal(dir_ / "file", "x");
  ASSERT_EQ(::symlink("file", (dir_ / "link").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0644), 0);
  uint64_t handle = 0;
  ASSERT_EQ(mount().OpenDir("", &handle), 0);
  std::vector<unsigned char> buffer(ZYKFS_READDIR_MIN_BUFFER);
  zykfs_readdir_status_t status{buffer.data(), buffer.size()};
  ASSERT_EQ(mount().ReadDir(handle, &status), 0);
  std::vector<std::string> names;
  std::vector<uint8_t> types;
  uint64_t last_end = 0;
  EXPECT_TRUE(ParseBatch(buffer, status.size, names, types, last_end));
  std::map<std::string, uint8_t> seen;
  for (size_t i = 0; i < names.size(); ++i) seen[names[i]] = types[i];
  EXPECT_EQ(seen, (std::map<std::string, uint8_t>{{"sub", 2}, {"file", 1}, {"link", 0}, {"fifo", 0}}));
  EXPECT_EQ(mount().CloseDir(handle), 0);
}

TEST_F(OpenFiles, SecondReadDirWhileOneIsPendingIsRefused) {
  ASSERT_EQ(::mkdir((dir_ / "big").c_str(), 0755), 0);
  for (int i = 0; i < 2000; ++i) {
    int fd = ::open((dir_ / "big/" + std::to_string(i) + std::string(100, 'p')).c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
  }
  uint64_t handle = 0;
  ASSERT_EQ(mount().OpenDir("big", &handle), 0);
  std::vector<unsigned char> first_buffer(ZYKFS_READDIR_MIN_BUFFER), second_buffer(ZYKFS_READDIR_MIN_BUFFER);
  zykfs_readdir_status_t first{first_buffer.data(), first_buffer.size()};
  zykfs_readdir_status_t second{second_buffer.data(), second_buffer.size()};
  HeldCallback held;
  mount().Ops().readdir(mount().Handle(), handle, &first, &HeldCallback::Callback, &held);
  // The queue holds the first request until its work is done; pushing right
  // behind it finds the queue full.
  EXPECT_EQ(mount().ReadDir(handle, &second), ZYKFS_E_QUEUE_FULL);
  held.entered.get_future().wait();
  held.release.set_value();
  EXPECT_EQ(held.done.Wait(), 0);
  // Once the first has finished, a new one is accepted.
  zykfs_readdir_status_t third{second_buffer.data(), second_buffer.size()};
  EXPECT_EQ(mount().ReadDir(handle, &third), 0);
  EXPECT_EQ(mount().CloseDir(handle), 0);
}

TEST_F(OpenFiles, SwapRules) {
  WriteLocal(dir_ / "a", "A");
  ASSERT_EQ(::mkdir((dir_ / "d").c_str(), 0755), 0);
  uint64_t a1 = 0, a2 = 0, listing = 0;
  ASSERT_EQ(mount().Open("a", ZYKFS_OPEN_READ | ZYKFS_OPEN_NO_LOCK, &a1), 0);
  ASSERT_EQ(mount().Open("a", ZYKFS_OPEN_READ | ZYKFS_OPEN_NO_LOCK, &a2), 0);
  ASSERT_EQ(mount().OpenDir("d", &listing), 0);
  EXPECT_EQ(mount().Swap(a1, a1), ZYKFS_E_INVALID_USAGE);
  EXPECT_EQ(mount().Swap(a1, a2), ZYKFS_E_INVALID_USAGE);  // same path
  EXPECT_EQ(mount().Swap(a1, listing), ZYKFS_E_INVALID_USAGE);
  EXPECT_EQ(mount().Swap(listing, a1), ZYKFS_E_INVALID_USAGE);
  EXPECT_EQ(mount().Swap(a1, 12345), ZYKFS_E_INVALID_HANDLE);
  EXPECT_EQ(mount().Swap(12345, a1), ZYKFS_E_INVALID_HANDLE);
  EXPECT_EQ(ReadLocal(dir_ / "a"), "A");
  EXPECT_EQ(mount().Close(a1), 0);
  EXPECT_EQ(mount().Close(a2), 0);
  EXPECT_EQ(mount().CloseDir(listing), 0);
}

TEST_F(OpenFiles, SwapExchangesContentsAndHandlesFollowTheirFiles) {
  uint64_t a = 0, b = 0;
  ASSERT_EQ(mount().Open("a", ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE, &a), 0);
  ASSERT_EQ(mount().Open("b", ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE, &b), 0);
  uint64_t done = 0;
  ASSERT_EQ(mount().Write(a, "first file", 10, 0, &done), 0);
  ASSERT_EQ(mount().Write(b, "second", 6, 0, &done), 0);
  ASSERT_EQ(mount().Swap(a, b), 0);

  EXPECT_EQ(ReadLocal(dir_ / "a"), "second");
  EXPECT_EQ(ReadLocal(dir_ / "b"), "first file");
  char buffer[32];
  ASSERT_EQ(mount().Read(a, buffer, sizeof(buffer), 0, &done), 0);
  EXPECT_EQ(std::string(buffer, done), "first file");
  ASSERT_EQ(mount().Read(b, buffer, sizeof(buffer), 0, &done), 0);
  EXPECT_EQ(std::string(buffer, done), "second");

  // Each handle now stats the entry under the other name.
  struct stat local_b;
  ASSERT_EQ(::stat((dir_ / "b").c_str(), &local_b), 0);
  zykfs_stat_t stat{};
  ASSERT_EQ(mount().Fstat(a, &stat), 0);
  EXPECT_EQ(stat.inode, local_b.st_ino);
  EXPECT_EQ(stat.size, 10u);
  // No temporary name is left behind.
  size_t entries = 0;
  for (auto& entry : std::filesystem::directory_iterator(dir_.path())) (void)entry, ++entries;
  EXPECT_EQ(entries, 2u);
  EXPECT_EQ(mount().Close(a), 0);
  EXPECT_EQ(mount().Close(b), 0);
}

TEST_F(OpenFiles, FstatOfADirectoryHandle) {
  ASSERT_EQ(::mkdir((dir_ / "d").c_str(), 0755), 0);
  uint64_t listing = 0;
  ASSERT_EQ(mount().OpenDir("d", &listing), 0);
  struct stat local;
  ASSERT_EQ(::stat((dir_ / "d").c_str(), &local), 0);
  zykfs_stat_t stat{};
  ASSERT_EQ(mount().Fstat(listing, &stat), 0);
  EXPECT_EQ(stat.inode, local.st_ino);
  EXPECT_EQ(mount().CloseDir(listing), 0);
}

TEST_F(OpenFiles, UnknownHandleIsReportedOnceByEveryEntry) {
  const uint64_t bogus = 0xDEADBEEF;
  char buffer[16];
  uint64_t value = 0;
  zykfs_append_status_t append{};
  zykfs_stat_t stat{};
  zykfs_readdir_status_t listing{buffer, sizeof(buffer)};
  zykfs_alloc_status_t alloc{};
  const uint64_t range[2] = {0, 1};
  void* m = mount().Handle();
  const zykfs_ops_t& ops = mount().Ops();
  using Issue = std::function<void(zykfs_callback_t, void*)>;
  const std::pair<const char*, Issue> entries[] = {
      {"close", [&](zykfs_callback_t cb, void* cx) { ops.close(m, bogus, cb, cx); }},
      {"read", [&](zykfs_callback_t cb, void* cx) { ops.read(m, bogus, buffer, 1, 0, &value, cb, cx); }},
      {"append", [&](zykfs_callback_t cb, void* cx) { ops.append(m, bogus, buffer, 1, 0, &append, cb, cx); }},
      {"pad", [&](zykfs_callback_t cb, void* cx) { ops.pad(m, bogus, &value, cb, cx); }},
      {"sync", [&](zykfs_callback_t cb, void* cx) { ops.sync(m, bogus, cb, cx); }},
      {"fstat", [&](zykfs_callback_t cb, void* cx) { ops.fstat(m, bogus, &stat, cb, cx); }},
      {"write", [&](zykfs_callback_t cb, void* cx) { ops.write(m, bogus, buffer, 1, 0, &value, cb, cx); }},
      {"truncate", [&](zykfs_callback_t cb, void* cx) { ops.truncate(m, bogus, 0, cb, cx); }},
      {"lock", [&](zykfs_callback_t cb, void* cx) { ops.lock(m, bogus, 0, cb, cx); }},
      {"sparse", [&](zykfs_callback_t cb, void* cx) { ops.sparse(m, bogus, range, 2, cb, cx); }},
      {"readdir", [&](zykfs_callback_t cb, void* cx) { ops.readdir(m, bogus, &listing, cb, cx); }},
      {"closedir", [&](zykfs_callback_t cb, void* cx) { ops.closedir(m, bogus, cb, cx); }},
      {"allocinfo", [&](zykfs_callback_t cb, void* cx) { ops.allocinfo(m, bogus, &alloc, cb, cx); }},
      {"swap", [&](zykfs_callback_t cb, void* cx) { ops.swap(m, bogus, bogus + 1, cb, cx); }},
  };
  for (const auto& [name, issue] : entries) {
    Completion& done = mount().NewCompletion();
    issue(&Completion::Callback, &done);
    EXPECT_EQ(done.Wait(), ZYKFS_E_INVALID_HANDLE) << name;
  }
  // The mount checks at teardown that each was answered exactly once.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

}  // namespace
