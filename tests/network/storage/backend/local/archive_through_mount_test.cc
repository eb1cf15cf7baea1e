// Archives through the loaded library: a host reads and writes *.QMV files
// exactly like plain files, while they are container archives on disk.

#include <sys/stat.h>

#include <fstream>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "support/test_support.h"
#include "network/storage/backend/test_host.h"

namespace {

using zyk_test::HostMount;
using zyk_test::TempDir;

constexpr uint32_t kReadWriteCreate = ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE;

std::string RawPrefix(const std::string& path, size_t count) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes(count, '\0');
  in.read(bytes.data(), count);
  bytes.resize(in.gcount());
  return bytes;
}

const std::string kLabelMagic("\xCE\x24\xB9\xA2", 4);

// One file under test: its open handle (0 when closed) and the bytes it must hold.
struct ModelFile {
  std::string path;
  uint64_t handle = 0;
  std::string model;
};

class ArchiveThroughMount : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(mount_.Result(), 0); }

  void Reopen(ModelFile& file) {
    if (file.handle) ASSERT_EQ(mount_.Close(file.handle), 0) << file.path;
    ASSERT_EQ(mount_.Open(file.path.c_str(), kReadWriteCreate, &file.handle), 0) << file.path;
  }

  void CheckContent(ModelFile& file) {
    std::string data(file.model.size() + 100, '\xEE');
    uint64_t done = 0;
    ASSERT_EQ(mount_.Read(file.handle, data.data(), data.size(), 0, &done), 0);
    data.resize(done);
    ASSERT_EQ(data.size(), file.model.size()) << file.path;
    ASSERT_TRUE(data == file.model) << file.path;
  }

  TempDir temp_;
  HostMount mount_{temp_.path()};
};

TEST_F(ArchiveThroughMount, ArchivesAndPlainFilesAnswerAlike) {
  std::mt19937_64 random(zyk_test::TestSeed());
  ModelFile files[] = {{"x.QMV"}, {"Data.Qmv"}, {"plain.bin"}};
  for (ModelFile& file : files) Reopen(file);
  const uint64_t operations = zyk_test::Scaled(10000, 300);
  for (uint64_t step = 0; step < operations; ++step) {
    ModelFile& file = files[random() % 3];
    uint64_t size = file.model.size();
    switch (random() % 8) {
      case 0:
      case 1: {  // write, sometimes past the end
        uint64_t offset = random() % (size + 20000);
        std::string data(1 + random() % 9000, '\0');
        for (char& c : data) c = static_cast<char>(random());
        uint64_t done = 0;
        ASSERT_EQ(mount_.Write(file.handle, data.data(), data.size(), offset, &done), 0);
        ASSERT_EQ(done, data.size());
        if (file.model.size() < offset + data.size()) file.model.resize(offset + data.size(), '\0');
        file.model.replace(offset, data.size(), data);
        break;
      }
      case 2: {  // append, with or without a buffer
        std::string data(1 + random() % 5000, static_cast<char>('a' + random() % 26));
        bool zeros = random() % 3 == 0;
        zykfs_append_status_t status{};
        ASSERT_EQ(mount_.Append(file.handle, zeros ? nullptr : data.data(), data.size(), &status), 0);
        ASSERT_EQ(status.appended, data.size());
        file.model += zeros ? std::string(data.size(), '\0') : data;
        break;
      }
      case 3: {  // truncate
        uint64_t length = random() % (size + 10000);
        ASSERT_EQ(mount_.Truncate(file.handle, length), 0);
        file.model.resize(length, '\0');
        break;
      }
      case 4: {  // punch a hole
        if (size == 0) break;
        uint64_t start = random() % size;
        uint64_t end = start + 1 + random() % 20000;
        uint64_t range[2] = {start, end};
        ASSERT_EQ(mount_.Sparse(file.handle, range, 2), 0);
        // An archive deallocates only whole 4096-byte blocks (a block holding the
        // end of the file counts as whole); partial blocks keep their bytes.
        uint64_t first = (start + 4095) / 4096 * 4096, last = std::min<uint64_t>(end / 4096 * 4096, size);
        bool plain = file.path == "plain.bin";
        if (plain) first = start, last = std::min<uint64_t>(end, size);
        if (last > first) std::fill(file.model.begin() + first, file.model.begin() + last, '\0');
        break;
      }
      case 5: {  // read a range
        uint64_t offset = random() % (size + 100);
        std::string data(random() % 10000, '\0');
        uint64_t done = 0;
        ASSERT_EQ(mount_.Read(file.handle, data.data(), data.size(), offset, &done), 0);
        uint64_t expected = offset < size ? std::min<uint64_t>(data.size(), size - offset) : 0;
        ASSERT_EQ(done, expected) << file.path << " step " << step;
        ASSERT_TRUE(done == 0 || data.compare(0, done, file.model, offset, done) == 0)
            << file.path << " step " << step;
        break;
      }
      case 6:
        ASSERT_EQ(mount_.Sync(file.handle), 0);
        break;
      case 7:
        Reopen(file);
        break;
    }
  }
  for (ModelFile& file : files) {
    CheckContent(file);
    ASSERT_EQ(mount_.Close(file.handle), 0);
  }
  EXPECT_EQ(RawPrefix(temp_ / "x.QMV", 4), kLabelMagic);
  EXPECT_EQ(RawPrefix(temp_ / "Data.Qmv", 4), kLabelMagic);
}

TEST_F(ArchiveThroughMount, StatReportsLogicalAndAllocatedSizesAfterEachSync) {
  uint64_t handle = 0;
  ASSERT_EQ(mount_.Open("s.QMV", kReadWriteCreate, &handle), 0);
  uint64_t done = 0;
  std::string data(10000, 'q');
  ASSERT_EQ(mount_.Write(handle, data.data(), data.size(), 0, &done), 0);
  ASSERT_EQ(mount_.Sync(handle), 0);
  zykfs_stat_t status{};
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
  ASSERT_EQ(::stat((temp_ / "s.QMV").c_str(), &disk), 0);
  EXPECT_LT(static_cast<uint64_t>(disk.st_size), 1u << 20) << "holes are not stored";
}

TEST_F(ArchiveThroughMount, PlainLookalikesStayPlain) {
  mount_.PutFile("data.qmv.bak", "plain bytes");
  EXPECT_EQ(RawPrefix(temp_ / "data.qmv.bak", 11), "plain bytes");
  ASSERT_EQ(mount_.MakeDir("x.qmv"), 0);
  zykfs_stat_t status{};
  ASSERT_EQ(mount_.Stat("x.qmv", &status), 0);
  uint64_t handle = 0;
  ASSERT_EQ(mount_.OpenDir("x.qmv", &handle), 0);
  ASSERT_EQ(mount_.CloseDir(handle), 0);
}

TEST_F(ArchiveThroughMount, ExtensionOnAForeignFileIsCorrupt) {
  std::ofstream(temp_ / "y.QMV") << std::string(9000, 'y');
  uint64_t handle = 0;
  EXPECT_EQ(mount_.Open("y.QMV", ZYKFS_OPEN_READ, &handle), 0x4000D);
  EXPECT_EQ(mount_.Open("y.QMV", ZYKFS_OPEN_READ_WRITE, &handle), 0x4000D);
  EXPECT_EQ(RawPrefix(temp_ / "y.QMV", 3), "yyy");
}

TEST_F(ArchiveThroughMount, RenamesStayWithinOneKindOfName) {
  mount_.PutFile("a.QMV", "archived");
  mount_.PutFile("p.bin", "plain");
  EXPECT_EQ(mount_.Rename("a.QMV", "a.bin"), ZYKFS_E_NOT_SUPPORTED);
  EXPECT_EQ(mount_.Rename("p.bin", "p.QMV"), ZYKFS_E_NOT_SUPPORTED);
  EXPECT_EQ(mount_.GetFile("a.QMV"), "archived");
  EXPECT_EQ(mount_.GetFile("p.bin"), "plain");
  EXPECT_EQ(mount_.Rename("a.QMV", "b.QMV"), 0);
  EXPECT_EQ(mount_.GetFile("b.QMV"), "archived");
}

TEST_F(ArchiveThroughMount, ReaderSeesTheLastSyncAndASecondWriterIsRefused) {
  uint64_t writer = 0, reader = 0, second = 0;
  ASSERT_EQ(mount_.Open("r.QMV", kReadWriteCreate, &writer), 0);
  uint64_t done = 0;
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
