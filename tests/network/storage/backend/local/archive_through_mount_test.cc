// Archives through the loaded library: a host reads and writes *.QMV files
// exactly like plain files, while they are container archives on disk.

#include <sys/stat.h>

#include <filesystem>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "network/storage/backend/test_host.h"

namespace {

using namespace zyk_test;

class ArchiveThroughMount : public MountedDir {};

constexpr uint32_t kCreate = ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE;
const std::string kLabelMagic("\xCE\x24\xB9\xA2", 4);

// Random writes, appends, truncates, punches, reads, syncs and reopens on two
// archives and a plain file, each against a byte model.
TEST_F(ArchiveThroughMount, ArchivesAndPlainFilesAnswerAlike) {
  std::mt19937_64 random(TestSeed());
  struct ModelFile {
    std::string path;
    uint64_t handle = 0;
    std::string model;
  } files[] = {{"x.QMV", 0, {}}, {"Data.Qmv", 0, {}}, {"plain.bin", 0, {}}};
  auto reopen = [&](ModelFile& file) {
    ASSERT_TRUE(file.handle == 0 || mount_.Close(file.handle) == 0) << file.path;
    ASSERT_EQ(mount_.Open(file.path.c_str(), kCreate, &file.handle), 0) << file.path;
  };
  for (ModelFile& file : files) reopen(file);
  const uint64_t operations = Scaled(10000, 300);
  for (uint64_t step = 0; step < operations; ++step) {
    ModelFile& file = files[random() % 3];
    SCOPED_TRACE(file.path + " step " + std::to_string(step));
    const uint64_t size = file.model.size();
    uint64_t done = 0;
    switch (random() % 8) {
      case 0:
      case 1: {  // write, sometimes past the end
        uint64_t offset = random() % (size + 20000);
        std::string data(1 + random() % 9000, '\0');
        for (char& c : data) c = static_cast<char>(random());
        ASSERT_EQ(mount_.Write(file.handle, data.data(), data.size(), offset, &done), 0);
        ASSERT_EQ(done, data.size());
        if (file.model.size() < offset + data.size()) file.model.resize(offset + data.size(), '\0');
        file.model.replace(offset, data.size(), data);
        break;
      }
      case 2: {  // append, with or without a buffer
        std::string data(1 + random() % 5000, static_cast<char>('a' + random() % 26));
        const bool zeros = random() % 3 == 0;
        zykfs_append_status_t status{};
        ASSERT_EQ(mount_.Append(file.handle, zeros ? nullptr : data.data(), data.size(), &status), 0);
        ASSERT_EQ(status.appended, data.size());
        file.model += zeros ? std::string(data.size(), '\0') : data;
        break;
      }
      case 3: {
        uint64_t length = random() % (size + 10000);
        ASSERT_EQ(mount_.Truncate(file.handle, length), 0);
        file.model.resize(length, '\0');
        break;
      }
      case 4: {  // punch a hole
        if (size == 0) break;
        const uint64_t start = random() % size, end = start + 1 + random() % 20000;
        const uint64_t range[2] = {start, end};
        ASSERT_EQ(mount_.Sparse(file.handle, range, 2), 0);
        // Every byte of the range reads as zero, in partial blocks of an archive too.
        const uint64_t last = std::min<uint64_t>(end, size);
        std::fill(file.model.begin() + start, file.model.begin() + last, '\0');
        break;
      }
      case 5: {  // read a range, sometimes past the end
        const uint64_t offset = random() % (size + 100);
        std::string data(random() % 10000, '\0');
        ASSERT_EQ(mount_.Read(file.handle, data.data(), data.size(), offset, &done), 0);
        ASSERT_EQ(done, offset < size ? std::min<uint64_t>(data.size(), size - offset) : 0);
        ASSERT_TRUE(done == 0 || data.compare(0, done, file.model, offset, done) == 0);
        break;
      }
      case 6: ASSERT_EQ(mount_.Sync(file.handle), 0); break;
      case 7: reopen(file); break;
    }
  }
  for (ModelFile& file : files) {
    ASSERT_EQ(mount_.Close(file.handle), 0);
    ASSERT_TRUE(mount_.GetFile(file.path.c_str()) == file.model) << file.path;
  }
  EXPECT_EQ(ReadFile(dir_ / "x.QMV").substr(0, 4), kLabelMagic);
  EXPECT_EQ(ReadFile(dir_ / "Data.Qmv").substr(0, 4), kLabelMagic);
}

// Writes at positions an archive cannot hold fail like a plain file's, instead
// of reporting success with nothing written; the handle stays usable.
// Reads and writes at positions a file cannot reach, and growth or truncation
// past the largest offset (where an end could wrap around to a small size),
// fail, touch nothing (not even at the position of the request before) and
// leave the file usable.
TEST_F(ArchiveThroughMount, UnreachablePositionsFailAndTouchNothing) {
  for (const char* path : {"far.QMV", "far.bin"}) {
    uint64_t handle = 0, done = 0;
    ASSERT_EQ(mount_.Open(path, kCreate, &handle), 0);
    ASSERT_EQ(mount_.Write(handle, "near", 4, 0, &done), 0) << path;
    for (uint64_t offset : {uint64_t{1} << 63, UINT64_MAX, uint64_t{INT64_MAX}}) {
      done = 7;
      EXPECT_NE(mount_.Write(handle, "x", 1, offset, &done), 0) << path << " at " << offset;
      EXPECT_EQ(done, 0u) << path;
      char byte = 0;
      done = 7;
      mount_.Read(handle, &byte, 1, offset, &done);
      EXPECT_EQ(done, 0u) << path;
    }
    // From the size of 4, the first two ends wrap around to 0 and to 3.
    for (uint64_t size : {UINT64_MAX - 3, UINT64_MAX, uint64_t{1} << 63}) {
      zykfs_append_status_t status{7, 0};
      EXPECT_EQ(mount_.Append(handle, nullptr, size, &status), ZYKFS_E_DISK_FULL) << path << " by " << size;
      EXPECT_EQ(status.appended, 0u) << path;
      EXPECT_EQ(mount_.Truncate(handle, size), ZYKFS_E_WRITE_FAILED) << path << " to " << size;
    }
    ASSERT_EQ(mount_.Write(handle, "!", 1, 4, &done), 0) << path;
    EXPECT_EQ(mount_.Close(handle), 0);
    EXPECT_EQ(mount_.GetFile(path), "near!");
  }
}

TEST_F(ArchiveThroughMount, StatReportsLogicalAndAllocatedSizesAfterEachSync) {
  uint64_t handle = 0, done = 0;
  ASSERT_EQ(mount_.Open("s.QMV", kCreate, &handle), 0);
  const std::string data(10000, 'q');
  zykfs_stat_t status{};
  ASSERT_EQ(mount_.Write(handle, data.data(), data.size(), 0, &done), 0);
  ASSERT_EQ(mount_.Sync(handle), 0);
  ASSERT_EQ(mount_.Stat("s.QMV", &status), 0);
  EXPECT_EQ(status.size, 10000u);
  EXPECT_EQ(status.allocated, 10000u);
  ASSERT_EQ(mount_.Write(handle, data.data(), 100, 1 << 20, &done), 0);
  ASSERT_EQ(mount_.Sync(handle), 0);
  ASSERT_EQ(mount_.Stat("s.QMV", &status), 0);
  EXPECT_EQ(status.size, (1u << 20) + 100);
  EXPECT_EQ(status.allocated, 3 * 4096u + 100);
  // The open handle's stat shows the size before any sync.
  ASSERT_EQ(mount_.Write(handle, data.data(), 10, 2 << 20, &done), 0);
  ASSERT_EQ(mount_.Fstat(handle, &status), 0);
  EXPECT_EQ(status.size, (2u << 20) + 10);
  ASSERT_EQ(mount_.Close(handle), 0);
  struct stat disk;
  ASSERT_EQ(::stat((dir_ / "s.QMV").c_str(), &disk), 0);
  EXPECT_LT(static_cast<uint64_t>(disk.st_size), 1u << 20) << "holes are not stored";
}

TEST_F(ArchiveThroughMount, OnlyFilesNamedLikeArchivesAreArchives) {
  mount_.PutFile("data.qmv.bak", "plain bytes");
  EXPECT_EQ(ReadFile(dir_ / "data.qmv.bak"), "plain bytes");
  ASSERT_EQ(mount_.MakeDir("x.qmv"), 0);
  zykfs_stat_t status{};
  ASSERT_EQ(mount_.Stat("x.qmv", &status), 0);
  uint64_t handle = 0;
  ASSERT_EQ(mount_.OpenDir("x.qmv", &handle), 0);
  ASSERT_EQ(mount_.CloseDir(handle), 0);
  // A file with the extension that is no archive is reported corrupt, untouched.
  WriteFile(dir_ / "y.QMV", std::string(9000, 'y'));
  EXPECT_EQ(mount_.Open("y.QMV", ZYKFS_OPEN_READ, &handle), 0x4000D);
  EXPECT_EQ(mount_.Open("y.QMV", ZYKFS_OPEN_READ_WRITE, &handle), 0x4000D);
  EXPECT_EQ(mount_.Stat("y.QMV", &status), 0x4000D) << "stat agrees with open";
  EXPECT_EQ(status.size, 0u);
  EXPECT_EQ(ReadFile(dir_ / "y.QMV"), std::string(9000, 'y'));
}

// A create that fails leaves no name behind: once there is room again the
// name can be created, instead of being refused as a damaged archive.
TEST_F(ArchiveThroughMount, FailedCreateLeavesTheNameFree) {
  uint64_t handle = 0;
  {
    FileSizeLimit limit(4096);  // below the first blocks of a new archive
    ASSERT_TRUE(limit.Set());
    EXPECT_EQ(mount_.Open("new.QMV", kCreate, &handle), ZYKFS_E_DISK_FULL);
  }
  EXPECT_FALSE(LocalExists(dir_ / "new.QMV"));
  zykfs_stat_t status{};
  EXPECT_EQ(mount_.Stat("new.QMV", &status), ZYKFS_E_NOT_FOUND);
  ASSERT_EQ(mount_.Open("new.QMV", kCreate, &handle), 0);
  EXPECT_EQ(mount_.Close(handle), 0);
}

TEST_F(ArchiveThroughMount, RenamesStayWithinOneKindOfName) {
  mount_.PutFile("a.QMV", "archived");
  mount_.PutFile("p.bin", "plain");
  EXPECT_EQ(mount_.Rename("a.QMV", "a.bin"), ZYKFS_E_NOT_SUPPORTED);
  EXPECT_EQ(mount_.Rename("p.bin", "p.QMV"), ZYKFS_E_NOT_SUPPORTED);
  // A swap of the two kinds is refused and leaves both files under their names.
  uint64_t plain = 0, archive = 0;
  ASSERT_EQ(mount_.Open("p.bin", ZYKFS_OPEN_READ, &plain), 0);
  ASSERT_EQ(mount_.Open("a.QMV", ZYKFS_OPEN_READ, &archive), 0);
  EXPECT_EQ(mount_.Swap(plain, archive), ZYKFS_E_NOT_SUPPORTED);
  EXPECT_EQ(mount_.Swap(archive, plain), ZYKFS_E_NOT_SUPPORTED);
  EXPECT_EQ(mount_.Close(plain), 0);
  EXPECT_EQ(mount_.Close(archive), 0);
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
    EXPECT_TRUE(entry.path().filename() == "a.QMV" || entry.path().filename() == "p.bin") << entry.path();
  EXPECT_EQ(mount_.GetFile("a.QMV"), "archived");
  EXPECT_EQ(mount_.GetFile("p.bin"), "plain");
  EXPECT_EQ(mount_.Rename("a.QMV", "b.QMV"), 0);
  EXPECT_EQ(mount_.GetFile("b.QMV"), "archived");
}

TEST_F(ArchiveThroughMount, ReaderSeesTheLastSyncAndASecondWriterIsRefused) {
  uint64_t writer = 0, reader = 0, second = 0, done = 0;
  ASSERT_EQ(mount_.Open("r.QMV", kCreate, &writer), 0);
  ASSERT_EQ(mount_.Write(writer, "first", 5, 0, &done), 0);
  ASSERT_EQ(mount_.Sync(writer), 0);
  zykfs_append_status_t status{};
  ASSERT_EQ(mount_.Append(writer, " more", 5, &status), 0);
  ASSERT_EQ(mount_.Open("r.QMV", ZYKFS_OPEN_READ, &reader), 0);
  char buffer[32] = {};
  ASSERT_EQ(mount_.Read(reader, buffer, sizeof buffer, 0, &done), 0);
  EXPECT_EQ(std::string(buffer, done), "first");
  EXPECT_EQ(mount_.Open("r.QMV", ZYKFS_OPEN_READ_WRITE, &second), 0x40017);
  ASSERT_EQ(mount_.Close(reader), 0);
  ASSERT_EQ(mount_.Close(writer), 0);
  EXPECT_EQ(mount_.GetFile("r.QMV"), "first more");
}

}  // namespace
