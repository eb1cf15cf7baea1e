// Format, opening, headers and stream behaviour of container archives on real files.

#include "core/backup/container_archive.h"

#include <sys/stat.h>

#include <cstring>

#include "core/backup/container_api.h"
#include "core/backup/container_format.h"
#include "support/fault_injection_fs.h"
#include "support/test_support.h"
#include "tests/backup/container_test_util.h"

namespace {

using namespace container_test;
using backupmedia::Load32;
using backupmedia::Load64;

uint64_t FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

TEST(ContainerFormat, NewArchiveHasLabelAndTwoIdenticalHeaders) {
  zyk_test::TempDir tmp;
  auto dir = MakePosixDir(tmp.path());
  auto archive = Create(dir.get(), u"new.qmv", ArchiveParameters{});
  ASSERT_TRUE(archive);
  archive.reset();
  std::vector<uint8_t> bytes = FileBytes(tmp / "new.qmv");
  ASSERT_EQ(bytes.size(), 3u * 4096);
  EXPECT_EQ(Load32(&bytes[0]), 0xA2B924CEu);
  backupmedia::VolumeLabel label;
  ASSERT_TRUE(backupmedia::DecodeLabel(bytes.data(), bytes.size(), label));
  EXPECT_EQ(label.volume_number, 1u);
  EXPECT_EQ(label.block_size, 4096u);
  EXPECT_EQ(label.blocks_per_volume, 0u);
  EXPECT_NE(label.volume_id, 0u);
  EXPECT_EQ(0, std::memcmp(&bytes[4096], &bytes[8192], 4096));
  const uint8_t* header = &bytes[4096];
  EXPECT_NE(backupmedia::ValidateHeader(header, 4096), 0u);
  EXPECT_EQ(Load32(header + 16), 56u);
  EXPECT_EQ(Load32(header + 20), 1346u);
  EXPECT_EQ(Load64(header + 24), 3u);
  EXPECT_EQ(Load64(header + 32), 0u);
  EXPECT_EQ(Load64(header + 48), 3u);
}

TEST(ContainerFormat, RequestedBlockSizeFallsBackToDefault) {
  const struct {
    uint32_t requested;
    uint32_t used;
  } cases[] = {{1000, 4096}, {1048576, 4096}, {0, 4096}, {512, 512}, {262144, 262144}, {8192, 8192}};
  for (const auto& c : cases) {
    zyk_test::TempDir tmp;
    auto dir = MakePosixDir(tmp.path());
    auto archive = Create(dir.get(), u"b.qmv", Parameters(c.requested));
    ASSERT_TRUE(archive);
    EXPECT_EQ(archive->BlockSize(), c.used) << c.requested;
    EXPECT_EQ(FileSize(tmp / "b.qmv"), 3u * c.used);
  }
}

TEST(ContainerFormat, VolumeSizeChoosesSplitOnlyWithinBounds) {
  const struct {
    int64_t volume_size;
    bool split;
  } cases[] = {{3 * 512 - 1, false}, {3 * 512, true}, {int64_t{512} << 32, false}, {(int64_t{512} << 32) - 512, true},
               {-1, false}};
  for (const auto& c : cases) {
    zyk_test::TempDir tmp;
    auto dir = MakePosixDir(tmp.path());
    auto archive = Create(dir.get(), u"s.qmv", Parameters(512, c.volume_size));
    ASSERT_TRUE(archive);
    archive.reset();
    EXPECT_EQ(FileSize(tmp / "s1.qmv") != 0, c.split) << c.volume_size;
    EXPECT_EQ(FileSize(tmp / "s.qmv") != 0, !c.split) << c.volume_size;
  }
}

TEST(ContainerFormat, EveryHeaderWriteCarriesHighWaterMark) {
  zyk_test::TempDir tmp;
  auto dir = MakePosixDir(tmp.path());
  auto archive = Create(dir.get(), u"h.qmv", Parameters(512));
  WriteAt(*archive, 0, Pattern(20 * 512, 1));
  archive->Flush();
  // Shrinking and committing again resets the cursor, but not the mark.
  archive->Truncate(512);
  archive->Flush();
  archive->Flush();
  ASSERT_FALSE(archive->HasError());
  archive.reset();
  std::vector<uint8_t> bytes = FileBytes(tmp / "h.qmv");
  for (int copy = 1; copy <= 2; ++copy) {
    const uint8_t* header = &bytes[512 * copy];
    ASSERT_NE(backupmedia::ValidateHeader(header, 512), 0u);
    EXPECT_GE(Load64(header + 48), 23u) << copy;
    EXPECT_GE(Load64(header + 48), Load64(header + 24)) << copy;
  }
}

// Rewrites header copy `copy` (1 or 2) of a 512-byte-block archive through `edit`.
template <typename Edit>
void EditHeader(const std::string& path, int copy, Edit edit, bool reseal = true) {
  std::vector<uint8_t> bytes = FileBytes(path);
  uint8_t* header = &bytes[512 * copy];
  edit(header);
  if (reseal) backupmedia::SealHeader(header, 512);
  PutFileBytes(path, bytes);
}

TEST(ContainerHeaders, DamagedCopyIsIgnoredWhenTheOtherIsValid) {
  zyk_test::TempDir tmp;
  auto dir = MakePosixDir(tmp.path());
  auto archive = Create(dir.get(), u"d.qmv", Parameters(512));
  WriteAt(*archive, 0, "first");
  archive->Flush();
  WriteAt(*archive, 0, "second");
  archive->Flush();
  archive.reset();
  // The newer copy is damaged: the older state shows.
  auto info_reader = OpenRead(dir.get(), u"d.qmv");
  int current = info_reader->GetInfo().current_copy;
  info_reader.reset();
  EditHeader(tmp / "d.qmv", current, [](uint8_t* h) { h[100] ^= 1; }, false);
  auto reader = OpenRead(dir.get(), u"d.qmv");
  ASSERT_TRUE(reader);
  EXPECT_EQ(ReadAll(*reader), "first");
}

TEST(ContainerHeaders, BothCopiesDamagedIsCorruption) {
  const struct {
    bool older_layout;
    uint32_t code;
  } cases[] = {{false, Common::kErrCorrupted}, {true, Common::kErrOldArchiveLayout}};
  for (const auto& c : cases) {
    zyk_test::TempDir tmp;
    auto dir = MakePosixDir(tmp.path());
    Create(dir.get(), u"x.qmv", ArchiveParameters{}).reset();
    std::vector<uint8_t> bytes = FileBytes(tmp / "x.qmv");
    for (int copy = 1; copy <= 2; ++copy) {
      uint8_t* h = &bytes[4096 * copy];
      if (c.older_layout) {
        backupmedia::Store32(h + 8, 40);
        backupmedia::Store32(h + 12, (4096 - 40) / 3);
        backupmedia::Store32(h + 16, 0);  // invalid root offset in the current layout
        backupmedia::SealHeader(h, 4096);
      } else {
        h[200] ^= 0x40;
      }
    }
    PutFileBytes(tmp / "x.qmv", bytes);
    Common::Error error;
    EXPECT_FALSE(OpenRead(dir.get(), u"x.qmv", &error));
    EXPECT_EQ(error.Code(), c.code);
  }
}

TEST(ContainerHeaders, EqualSequenceNumbersPreferBlockOne) {
  zyk_test::TempDir tmp;
  auto dir = MakePosixDir(tmp.path());
  auto archive = Create(dir.get(), u"e.qmv", Parameters(512));
  WriteAt(*archive, 0, "one");
  archive->Flush();
  WriteAt(*archive, 0, "two");
  archive->Flush();
  archive.reset();
  std::vector<uint8_t> bytes = FileBytes(tmp / "e.qmv");
  uint32_t s1 = Load32(&bytes[512 + 4]), s2 = Load32(&bytes[1024 + 4]);
  std::string in_block1 = s1 > s2 ? "two" : "one";
  uint32_t same = std::max(s1, s2);
  EditHeader(tmp / "e.qmv", 1, [&](uint8_t* h) { backupmedia::Store32(h + 4, same); });
  EditHeader(tmp / "e.qmv", 2, [&](uint8_t* h) { backupmedia::Store32(h + 4, same); });
  auto reader = OpenRead(dir.get(), u"e.qmv");
  ASSERT_TRUE(reader);
  EXPECT_EQ(ReadAll(*reader), in_block1);
}

TEST(ContainerHeaders, WrappedSequenceIsWrittenToBothCopies) {
  zyk_test::TempDir tmp;
  auto dir = MakePosixDir(tmp.path());
  Create(dir.get(), u"w.qmv", Parameters(512)).reset();
  for (int copy = 1; copy <= 2; ++copy)
    EditHeader(tmp / "w.qmv", copy, [](uint8_t* h) { backupmedia::Store32(h + 4, 0xFFFFFFFFu); });
  auto archive = Append(dir.get(), u"w.qmv");  // commits once
  ASSERT_TRUE(archive);
  WriteAt(*archive, 0, "after wrap");
  archive->Flush();
  ASSERT_FALSE(archive->HasError());
  archive.reset();
  std::vector<uint8_t> bytes = FileBytes(tmp / "w.qmv");
  // The append commit wrapped to 1 (both copies), the next one wrote 2.
  uint32_t s1 = Load32(&bytes[512 + 4]), s2 = Load32(&bytes[1024 + 4]);
  EXPECT_EQ(std::min(s1, s2), 1u);
  EXPECT_EQ(std::max(s1, s2), 2u);
  auto reader = OpenRead(dir.get(), u"w.qmv");
  EXPECT_EQ(ReadAll(*reader), "after wrap");
}

TEST(ContainerVolumes, LaterVolumeOpenedByItsOwnNameOpensTheArchive) {
  zyk_test::TempDir tmp;
  auto dir = MakePosixDir(tmp.path());
  auto archive = Create(dir.get(), u"name.qmv", Parameters(512, 8 * 512));
  std::string content = Pattern(40 * 512 + 77, 3);
  WriteAt(*archive, 0, content);
  archive->Flush();
  ASSERT_FALSE(archive->HasError());
  archive.reset();
  ASSERT_NE(FileSize(tmp / "name3.qmv"), 0u);
  for (const char16_t* name : {u"name3.qmv", u"name1.qmv", u"name.qmv", u"name5.qmv"}) {
    auto reader = OpenRead(dir.get(), name);
    ASSERT_TRUE(reader);
    EXPECT_EQ(ReadAll(*reader), content);
  }
  auto writer = Append(dir.get(), u"name3.qmv");
  ASSERT_TRUE(writer);
  EXPECT_EQ(ReadAll(*writer), content);
}

TEST(ContainerVolumes, ReplacedVolumeIsRefused) {
  zyk_test::TempDir tmp;
  auto dir = MakePosixDir(tmp.path());
  auto archive = Create(dir.get(), u"r.qmv", Parameters(512, 4 * 512));
  WriteAt(*archive, 0, Pattern(12 * 512, 4));
  archive->Flush();
  archive.reset();
  // Volume 2 replaced by volume 2 of another archive: label mismatch.
  auto other = Create(dir.get(), u"o.qmv", Parameters(512, 4 * 512));
  WriteAt(*other, 0, Pattern(12 * 512, 5));
  other->Flush();
  other.reset();
  PutFileBytes(tmp / "r2.qmv", FileBytes(tmp / "o2.qmv"));
  auto reader = OpenRead(dir.get(), u"r.qmv");
  ASSERT_TRUE(reader);
  ReadAll(*reader);
  EXPECT_EQ(reader->LastError().Code(), Common::kErrCorrupted);
}

TEST(ContainerApi, RefusesBadArgumentsAndForeignFiles) {
  zyk_test::TempDir tmp;
  auto dir = MakePosixDir(tmp.path());
  PutFileBytes(tmp / "plain.qmv", std::vector<uint8_t>(20000, 7));
  ArchiveParameters p;
  Common::Error error;
  EXPECT_FALSE(backupmedia::CreateContainerArchive(nullptr, u"a.qmv", nullptr, &p, error, false));
  EXPECT_EQ(error.Code(), Common::kErrInvalidUsage);
  EXPECT_FALSE(backupmedia::OpenContainerArchive(dir.get(), nullptr, nullptr, error, false));
  EXPECT_EQ(error.Code(), Common::kErrInvalidUsage);
  EXPECT_FALSE(OpenRead(dir.get(), u"plain.qmv", &error));
  EXPECT_EQ(error.Code(), Common::kErrCorrupted);
  EXPECT_FALSE(OpenRead(dir.get(), u"missing.qmv", &error));
  EXPECT_EQ(error.Code(), Common::kErrNotFound);
}

TEST(ContainerApi, PathWithDirectoriesResolvesToItsParent) {
  zyk_test::TempDir tmp;
  ASSERT_EQ(::mkdir((tmp / "sub").c_str(), 0755), 0);
  auto dir = MakePosixDir(tmp.path());
  auto archive = Create(dir.get(), u"sub/p.qmv", Parameters(512));
  ASSERT_TRUE(archive);
  WriteAt(*archive, 0, "nested");
  archive->Flush();
  archive.reset();
  EXPECT_EQ(FileSize(tmp / "sub/p.qmv") % 512, 0u);
  auto reader = OpenRead(dir.get(), u"sub/p.qmv");
  EXPECT_EQ(ReadAll(*reader), "nested");
}

TEST(ContainerStream, HolesReadAsZerosAndReadsStopAtTheEnd) {
  zyk_test::TempDir tmp;
  auto dir = MakePosixDir(tmp.path());
  auto archive = Create(dir.get(), u"z.qmv", Parameters(512));
  WriteAt(*archive, 5000, "tail");
  EXPECT_EQ(archive->GetSize(), 5004u);
  EXPECT_EQ(ReadAt(*archive, 0, 5000), std::string(5000, '\0'));
  EXPECT_EQ(ReadAt(*archive, 5004, 10), "");
  EXPECT_EQ(ReadAt(*archive, 6000, 10), "");
  archive->Flush();
  // The hole stays unallocated.
  ControlRequest request{kControlAllocationMap, 0, 100000, nullptr};
  archive->IOCTL(&request);
  ASSERT_FALSE(archive->HasError());
  auto* list = static_cast<uint64_t*>(request.result);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list[0], 1u);
  EXPECT_EQ(list[1], 4608u);
  EXPECT_EQ(list[2], 5004u - 4608u);
  std::free(list);
}

TEST(ContainerStream, TruncateFreesBlocksAndZeroesTheOldTail) {
  zyk_test::TempDir tmp;
  auto dir = MakePosixDir(tmp.path());
  auto archive = Create(dir.get(), u"t.qmv", Parameters(512));
  WriteAt(*archive, 0, Pattern(4096, 9));
  archive->Flush();
  archive->Truncate(100);
  archive->Truncate(3000);
  ASSERT_FALSE(archive->HasError());
  std::string expected = Pattern(4096, 9).substr(0, 100) + std::string(2900, '\0');
  EXPECT_EQ(ReadAll(*archive), expected);
  archive->Flush();
  EXPECT_EQ(archive->GetInfo().allocated_blocks, 1u);
  archive.reset();
  auto reader = OpenRead(dir.get(), u"t.qmv");
  EXPECT_EQ(ReadAll(*reader), expected);
}

TEST(ContainerStream, PartialBlockAtTheEndIsNotReadBack) {
  zyk_test::TempDir tmp;
  auto state = std::make_shared<zyk_test::FaultState>();
  zyk_test::FaultDir dir(MakePosixDir(tmp.path()), state);
  auto archive = Create(&dir, u"p.qmv", Parameters(512));
  WriteAt(*archive, 0, Pattern(2048, 1));
  archive->Flush();
  auto reads_of_data = [&] {
    size_t count = 0;
    for (const auto& e : state->Log())
      if (e.type == zyk_test::EventType::kRead && e.offset >= 3 * 512) ++count;
    return count;
  };
  size_t before = reads_of_data();
  WriteAt(*archive, 2048, "appended");  // at the end: no read
  archive->Flush();
  EXPECT_EQ(reads_of_data(), before);
  WriteAt(*archive, 512, "middle");  // inside the stream: the block is read first
  EXPECT_GT(reads_of_data(), before);
  std::string expected = Pattern(2048, 1) + "appended";
  expected.replace(512, 6, "middle");
  EXPECT_EQ(ReadAll(*archive), expected);
}

TEST(ContainerStream, AutoCommitWaitsUntilMoreThanTheThresholdWasWritten) {
  zyk_test::TempDir tmp;
  auto dir = MakePosixDir(tmp.path());
  auto archive = Create(dir.get(), u"a.qmv", Parameters(512, INT64_MAX, 2 * 512));
  auto sequence = [&] { return archive->GetInfo().sequence; };
  uint32_t start = sequence();
  // Two blocks written out (window moves away): exactly the threshold, no commit.
  WriteAt(*archive, 0, Pattern(1024, 1));
  WriteAt(*archive, 100 * 512, "x");
  EXPECT_EQ(sequence(), start);
  // One more block out makes three: more than the threshold, so this write-out commits.
  WriteAt(*archive, 200 * 512, "y");
  EXPECT_NE(sequence(), start);
}

TEST(ContainerStream, WritesBeyondTheCacheRingKeepTheirContent) {
  zyk_test::TempDir tmp;
  auto dir = MakePosixDir(tmp.path());
  auto archive = Create(dir.get(), u"big.qmv", Parameters(4096));
  // 20 MiB in chunks that never line up with blocks: the 8 MiB ring wraps.
  std::string content = Pattern(20 * 1024 * 1024 + 333, 11);
  size_t offset = 0, chunk = 100003;
  archive->Seek(0);
  while (offset < content.size()) {
    size_t n = std::min(chunk, content.size() - offset), done = 0;
    archive->Write(content.data() + offset, n, done);
    ASSERT_EQ(done, n);
    offset += n;
  }
  EXPECT_EQ(ReadAll(*archive), content);
  archive->Flush();
  ASSERT_FALSE(archive->HasError());
  archive.reset();
  auto reader = OpenRead(dir.get(), u"big.qmv");
  EXPECT_EQ(ReadAll(*reader), content);
}

TEST(ContainerStream, ReadOnlyArchiveRefusesOutput) {
  zyk_test::TempDir tmp;
  auto dir = MakePosixDir(tmp.path());
  Create(dir.get(), u"ro.qmv", Parameters(512)).reset();
  auto reader = OpenRead(dir.get(), u"ro.qmv");
  size_t done = 1;
  reader->Write("x", 1, done);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(reader->LastError().Code(), Common::kErrReadOnly);
}

TEST(ContainerStream, FailedArchiveRefusesFurtherWork) {
  zyk_test::TempDir tmp;
  auto state = std::make_shared<zyk_test::FaultState>();
  zyk_test::FaultDir dir(MakePosixDir(tmp.path()), state);
  auto archive = Create(&dir, u"f.qmv", Parameters(512));
  WriteAt(*archive, 0, "kept");
  archive->Flush();
  state->CrashAt(state->EventCount());
  WriteAt(*archive, 0, Pattern(4096, 2));
  archive->Flush();
  EXPECT_TRUE(archive->HasError());
  state->Heal();
  size_t done = 1;
  archive->Write("more", 4, done);
  EXPECT_EQ(done, 0u);
  archive->Flush();
  EXPECT_EQ(archive->LastError().Code(), Common::kErrReadFailed);
}

}  // namespace
