// One writer and several readers of an archive in separate processes.

#include <fcntl.h>

#include "support/fault_injection_fs.h"
#include "support/test_support.h"
#include "tests/backup/container_test_util.h"

namespace {

using namespace container_test;

class ContainerLocks : public ::testing::Test {
 protected:
  zyk_test::TempDir tmp;
  std::unique_ptr<posix_dir> dir = MakePosixDir(tmp.path());
};

TEST_F(ContainerLocks, SecondWriterGetsTheLockError) {
  auto writer = Create(dir.get(), u"l.qmv", Parameters(512));
  ASSERT_TRUE(writer);
  pid_t child = Spawn([&] {
    Common::Error error;
    if (Append(MakePosixDir(tmp.path()).get(), u"l.qmv", &error)) return 1;
    return error.Code() == Common::kErrLockFailed ? 0 : 2;
  });
  EXPECT_EQ(Wait(child), 0);
}

TEST_F(ContainerLocks, ReadersSeeTheHeaderWrittenBeforeTheyOpened) {
  auto writer = Create(dir.get(), u"r.qmv", Parameters(512));
  WriteAt(*writer, 0, "version one");
  writer->Flush();
  HeldReader first(tmp.path(), u"r.qmv", "version one"), second(tmp.path(), u"r.qmv", "version one");
  WriteAt(*writer, 0, "version two, longer");
  writer->Flush();
  ASSERT_FALSE(writer->HasError()) << writer->LastError().ToString();
  EXPECT_EQ(first.Release(), 0);
  EXPECT_EQ(second.Release(), 0);
  HeldReader fresh(tmp.path(), u"r.qmv", "version two, longer");
  EXPECT_EQ(fresh.Release(), 0);
}

TEST_F(ContainerLocks, FreedBlocksAreReusedOnlyAfterReadersLeave) {
  auto writer = Create(dir.get(), u"g.qmv", Parameters(512));
  auto overwrite = [&](uint32_t round) {
    WriteAt(*writer, 0, Pattern(64 * 512, round));
    writer->Flush();
    ASSERT_FALSE(writer->HasError()) << writer->LastError().ToString();
  };
  overwrite(0);
  overwrite(1);
  HeldReader reader(tmp.path(), u"g.qmv", Pattern(64 * 512, 1));  // its blocks are never reused under it
  // The first overwrite may still recycle blocks freed before the reader's state.
  overwrite(2);
  uint64_t size = FileSize(tmp / "g.qmv");
  for (uint32_t round = 3; round < 6; ++round) {
    overwrite(round);
    uint64_t grown = FileSize(tmp / "g.qmv");
    EXPECT_GT(grown, size) << "round " << round;
    size = grown;
  }
  EXPECT_EQ(reader.Release(), 0);
  // With the reader gone the next commits recycle freed blocks: the file stops growing.
  overwrite(6);
  overwrite(7);
  uint64_t settled = FileSize(tmp / "g.qmv");
  for (uint32_t round = 8; round < 10; ++round) overwrite(round);
  EXPECT_EQ(FileSize(tmp / "g.qmv"), settled);
  auto check = OpenRead(dir.get(), u"g.qmv");
  EXPECT_EQ(ReadAll(*check), Pattern(64 * 512, 9));
}

// Disk space of freed blocks comes back once no reader can use them: a reader
// of the old state reads all of it until it closes; then the next commit
// punches the blocks out, while the file keeps its size and stays consistent.
TEST_F(ContainerLocks, SpaceOfFreedBlocksReturnsOnceReadersLeave) {
  constexpr size_t kBig = 64u << 20, kSmall = 1u << 20;
  auto writer = Create(dir.get(), u"s.qmv", Parameters(4096));
  const std::string content = Pattern(kBig, 5);
  WriteAt(*writer, 0, content);
  writer->Flush();
  auto disk_bytes = [&] {
    struct stat st {};
    ::stat((tmp / "s.qmv").c_str(), &st);
    return static_cast<uint64_t>(st.st_blocks) * 512;
  };
  HeldReader reader(tmp.path(), u"s.qmv", content);
  writer->Truncate(kSmall);
  writer->Flush();
  EXPECT_GE(disk_bytes(), kBig) << "space went while a reader could still use it";
  EXPECT_EQ(reader.Release(), 0) << "the reader did not read its state in full";
  const uint64_t file_size = FileSize(tmp / "s.qmv");
  writer->Flush();  // the first commit without readers commits the allocation map
  ASSERT_FALSE(writer->HasError()) << writer->LastError().ToString();
  EXPECT_LT(disk_bytes(), 8u << 20);
  EXPECT_EQ(FileSize(tmp / "s.qmv"), file_size);
  writer.reset();
  EXPECT_TRUE(backupmedia::CheckArchive(*dir, u"s.qmv").Consistent());
  auto check = OpenRead(dir.get(), u"s.qmv");
  EXPECT_EQ(ReadAll(*check), content.substr(0, kSmall));
}

// A failed header write leaves the archive refusing work; it must not keep the
// header copies locked, or every reader opening the archive would wait on them
// until the writer is closed.
TEST_F(ContainerLocks, FailedHeaderWriteReleasesTheHeaderLock) {
  auto state = std::make_shared<zyk_test::FaultState>();
  zyk_test::FaultDir faulty(MakePosixDir(tmp.path()), state);
  auto writer = Create(&faulty, u"h.qmv", Parameters(512));
  WriteAt(*writer, 0, "content");
  writer->Flush();
  // An idle flush writes one header copy; find that write, then fail it next time.
  const uint64_t base = state->EventCount();
  writer->Flush();
  uint64_t header_write = UINT64_MAX;
  for (uint64_t i = base; i < state->Log().size(); ++i) {
    const zyk_test::FaultEvent& e = state->Log()[i];
    if (e.type == zyk_test::EventType::kWrite && (e.offset == 512 || e.offset == 1024)) header_write = i - base;
  }
  ASSERT_NE(header_write, UINT64_MAX);
  state->FailAt(state->EventCount() + header_write, zyk_test::FaultKind::kDiskFull);
  writer->Flush();
  ASSERT_TRUE(state->FaultFired());
  EXPECT_EQ(writer->LastError().Code(), Common::kErrDiskFull);
  pid_t child = Spawn([&] {
    int fd = ::open((tmp / "h.qmv").c_str(), O_RDONLY);
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = 511;  // the reader byte and both header copies; the writer byte 510 may stay
    probe.l_len = 3 * 512 - 511;
    if (fd < 0 || ::fcntl(fd, F_GETLK, &probe) != 0) return 1;
    return probe.l_type == F_UNLCK ? 0 : 2;
  });
  EXPECT_EQ(Wait(child), 0);
}

}  // namespace
