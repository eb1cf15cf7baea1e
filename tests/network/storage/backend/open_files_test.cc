// Open files and directories through the loaded library: open flags, close,
// access rules, the file requests, listing and swapping.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "network/storage/backend/test_host.h"

namespace {

using namespace zyk_test;

class OpenFiles : public MountedDir {};

constexpr uint32_t kCreate = ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE;
constexpr uint32_t kShared = ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_NO_LOCK;

TEST_F(OpenFiles, FlagRulesAndCodes) {
  WriteFile(dir_ / "existing", "0123456789");
  WriteFile(dir_ / "log", "abc");
  const struct {
    const char* path;
    uint32_t flags;
    int32_t code;
  } cases[] = {
      {"existing", 0, ZYKFS_E_INVALID_USAGE},                      // no access value
      {"existing", ZYKFS_OPEN_READ | 0x4, ZYKFS_E_INVALID_USAGE},  // a bit without a meaning
      {"existing", ZYKFS_OPEN_READ | 0x80000000, ZYKFS_E_INVALID_USAGE},
      {"no/dir/x", ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_EXCLUSIVE, ZYKFS_E_INVALID_USAGE},
      {"missing", ZYKFS_OPEN_READ, ZYKFS_E_NOT_FOUND},
      {"missing", ZYKFS_OPEN_READ_WRITE, ZYKFS_E_NOT_FOUND},
      {"missing.QMV", ZYKFS_OPEN_READ, ZYKFS_E_NOT_FOUND},
      {"no/dir/x", ZYKFS_OPEN_WRITE, ZYKFS_E_NOT_FOUND},
      {"existing/x", ZYKFS_OPEN_READ, ZYKFS_E_NOT_FOUND},
      {"existing", kCreate | ZYKFS_OPEN_EXCLUSIVE, ZYKFS_E_EXISTS},
      {"existing", ZYKFS_OPEN_READ | ZYKFS_OPEN_TRUNCATE, ZYKFS_E_READ_ONLY},
      {"no/dir/x", kCreate, ZYKFS_E_NOT_FOUND},
  };
  uint64_t handle = 0, done = 0;
  for (const auto& c : cases) EXPECT_EQ(mount_.Open(c.path, c.flags, &handle), c.code) << c.path << " " << c.flags;
  EXPECT_FALSE(LocalExists(dir_ / "missing"));
  EXPECT_EQ(ReadFile(dir_ / "existing"), "0123456789");

  ASSERT_EQ(mount_.Open("existing", ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_TRUNCATE, &handle), 0);
  ASSERT_EQ(mount_.Close(handle), 0);
  EXPECT_EQ(ReadFile(dir_ / "existing"), "");
  ASSERT_EQ(mount_.Open("new", ZYKFS_OPEN_READ | ZYKFS_OPEN_CREATE, &handle), 0);
  ASSERT_EQ(mount_.Close(handle), 0);
  EXPECT_TRUE(LocalExists(dir_ / "new"));
  // Append mode: every write lands at the end, whatever its offset.
  ASSERT_EQ(mount_.Open("log", ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_APPEND, &handle), 0);
  ASSERT_EQ(mount_.Write(handle, "XY", 2, 0, &done), 0);
  ASSERT_EQ(mount_.Close(handle), 0);
  EXPECT_EQ(ReadFile(dir_ / "log"), "abcXY");
}

// Reads, writes, truncates and stat of open files run in the model test of
// archive_through_mount_test.cc and the concurrency test.
TEST_F(OpenFiles, PadAndAllocInfoAreUnsupported) {
  uint64_t handle = 0, value = 77;
  ASSERT_EQ(mount_.Open("f", kCreate, &handle), 0);
  EXPECT_EQ(mount_.Pad(handle, &value), ZYKFS_E_NOT_SUPPORTED);
  EXPECT_EQ(value, 0u);
  uint64_t entries[4] = {};
  zykfs_alloc_status_t alloc{0, entries, 4, 0, 0};
  EXPECT_EQ(mount_.AllocInfo(handle, &alloc), ZYKFS_E_NOT_SUPPORTED);
  alloc.entries = nullptr;  // the request reaches the file before the array is needed
  EXPECT_EQ(mount_.AllocInfo(handle, &alloc), ZYKFS_E_NOT_SUPPORTED);
  ASSERT_EQ(mount_.Close(handle), 0);
}

TEST_F(OpenFiles, AccessViewsAndLockModes) {
  WriteFile(dir_ / "f", "data");
  uint64_t reader = 0, writer = 0, locked = 0, done = 0;
  ASSERT_EQ(mount_.Open("f", ZYKFS_OPEN_READ | ZYKFS_OPEN_NO_LOCK, &reader), 0);
  ASSERT_EQ(mount_.Open("f", ZYKFS_OPEN_WRITE | ZYKFS_OPEN_NO_LOCK, &writer), 0);
  char buffer[8];
  zykfs_append_status_t status{};
  const uint64_t range[2] = {0, 4096};
  // The access check comes before anything else, whatever the other arguments.
  EXPECT_EQ(mount_.Read(writer, buffer, sizeof(buffer), 0, &done), ZYKFS_E_NOT_READABLE);
  EXPECT_EQ(mount_.Read(writer, nullptr, sizeof(buffer), 0, nullptr), ZYKFS_E_NOT_READABLE);
  EXPECT_EQ(mount_.Write(reader, "x", 1, 0, &done), ZYKFS_E_READ_ONLY);
  EXPECT_EQ(mount_.Write(reader, nullptr, 1, 0, nullptr), ZYKFS_E_READ_ONLY);
  EXPECT_EQ(mount_.Truncate(reader, 0), ZYKFS_E_READ_ONLY);
  EXPECT_EQ(mount_.Append(reader, "x", 1, &status), ZYKFS_E_READ_ONLY);
  EXPECT_EQ(mount_.Append(reader, "x", 1, nullptr), ZYKFS_E_READ_ONLY);
  EXPECT_EQ(mount_.Sparse(reader, range, 2), ZYKFS_E_READ_ONLY);
  EXPECT_EQ(mount_.Sync(reader), 0);
  EXPECT_EQ(mount_.Lock(reader, ZYKFS_LOCK_EXCLUSIVE), ZYKFS_E_READ_ONLY);
  EXPECT_EQ(mount_.Lock(writer, ZYKFS_LOCK_SHARED), ZYKFS_E_NOT_READABLE);
  EXPECT_EQ(mount_.Lock(reader, 3), ZYKFS_E_INVALID_USAGE);
  for (uint32_t mode : {ZYKFS_LOCK_SHARED, ZYKFS_LOCK_NONE}) EXPECT_EQ(mount_.Lock(reader, mode), 0);
  for (uint32_t mode : {ZYKFS_LOCK_EXCLUSIVE, ZYKFS_LOCK_NONE}) EXPECT_EQ(mount_.Lock(writer, mode), 0);
  EXPECT_EQ(mount_.Close(reader), 0);
  EXPECT_EQ(mount_.Close(writer), 0);
  EXPECT_EQ(ReadFile(dir_ / "f"), "data");
  // A handle that holds the whole-file lock from its open accepts every mode.
  ASSERT_EQ(mount_.Open("f", ZYKFS_OPEN_READ_WRITE, &locked), 0);
  for (uint32_t mode : {ZYKFS_LOCK_SHARED, ZYKFS_LOCK_EXCLUSIVE, ZYKFS_LOCK_NONE}) {
    EXPECT_EQ(mount_.Lock(locked, mode), 0) << mode;
  }
  EXPECT_EQ(mount_.Close(locked), 0);
}

TEST_F(OpenFiles, AppendReportsCountAndFlushedSize) {
  uint64_t handle = 0;
  ASSERT_EQ(mount_.Open("a", kCreate, &handle), 0);
  zykfs_append_status_t status{};
  ASSERT_EQ(mount_.Append(handle, "abc", 3, &status), 0);
  EXPECT_EQ(status.appended, 3u);
  EXPECT_EQ(status.flushed_size, 0u);
  ASSERT_EQ(mount_.Append(handle, nullptr, 4093, &status), 0);  // no buffer: zeros
  EXPECT_EQ(status.appended, 4093u);
  // The flushed size jumps once more than 8 MiB is unflushed.
  const std::string mib(1 << 20, 'm');
  std::vector<uint64_t> flushed;
  for (int i = 0; i < 9; ++i) {
    ASSERT_EQ(mount_.Append(handle, mib.data(), mib.size(), &status), 0);
    EXPECT_EQ(status.appended, mib.size());
    flushed.push_back(status.flushed_size);
  }
  const uint64_t k8MiB = (8u << 20) + 4096;
  EXPECT_EQ(flushed, (std::vector<uint64_t>{0, 0, 0, 0, 0, 0, 0, k8MiB, k8MiB}));
  ASSERT_EQ(mount_.Close(handle), 0);
  const std::string local = ReadFile(dir_ / "a").substr(0, 8192);
  EXPECT_EQ(local, "abc" + std::string(4093, '\0') + std::string(4096, 'm'));
}

// A write that no longer fits reports the disk full, with the count written,
// instead of success; an archive that cannot flush keeps its last commit.
TEST_F(OpenFiles, WritesThatNoLongerFitReportDiskFull) {
  uint64_t plain = 0, archive = 0, done = 0;
  ASSERT_EQ(mount_.Open("limit.bin", kCreate, &plain), 0);
  ASSERT_EQ(mount_.Open("limit.QMV", kCreate, &archive), 0);
  const std::string data(2 << 20, 'd');
  {
    FileSizeLimit limit(1 << 20);
    ASSERT_TRUE(limit.Set());
    EXPECT_EQ(mount_.Write(plain, data.data(), data.size(), 0, &done), ZYKFS_E_DISK_FULL);
    EXPECT_EQ(done, 1u << 20);
    ASSERT_EQ(mount_.Write(archive, data.data(), data.size(), 0, &done), 0);  // still in the write cache
    EXPECT_EQ(mount_.Sync(archive), ZYKFS_E_DISK_FULL);
  }
  EXPECT_EQ(mount_.Sync(archive), ZYKFS_E_DISK_FULL) << "a failed archive stays failed";
  EXPECT_EQ(mount_.Close(plain), 0);
  EXPECT_EQ(mount_.Close(archive), ZYKFS_E_DISK_FULL);
  EXPECT_EQ(mount_.GetFile("limit.bin"), data.substr(0, 1 << 20));
  EXPECT_EQ(mount_.GetFile("limit.QMV"), "");
}

TEST_F(OpenFiles, SparseChecksItsArgumentsThenPunchesARealHole) {
  const std::string data(1 << 20, 'd');
  mount_.PutFile("s", data);
  uint64_t handle = 0;
  ASSERT_EQ(mount_.Open("s", ZYKFS_OPEN_READ_WRITE, &handle), 0);
  const uint64_t odd[3] = {0, 4096, 8192};
  EXPECT_EQ(mount_.Sparse(handle, odd, 3), ZYKFS_E_INVALID_USAGE);
  // The second pair is empty: the first must not be deallocated either.
  const uint64_t empty_pair[4] = {0, 65536, 8192, 8192};
  EXPECT_EQ(mount_.Sparse(handle, empty_pair, 4), ZYKFS_E_INVALID_USAGE);
  const uint64_t backwards[2] = {8192, 4096};
  EXPECT_EQ(mount_.Sparse(handle, backwards, 2), ZYKFS_E_INVALID_USAGE);
  EXPECT_EQ(mount_.Sparse(handle, nullptr, 0), 0);
  EXPECT_EQ(ReadFile(dir_ / "s"), data);
  // The second range runs "to the end": its huge end is clipped to the file.
  const uint64_t ranges[4] = {65536, 131072, 983040, UINT64_MAX};
  ASSERT_EQ(mount_.Sparse(handle, ranges, 4), 0);
  ASSERT_EQ(mount_.Close(handle), 0);
  std::string expected = data;
  std::fill(expected.begin() + 65536, expected.begin() + 131072, '\0');
  std::fill(expected.begin() + 983040, expected.end(), '\0');
  EXPECT_EQ(ReadFile(dir_ / "s"), expected);
  int fd = ::open((dir_ / "s").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::lseek(fd, 0, SEEK_HOLE), 65536);
  EXPECT_EQ(::lseek(fd, 65536, SEEK_DATA), 131072);
  ::close(fd);
}

TEST_F(OpenFiles, CloseKindsMustMatchAndFstatServesDirectories) {
  WriteFile(dir_ / "f", "x");
  uint64_t file = 0, listing = 0, done = 0;
  ASSERT_EQ(mount_.Open("f", ZYKFS_OPEN_READ, &file), 0);
  ASSERT_EQ(mount_.OpenDir(".", &listing), 0);
  EXPECT_EQ(mount_.Close(listing), ZYKFS_E_INVALID_USAGE);
  EXPECT_EQ(mount_.CloseDir(file), ZYKFS_E_INVALID_USAGE);
  // Both stay usable.
  char byte = 0;
  EXPECT_EQ(mount_.Read(file, &byte, 1, 0, &done), 0);
  struct stat local;
  ASSERT_EQ(::stat(dir_.path().c_str(), &local), 0);
  zykfs_stat_t stat{};
  ASSERT_EQ(mount_.Fstat(listing, &stat), 0);
  EXPECT_EQ(stat.inode, local.st_ino);
  EXPECT_EQ(mount_.CloseDir(listing), 0);
  EXPECT_EQ(mount_.Close(file), 0);
}

// A lock request waiting behind another handle's lock occupies its handle's
// queue: that handle refuses swap, while other handles go on.
TEST_F(OpenFiles, BusyHandleRefusesCloseWhileOtherHandlesProceed) {
  WriteFile(dir_ / "shared", "abcdef");
  WriteFile(dir_ / "other", "other");
  uint64_t holder = 0, waiter = 0, other = 0, third = 0, done = 0;
  ASSERT_EQ(mount_.Open("shared", kShared, &holder), 0);
  ASSERT_EQ(mount_.Open("shared", kShared, &waiter), 0);
  ASSERT_EQ(mount_.Open("other", ZYKFS_OPEN_READ, &other), 0);
  ASSERT_EQ(mount_.Open("third", kCreate, &third), 0);
  ASSERT_EQ(mount_.Lock(holder, ZYKFS_LOCK_EXCLUSIVE), 0);
  Completion& waiting = mount_.NewCompletion();
  mount_.Ops().lock(mount_.Handle(), waiter, ZYKFS_LOCK_EXCLUSIVE, &Completion::Callback, &waiting);

  char buffer[8];
  EXPECT_EQ(mount_.Read(other, buffer, sizeof(buffer), 0, &done), 0);
  EXPECT_EQ(done, 5u);
  EXPECT_EQ(mount_.Read(holder, buffer, sizeof(buffer), 0, &done), 0);
  EXPECT_FALSE(waiting.Done());
  EXPECT_EQ(mount_.Swap(waiter, third), ZYKFS_E_BUSY);

  ASSERT_EQ(mount_.Lock(holder, ZYKFS_LOCK_NONE), 0);
  EXPECT_EQ(waiting.Wait(), 0);
  // Still open and usable; once its callbacks have arrived the close goes through.
  EXPECT_EQ(mount_.Read(waiter, buffer, sizeof(buffer), 0, &done), 0);
  EXPECT_EQ(std::string(buffer, done), "abcdef");
  EXPECT_EQ(mount_.Lock(waiter, ZYKFS_LOCK_NONE), 0);
  for (uint64_t handle : {holder, waiter, other, third}) EXPECT_EQ(mount_.Close(handle), 0);
}

// Regression: the request's reference to its object used to outlive the
// callback, so a close issued as soon as the callback arrived could be refused.
TEST_F(OpenFiles, CloseRightAfterTheLastCallbackSucceeds) {
  for (int round = 0; round < 200; ++round) {
    uint64_t handle = 0, done = 0;
    ASSERT_EQ(mount_.Open("f", kCreate, &handle), 0);
    ASSERT_EQ(mount_.Write(handle, "x", 1, 0, &done), 0);
    ASSERT_EQ(mount_.Close(handle), 0) << "round " << round;
  }
}

// Parses one batch into `types` (name -> type) and `inodes` (name -> inode);
// returns whether the end record came.
bool ParseBatch(const unsigned char* buffer, uint64_t filled, std::vector<std::string>& names,
                std::map<std::string, uint8_t>& types, std::map<std::string, uint64_t>& inodes) {
  uint64_t at = 0;
  while (at < filled) {
    uint16_t length = 0;
    std::memcpy(&length, buffer + at + 8, 2);
    if (length == 0) {
      EXPECT_EQ(at + ZYKFS_READDIR_END_RECORD, filled) << "the end record closes the batch";
      return true;
    }
    const char* name = reinterpret_cast<const char*>(buffer + at + 11);
    EXPECT_EQ(name[length - 1], '\0');
    names.emplace_back(name, length - 1);
    types[names.back()] = buffer[at + 10];
    std::memcpy(&inodes[names.back()], buffer + at, 8);
    at += 11 + length;
  }
  EXPECT_EQ(at, filled);
  return false;
}

TEST_F(OpenFiles, ReadDirBatchesEveryEntryOnceThenEnds) {
  const size_t kFiles = 5000;
  const std::string padding(180, 'n');
  std::map<std::string, uint8_t> expected;
  ASSERT_EQ(::mkdir((dir_ / "big").c_str(), 0755), 0);
  for (size_t i = 0; i < kFiles; ++i) {
    std::string name = std::to_string(i) + "-" + padding;
    int fd = ::open((dir_ / "big/" + name).c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
    expected[name] = ZYKFS_DT_FILE;
  }
  ASSERT_EQ(::mkdir((dir_ / "big/sub").c_str(), 0755), 0);
  ASSERT_EQ(::symlink(("0-" + padding).c_str(), (dir_ / "big/link").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir_ / "big/fifo").c_str(), 0644), 0);
  uint64_t archive = 0;
  ASSERT_EQ(mount_.Open("big/arc.QMV", kCreate, &archive), 0);
  ASSERT_EQ(mount_.Close(archive), 0);
  expected.insert(
      {{"sub", ZYKFS_DT_DIR}, {"link", ZYKFS_DT_OTHER}, {"fifo", ZYKFS_DT_OTHER}, {"arc.QMV", ZYKFS_DT_FILE}});

  uint64_t handle = 0;
  ASSERT_EQ(mount_.OpenDir("big", &handle), 0);
  std::vector<unsigned char> buffer(ZYKFS_READDIR_MIN_BUFFER);
  zykfs_readdir_status_t status{buffer.data(), ZYKFS_READDIR_MIN_BUFFER - 1};
  EXPECT_EQ(mount_.ReadDir(handle, &status), ZYKFS_E_BUFFER_TOO_SMALL);

  status.size = buffer.size();
  ASSERT_EQ(mount_.ReadDir(handle, &status), 0);

  std::vector<std::string> names;
  std::map<std::string, uint8_t> types;
  std::map<std::string, uint64_t> inodes;
  int batches = 1;
  for (; !ParseBatch(buffer.data(), status.size, names, types, inodes) && batches < 1000; ++batches) {
    // A batch stops only when the next record would not fit.
    EXPECT_GT(status.size + 11 + padding.size() + 6, buffer.size()) << "batch " << batches;
    status = {buffer.data(), buffer.size()};
    ASSERT_EQ(mount_.ReadDir(handle, &status), 0);
  }
  EXPECT_GT(batches, 10);
  EXPECT_EQ(names.size(), expected.size()) << "every entry exactly once";
  EXPECT_EQ(types, expected);
  for (const auto& [name, inode] : inodes) {
    struct stat entry {};
    ASSERT_EQ(::lstat((dir_ / ("big/" + name)).c_str(), &entry), 0);
    EXPECT_EQ(inode, entry.st_ino) << name << ": the listing reports lstat's inode for every kind";
  }
  status = {buffer.data(), buffer.size()};
  EXPECT_EQ(mount_.ReadDir(handle, &status), ZYKFS_E_END_OF_DIR);
  EXPECT_EQ(mount_.CloseDir(handle), 0);
}

// A directory handle holds one request at a time: requests issued back to back
// find the first one still queued or running and are refused, each answered once.
TEST_F(OpenFiles, ReadDirWhileAnotherIsPendingIsRefused) {
  ASSERT_EQ(::mkdir((dir_ / "d").c_str(), 0755), 0);
  for (int i = 0; i < 300; ++i) WriteFile(dir_ / ("d/" + std::to_string(i) + std::string(200, 'x')), "");
  uint64_t handle = 0;
  ASSERT_EQ(mount_.OpenDir("d", &handle), 0);
  constexpr int kBurst = 32;
  std::vector<std::vector<unsigned char>> buffers(kBurst, std::vector<unsigned char>(ZYKFS_READDIR_MIN_BUFFER));
  std::vector<zykfs_readdir_status_t> statuses(kBurst);
  std::vector<zyk_test::Completion*> answers;
  for (int i = 0; i < kBurst; ++i) {
    statuses[i] = {buffers[i].data(), buffers[i].size()};
    answers.push_back(&mount_.NewCompletion());
    mount_.Ops().readdir(mount_.Handle(), handle, &statuses[i], &zyk_test::Completion::Callback, answers.back());
  }
  int refused = 0;
  for (zyk_test::Completion* answer : answers) {
    int32_t code = answer->Wait();
    EXPECT_TRUE(code == 0 || code == ZYKFS_E_QUEUE_FULL || code == ZYKFS_E_END_OF_DIR) << code;
    refused += code == ZYKFS_E_QUEUE_FULL;
  }
  EXPECT_GT(refused, 0);
  EXPECT_EQ(mount_.CloseDir(handle), 0);
}

// A batch holds every record that fits; the 10-byte end record follows in the
// same batch only when 10 bytes are left, else it makes up the next batch.
TEST_F(OpenFiles, ReadDirEndRecordComesWhereTenBytesAreLeft) {
  const uint64_t kLongRecords = 245 * (11 + 256);  // 245 names of 255 bytes
  for (size_t last_name : {115, 120, 125}) {       // 10, 5 and 0 bytes left over
    SCOPED_TRACE(last_name);
    const std::string sub = "d" + std::to_string(last_name);
    ASSERT_EQ(::mkdir((dir_ / sub).c_str(), 0755), 0);
    std::map<std::string, uint64_t> inodes;
    for (size_t i = 0; i <= 245; ++i) {
      std::string name = std::to_string(i) + "-";
      name.resize(i < 245 ? 255 : last_name, 'n');
      WriteFile(dir_ / sub + "/" + name, "");
      struct stat local;
      ASSERT_EQ(::lstat((dir_ / sub + "/" + name).c_str(), &local), 0);
      inodes[name] = local.st_ino;
    }
    const uint64_t records = kLongRecords + 12 + last_name;
    const bool end_fits = ZYKFS_READDIR_MIN_BUFFER - records >= ZYKFS_READDIR_END_RECORD;

    uint64_t handle = 0;
    ASSERT_EQ(mount_.OpenDir(sub.c_str(), &handle), 0);
    std::vector<unsigned char> buffer(ZYKFS_READDIR_MIN_BUFFER, 0xEE);
    zykfs_readdir_status_t status{nullptr, ZYKFS_READDIR_MIN_BUFFER - 1};
    EXPECT_EQ(mount_.ReadDir(handle, &status), ZYKFS_E_BUFFER_TOO_SMALL);
    status = {buffer.data(), buffer.size()};
    ASSERT_EQ(mount_.ReadDir(handle, &status), 0);
    EXPECT_EQ(status.size, records + (end_fits ? ZYKFS_READDIR_END_RECORD : 0));
    std::map<std::string, uint64_t> listed;
    for (uint64_t at = 0; at < records;) {
      uint64_t inode = 0;
      uint16_t length = 0;
      std::memcpy(&inode, &buffer[at], 8);
      std::memcpy(&length, &buffer[at + 8], 2);
      ASSERT_GT(length, 0u) << "at " << at;
      EXPECT_EQ(buffer[at + 10], ZYKFS_DT_FILE);
      listed[std::string(reinterpret_cast<const char*>(&buffer[at + 11]), length - 1)] = inode;
      EXPECT_EQ(buffer[at + 10 + length], '\0');
      at += 11 + length;
    }
    EXPECT_EQ(listed, inodes);
    if (!end_fits) {
      status = {buffer.data(), buffer.size()};
      ASSERT_EQ(mount_.ReadDir(handle, &status), 0);
      EXPECT_EQ(status.size, ZYKFS_READDIR_END_RECORD);
    }
    const uint64_t end_at = end_fits ? records : 0;
    EXPECT_EQ(buffer[end_at + 8] | buffer[end_at + 9], 0) << "end record length field";
    status = {buffer.data(), buffer.size()};
    EXPECT_EQ(mount_.ReadDir(handle, &status), ZYKFS_E_END_OF_DIR);
    EXPECT_EQ(mount_.CloseDir(handle), 0);
  }
}

TEST_F(OpenFiles, SwapRulesAndExchange) {
  ASSERT_EQ(::mkdir((dir_ / "d").c_str(), 0755), 0);
  uint64_t a = 0, a2 = 0, b = 0, listing = 0, done = 0;
  ASSERT_EQ(mount_.Open("a", kCreate | ZYKFS_OPEN_NO_LOCK, &a), 0);
  ASSERT_EQ(mount_.Open("a", ZYKFS_OPEN_READ | ZYKFS_OPEN_NO_LOCK, &a2), 0);
  ASSERT_EQ(mount_.Open("b", kCreate, &b), 0);
  ASSERT_EQ(mount_.OpenDir("d", &listing), 0);
  ASSERT_EQ(mount_.Write(a, "first file", 10, 0, &done), 0);
  ASSERT_EQ(mount_.Write(b, "second", 6, 0, &done), 0);
  const std::pair<uint64_t, uint64_t> invalid[] = {{a, a}, {a, a2}, {a, listing}, {listing, a}};
  for (auto [x, y] : invalid) EXPECT_EQ(mount_.Swap(x, y), ZYKFS_E_INVALID_USAGE) << x << " " << y;
  EXPECT_EQ(mount_.Swap(a, 12345), ZYKFS_E_INVALID_HANDLE);
  EXPECT_EQ(mount_.Swap(12345, a), ZYKFS_E_INVALID_HANDLE);
  EXPECT_EQ(ReadFile(dir_ / "a"), "first file");
  EXPECT_EQ(mount_.Close(a2), 0);
  EXPECT_EQ(mount_.CloseDir(listing), 0);

  ASSERT_EQ(mount_.Swap(a, b), 0);
  EXPECT_EQ(ReadFile(dir_ / "a"), "second");
  EXPECT_EQ(ReadFile(dir_ / "b"), "first file");
  // Each handle follows its file to the other name.
  char buffer[32];
  ASSERT_EQ(mount_.Read(a, buffer, sizeof(buffer), 0, &done), 0);
  EXPECT_EQ(std::string(buffer, done), "first file");
  ASSERT_EQ(mount_.Read(b, buffer, sizeof(buffer), 0, &done), 0);
  EXPECT_EQ(std::string(buffer, done), "second");
  struct stat local_b;
  ASSERT_EQ(::stat((dir_ / "b").c_str(), &local_b), 0);
  zykfs_stat_t stat{};
  ASSERT_EQ(mount_.Fstat(a, &stat), 0);
  EXPECT_EQ(stat.inode, local_b.st_ino);
  EXPECT_EQ(stat.size, 10u);
  // No temporary name is left behind.
  auto entries = std::distance(std::filesystem::directory_iterator(dir_.path()), {});
  EXPECT_EQ(entries, 3);
  EXPECT_EQ(mount_.Close(a), 0);
  EXPECT_EQ(mount_.Close(b), 0);
}

// Each answer is checked to come exactly once when the mount is torn down.
TEST_F(OpenFiles, UnknownHandleIsReportedByEveryEntry) {
  const uint64_t bad = 0xDEADBEEF;
  char buffer[16];
  uint64_t value = 0;
  zykfs_append_status_t append{};
  zykfs_stat_t stat{};
  zykfs_readdir_status_t listing{buffer, sizeof(buffer)};
  zykfs_alloc_status_t alloc{};
  const uint64_t range[2] = {0, 1};
  const std::pair<const char*, int32_t> answers[] = {
      {"close", mount_.Close(bad)},
      {"read", mount_.Read(bad, buffer, 1, 0, &value)},
      {"write", mount_.Write(bad, buffer, 1, 0, &value)},
      {"append", mount_.Append(bad, buffer, 1, &append)},
      {"pad", mount_.Pad(bad, &value)},
      {"sync", mount_.Sync(bad)},
      {"fstat", mount_.Fstat(bad, &stat)},
      {"truncate", mount_.Truncate(bad, 0)},
      {"lock", mount_.Lock(bad, 0)},
      {"sparse", mount_.Sparse(bad, range, 2)},
      {"readdir", mount_.ReadDir(bad, &listing)},
      {"closedir", mount_.CloseDir(bad)},
      {"allocinfo", mount_.AllocInfo(bad, &alloc)},
      {"swap", mount_.Swap(bad, bad + 1)},
  };
  for (const auto& [name, code] : answers) EXPECT_EQ(code, ZYKFS_E_INVALID_HANDLE) << name;
}

}  // namespace
