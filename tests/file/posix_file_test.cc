#include "core/file/unix/posix_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/file/unix/descriptor_table.h"
#include "support/test_support.h"

namespace {

std::unique_ptr<posix_file> OpenFile(const std::string& path, int flags = O_RDWR | O_CREAT, bool no_lock = true) {
  int fd = TrackedOpen(path.c_str(), flags, 0644);
  return fd < 0 ? nullptr : std::make_unique<posix_file>(fd, no_lock);
}

void WriteAll(posix_file& file, const std::string& bytes) {
  size_t done = 0;
  file.Write(bytes.data(), bytes.size(), done);
  ASSERT_EQ(done, bytes.size());
  ASSERT_FALSE(file.HasError());
}

std::string ReadAt(posix_file& file, uint64_t offset, size_t length) {
  std::string bytes(length, '\0');
  size_t done = 0;
  EXPECT_TRUE(file.Pread(bytes.data(), offset, length, done).Ok());
  bytes.resize(done);
  return bytes;
}

void Control(posix_file& file, uint64_t code, int64_t offset = 0, int64_t length = 0) {
  ControlRequest request{code, offset, length, nullptr};
  file.IOCTL(&request);
}

using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;

// "ALCM" over [offset, offset + length): the list's pairs of offset and length.
Ranges AllocationMap(posix_file& file, int64_t offset, int64_t length) {
  ControlRequest request{kControlAllocationMap, offset, length, nullptr};
  file.IOCTL(&request);
  Ranges ranges;
  EXPECT_FALSE(file.HasError()) << file.LastError().ToString();
  EXPECT_NE(request.result, nullptr) << "even an empty map is a list";
  if (request.result == nullptr) return ranges;
  auto* list = static_cast<uint64_t*>(request.result);
  for (uint64_t i = 0; i < list[0]; ++i) ranges.emplace_back(list[1 + 2 * i], list[2 + 2 * i]);
  std::free(list);
  return ranges;
}

TEST(PosixFile, ReadsStopShortAtEndOfFile) {
  zyk_test::TempDir dir;
  auto file = OpenFile(dir / "f");
  WriteAll(*file, "0123456789abcd");
  EXPECT_EQ(file->Seek(10), 10);
  char buffer[10] = {};
  size_t done = 99;
  file->Read(buffer, sizeof(buffer), done);
  EXPECT_EQ(std::string(buffer, done), "abcd");
  file->Read(buffer, sizeof(buffer), done);
  EXPECT_EQ(done, 0u);
  EXPECT_FALSE(file->HasError());
  EXPECT_EQ(ReadAt(*file, 12, 10), "cd");
  EXPECT_EQ(ReadAt(*file, 100, 10), "");
  EXPECT_EQ(file->SeekCurrent(0), 14) << "Pread leaves the position alone";
  size_t written = 0;
  EXPECT_TRUE(file->Pwrite("XY", 1, 2, written).Ok());
  EXPECT_EQ(written, 2u);
  EXPECT_EQ(ReadAt(*file, 0, 4), "0XY3");
  EXPECT_EQ(file->SeekCurrent(0), 14) << "Pwrite leaves the position alone";
  EXPECT_EQ(file->SeekEnd(-3), 11);
  EXPECT_EQ(file->GetSize(), 14u);
  EXPECT_EQ(file->SeekCurrent(0), 11) << "GetSize keeps the position";
  EXPECT_EQ(file->Seek(-1), 0);
  EXPECT_EQ(file->TakeError().Code(), Common::kErrSeekFailed);
}

// Writes past the file-size limit end short without an error (in a child, whose limit is its own).
TEST(PosixFile, WritesPastSizeLimitReturnShortCounts) {
  zyk_test::TempDir dir;
  const std::string answer = zyk_test::InChild([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit {
      4000, 4000
    };
    ::setrlimit(RLIMIT_FSIZE, &limit);
    auto file = OpenFile(dir / "f");
    std::string bytes(10000, 'x');
    size_t result[3] = {0, 1, 0};
    if (file) {
      file->Write(bytes.data(), bytes.size(), result[0]);
      result[1] = file->HasError();
      if (!file->Pwrite(bytes.data(), 3000, 2000, result[2]).Ok()) result[1] = 1;
    }
    return std::string(reinterpret_cast<const char*>(result), sizeof(result));
  });
  size_t result[3] = {0, 1, 0};
  ASSERT_EQ(answer.size(), sizeof(result));
  std::memcpy(result, answer.data(), sizeof(result));
  EXPECT_EQ(result[0], 4000u);
  EXPECT_EQ(result[1], 0u) << "the short write stored or returned an error";
  EXPECT_EQ(result[2], 1000u) << "the positional write ends short at the limit too";
}

TEST(PosixFile, AllocationMapReportsDataRangesAndKeepsThePosition) {
  zyk_test::TempDir dir;
  auto file = OpenFile(dir / "f");
  const uint64_t kChunk = 64 * 1024, kSecond = 1024 * 1024;
  WriteAll(*file, std::string(kChunk, 'a'));
  file->Seek(kSecond);
  WriteAll(*file, std::string(kChunk, 'b'));
  file->Flush();
  file->Seek(12345);
  struct Case {
    const char* what;
    int64_t offset, length;
    Ranges expected;
  } cases[] = {
      {"whole file", 0, 4 * kSecond, {{0, kChunk}, {kSecond, kChunk}}},
      {"window clips both ends", 100, kSecond, {{100, kChunk - 100}, {kSecond, 100}}},
      {"window inside the hole", kChunk + 10, 1000, {}},
      {"negative offset counts as 0", -50, 100, {{0, 100}}},
      {"empty window", 0, 0, {}},
      {"window past the end", 4 * kSecond, 100, {}},
  };
  for (const Case& c : cases) {
    Ranges ranges = AllocationMap(*file, c.offset, c.length);
    if (c.expected.size() == 2 && ranges.size() == 1) GTEST_SKIP() << "file system does not report holes";
    EXPECT_EQ(ranges, c.expected) << c.what;
    EXPECT_EQ(file->SeekCurrent(0), 12345) << c.what << ": position moved";
  }
}

TEST(PosixFile, DeallocatePunchesAHoleAndKeepsTheSize) {
  zyk_test::TempDir dir;
  auto file = OpenFile(dir / "f");
  const uint64_t kSize = 256 * 1024, kHole = 64 * 1024;
  WriteAll(*file, std::string(kSize, 'z'));
  Control(*file, kControlDeallocate, kHole, kHole);
  if (file->LastError().Code() == Common::kErrNotSupported) GTEST_SKIP() << "file system cannot punch holes";
  ASSERT_FALSE(file->HasError()) << file->LastError().ToString();
  EXPECT_EQ(file->GetSize(), kSize);
  EXPECT_EQ(ReadAt(*file, kHole - 1, 5), "z" + std::string(4, '\0'));
  EXPECT_EQ(AllocationMap(*file, 0, kSize), (Ranges{{0, kHole}, {2 * kHole, kSize - 2 * kHole}}));
}

TEST(PosixFile, AppendModeMakesWritesAppendForThisOpenOnly) {
  zyk_test::TempDir dir;
  const std::string path = dir / "f";
  auto holder = OpenFile(path);  // its range lock keeps the table entry, so the next descriptor is parked
  WriteAll(*holder, "0123456789");
  holder->LockShared(0, 1, false);
  ASSERT_FALSE(holder->HasError());
  {
    auto appender = OpenFile(path, O_RDWR);
    Control(*appender, kControlAppendMode);
    ASSERT_FALSE(appender->HasError());
    WriteAll(*appender, "ab");
    EXPECT_EQ(ReadAt(*appender, 0, 20), "0123456789ab");
    Control(*appender, kControlPad);
    EXPECT_EQ(appender->TakeError().Code(), Common::kErrNotSupported) << "unknown control code";
  }
  // The parked descriptor must not append for its next user.
  auto reused = OpenFile(path, O_RDWR);
  WriteAll(*reused, "xy");
  EXPECT_EQ(ReadAt(*reused, 0, 20), "xy23456789ab");
}

TEST(PosixFile, LastErrorIsSticky) {
  zyk_test::TempDir dir;
  const std::string path = dir / "f";
  WriteAll(*OpenFile(path), "0123456789");
  auto file = OpenFile(path, O_WRONLY);
  char buffer[4];
  size_t done = 9;
  file->Read(buffer, sizeof(buffer), done);  // write-only: fails
  EXPECT_EQ(file->LastError().Code(), Common::kErrReadFailed);
  // Stateful operations now do nothing, and the first failure is kept.
  file->Seek(0);
  file->Write("xy", 2, done);
  EXPECT_EQ(done, 0u);
  file->Truncate(1);
  Control(*file, kControlAppendMode);
  EXPECT_EQ(::fcntl(file->Descriptor(), F_GETFL) & O_APPEND, 0);
  EXPECT_EQ(file->LastError().Code(), Common::kErrReadFailed);
  EXPECT_EQ(file->SeekEnd(0), 10) << "seeks still work";
  EXPECT_EQ(ReadAt(*OpenFile(path, O_RDONLY), 0, 20), "0123456789") << "nothing was written or truncated";
  // Pread reports its own failure and leaves the last error alone.
  file->ClearError();
  EXPECT_EQ(file->Pread(buffer, 0, sizeof(buffer), done).Code(), Common::kErrReadFailed);
  EXPECT_FALSE(file->HasError());
}

TEST(PosixFile, RangeLocksActOnlyWithoutTheWholeFileLock) {
  zyk_test::TempDir dir;
  const std::string path = dir / "f";
  auto locked_open = OpenFile(path, O_RDWR | O_CREAT, false);
  auto first = OpenFile(path), second = OpenFile(path);
  locked_open->LockExclusive(0, 100, false);
  first->LockExclusive(0, 100, false);
  ASSERT_FALSE(first->HasError()) << "a file opened with the whole-file lock took a range lock";
  locked_open->Unlock(0, 100);
  EXPECT_FALSE(locked_open->HasError());

  second->LockShared(50, 10, false);
  Common::Error error = second->TakeError();
  EXPECT_EQ(error.Code(), Common::kErrLockFailed);
  EXPECT_EQ(error.Inner().Code(), Common::kErrPosix);
  EXPECT_TRUE(DoLockFileHandle(second->Descriptor(), true, false, false, 100, 10).Ok());
  first->Unlock(0, 100);
  second->LockExclusive(0, 50, false);
  EXPECT_FALSE(first->HasError() || second->HasError());
  first->Unlock(0, 100);
  EXPECT_EQ(first->TakeError().Code(), Common::kErrLockFailed) << "unlock of a range no longer locked";

  // A length past the last offset means to the end.
  first->LockExclusive(1000, UINT64_MAX, false);
  ASSERT_FALSE(first->HasError());
  EXPECT_EQ(DoLockFileHandle(second->Descriptor(), true, false, false, 1ull << 40, 1).Code(), Common::kErrLockFailed);
  first->Unlock(1000, UINT64_MAX);
  EXPECT_FALSE(first->HasError());
}

}  // namespace
