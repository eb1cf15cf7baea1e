// Format, opening, headers and stream behaviour of container archives on real files.

#include "core/backup/container_archive.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>

#include "core/backup/container_format.h"
#include "support/fault_injection_fs.h"
#include "support/test_support.h"
#include "tests/backup/container_test_util.h"

namespace {

using namespace container_test;
using backupmedia::Load32;
using backupmedia::Load64;
using backupmedia::Store32;
using backupmedia::Store64;

class ContainerTest : public ::testing::Test {
 protected:
  // An archive of 512-byte blocks holding `content`, committed.
  void Make(const char16_t* name, const std::string& content, int64_t volume_size = INT64_MAX) {
    auto archive = Create(dir.get(), name, Parameters(512, volume_size));
    WriteAt(*archive, 0, content);
    archive->Flush();
    ASSERT_FALSE(archive->HasError()) << archive->LastError().ToString();
  }
  std::string Content(const char16_t* name) { return container_test::Content(dir.get(), name); }
  // Rewrites header copy `copy` (1 or 2) of an archive.
  void EditHeader(const std::string& file, int copy, auto edit, bool reseal = true, uint32_t block = 512) {
    std::vector<uint8_t> bytes = FileBytes(tmp / file);
    edit(&bytes[block * copy]);
    if (reseal) backupmedia::SealHeader(&bytes[block * copy], block);
    PutFileBytes(tmp / file, bytes);
  }
  zyk_test::TempDir tmp;
  std::unique_ptr<rio_dir> dir{MakePosixDir(tmp.path())};
};
using ContainerFormat = ContainerTest;
using ContainerHeaders = ContainerTest;
using ContainerVolumes = ContainerTest;
using ContainerApi = ContainerTest;
using ContainerStream = ContainerTest;

TEST_F(ContainerFormat, NewArchiveHasLabelAndTwoIdenticalHeaders) {
  Create(dir.get(), u"new.qmv", ArchiveParameters{}).reset();
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
  EXPECT_EQ(Load32(header + 16), 56u);    // root record offset
  EXPECT_EQ(Load32(header + 20), 1346u);  // root record size
  EXPECT_EQ(Load64(header + 24), 3u);     // allocation cursor
  EXPECT_EQ(Load64(header + 32), 0u);     // logical size
  EXPECT_EQ(Load64(header + 48), 3u);     // high-water mark
}

TEST_F(ContainerFormat, BlockAndVolumeSizesOutOfBoundsFallBack) {
  const struct {
    uint32_t requested_block;
    int64_t volume_size;
    uint32_t block;
    bool split;
  } cases[] = {{1000, INT64_MAX, 4096, false},
               {1048576, INT64_MAX, 4096, false},
               {0, INT64_MAX, 4096, false},
               {262144, INT64_MAX, 262144, false},
               {512, 3 * 512 - 1, 512, false},
               {512, 3 * 512, 512, true},
               {512, int64_t{512} << 32, 512, false},
               {512, (int64_t{512} << 32) - 512, 512, true},
               {512, -1, 512, false}};
  for (const auto& c : cases) {
    zyk_test::TempDir tmp;
    auto dir = MakePosixDir(tmp.path());
    auto archive = Create(dir.get(), u"s.qmv", Parameters(c.requested_block, c.volume_size));
    ASSERT_TRUE(archive);
    EXPECT_EQ(archive->BlockSize(), c.block) << c.requested_block;
    archive.reset();
    EXPECT_GE(FileSize(tmp / (c.split ? "s1.qmv" : "s.qmv")), 3u * c.block) << c.volume_size;
    EXPECT_EQ(FileSize(tmp / (c.split ? "s.qmv" : "s1.qmv")), 0u) << c.volume_size;
  }
}

TEST_F(ContainerFormat, EveryHeaderWriteCarriesTheHighWaterMark) {
  auto archive = Create(dir.get(), u"h.qmv", Parameters(512));
  WriteAt(*archive, 0, Pattern(20 * 512, 1));
  archive->Flush();
  archive->Truncate(512);  // shrinking resets the cursor, but not the mark
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

// A one-volume archive of 512-byte blocks written field by field the way
// another writer may lay it out: a shorter label, the root records at another
// offset, a marked size, and the current header in block 2 (block 1 holds an
// older, empty state). Block 3 holds "0123456789".
std::vector<uint8_t> ForeignArchive(uint16_t label_length, uint32_t root_offset) {
  constexpr uint32_t kBlock = 512;
  std::vector<uint8_t> bytes(4 * kBlock, 0);
  uint8_t* label = bytes.data();
  Store32(label, 0xA2B924CE);
  label[4] = static_cast<uint8_t>(label_length);
  label[6] = 1;
  Store32(label + 8, 0x11223344);
  Store32(label + 16, 0x55667788);
  Store32(label + 20, 1);
  Store32(label + 28, kBlock);
  Store32(label + 24, static_cast<uint32_t>(adler32(1, label, label_length)));
  const uint32_t r = (kBlock - root_offset) / 3;
  for (int copy = 1; copy <= 2; ++copy) {
    uint8_t* h = &bytes[copy * kBlock];
    Store32(h + 4, copy == 1 ? 0x7FFFFFF0 : 0x7FFFFFF1);
    Store32(h + 12, 77);
    Store32(h + 16, root_offset);
    Store32(h + 20, r);
    Store64(h + 24, copy == 1 ? 3 : 4);
    if (copy == 2) {
      Store64(h + 32, 10);
      Store64(h + 40, 12345);
      // Single-entry leaves: data map 0 -> 3, both allocation maps 3 -> 3.
      uint8_t* roots = h + root_offset;
      const uint8_t data_leaf[] = {0, 0x02, 0x00, 0x00, 0x18};
      const uint8_t map_leaf[] = {0, 0x02, 0x00, 0x00, 0x1E};
      std::memcpy(roots, data_leaf, sizeof data_leaf);
      std::memcpy(roots + r, map_leaf, sizeof map_leaf);
      std::memcpy(roots + 2 * r, map_leaf, sizeof map_leaf);
    }
    if (root_offset >= 56) Store64(h + 48, copy == 1 ? 3 : 4);
    Store32(h, static_cast<uint32_t>(adler32(1, h + 4, kBlock - 4)));
  }
  std::memcpy(&bytes[3 * kBlock], "0123456789", 10);
  return bytes;
}

TEST_F(ContainerFormat, ArchivesOfAnotherWriterAreReadAndExtended) {
  const struct {
    uint16_t label_length;
    uint32_t root_offset;
  } layouts[] = {{36, 56}, {32, 64}, {34, 48}};
  for (const auto& layout : layouts) {
    SCOPED_TRACE(testing::Message() << layout.label_length << "/" << layout.root_offset);
    PutFileBytes(tmp / "f.qmv", ForeignArchive(layout.label_length, layout.root_offset));
    EXPECT_EQ(Content(u"f.qmv"), "0123456789");
    auto writer = Append(dir.get(), u"f.qmv");
    ASSERT_TRUE(writer);
    EXPECT_EQ(ReadAll(*writer), "0123456789");
    WriteAt(*writer, 10, "abc");
    writer->Flush();
    WriteAt(*writer, 0, "X");
    writer->Flush();
    ASSERT_FALSE(writer->HasError()) << writer->LastError().ToString();
    writer.reset();
    EXPECT_EQ(Content(u"f.qmv"), "X123456789abc");
    std::vector<uint8_t> bytes = FileBytes(tmp / "f.qmv");
    EXPECT_EQ(0, std::memcmp(bytes.data(), ForeignArchive(layout.label_length, layout.root_offset).data(), 512));
    for (int copy = 1; copy <= 2; ++copy) {
      const uint8_t* h = &bytes[512 * copy];
      ASSERT_NE(backupmedia::ValidateHeader(h, 512), 0u);
      EXPECT_EQ(Load32(h + 16), layout.root_offset);
      EXPECT_EQ(Load32(h + 20), (512 - layout.root_offset) / 3);
      EXPECT_EQ(Load64(h + 40), 12345u);  // the marked size is carried over
    }
  }
}

// Two commits, "one" then "two"; returns the header copy holding the second.
int TwoCommits(rio_dir* dir, const char16_t* name) {
  auto archive = Create(dir, name, Parameters(512));
  WriteAt(*archive, 0, "one");
  archive->Flush();
  WriteAt(*archive, 0, "two");
  archive->Flush();
  EXPECT_FALSE(archive->HasError());
  return archive->GetInfo().current_copy;
}

TEST_F(ContainerHeaders, EqualSequenceNumbersPreferBlockOne) {
  const std::string in_block1 = TwoCommits(dir.get(), u"e.qmv") == 1 ? "two" : "one";
  std::vector<uint8_t> bytes = FileBytes(tmp / "e.qmv");
  const uint32_t same = std::max(Load32(&bytes[512 + 4]), Load32(&bytes[1024 + 4]));
  for (int copy = 1; copy <= 2; ++copy) EditHeader("e.qmv", copy, [&](uint8_t* h) { Store32(h + 4, same); });
  EXPECT_EQ(Content(u"e.qmv"), in_block1);
}

TEST_F(ContainerHeaders, BothCopiesDamagedIsCorruption) {
  Create(dir.get(), u"x.qmv", Parameters(512)).reset();
  for (int copy = 1; copy <= 2; ++copy)
    EditHeader(
        "x.qmv", copy, [](uint8_t* h) { h[200] ^= 0x40; }, false);
  Common::Error error;
  EXPECT_FALSE(OpenRead(dir.get(), u"x.qmv", &error));
  EXPECT_EQ(error.Code(), Common::kErrCorrupted);
  Create(dir.get(), u"y.qmv", ArchiveParameters{}).reset();
  auto older_layout = [](uint8_t* h) {  // its root offset is invalid in the current layout
    Store32(h + 8, 40);
    Store32(h + 12, (4096 - 40) / 3);
    Store32(h + 16, 0);
  };
  for (int copy = 1; copy <= 2; ++copy) EditHeader("y.qmv", copy, older_layout, true, 4096);
  EXPECT_FALSE(OpenRead(dir.get(), u"y.qmv", &error));
  EXPECT_EQ(error.Code(), Common::kErrOldArchiveLayout);
}

TEST_F(ContainerHeaders, WrappedSequenceIsWrittenToBothCopies) {
  Create(dir.get(), u"w.qmv", Parameters(512)).reset();
  for (int copy = 1; copy <= 2; ++copy) EditHeader("w.qmv", copy, [](uint8_t* h) { Store32(h + 4, 0xFFFFFFFFu); });
  auto archive = Append(dir.get(), u"w.qmv");  // commits once: wraps to 1 in both copies
  ASSERT_TRUE(archive);
  WriteAt(*archive, 0, "after wrap");
  archive->Flush();  // writes 2
  ASSERT_FALSE(archive->HasError());
  archive.reset();
  std::vector<uint8_t> bytes = FileBytes(tmp / "w.qmv");
  uint32_t s1 = Load32(&bytes[512 + 4]), s2 = Load32(&bytes[1024 + 4]);
  EXPECT_EQ(std::min(s1, s2), 1u);
  EXPECT_EQ(std::max(s1, s2), 2u);
  EXPECT_EQ(Content(u"w.qmv"), "after wrap");
}

TEST_F(ContainerVolumes, LaterVolumeOpenedByItsOwnNameOpensTheArchive) {
  const std::string content = Pattern(40 * 512 + 77, 3);
  Make(u"name.qmv", content, 8 * 512);
  ASSERT_NE(FileSize(tmp / "name3.qmv"), 0u);
  for (const char16_t* name : {u"name3.qmv", u"name1.qmv", u"name.qmv", u"name5.qmv"})
    EXPECT_EQ(Content(name), content);
  auto writer = Append(dir.get(), u"name3.qmv");
  ASSERT_TRUE(writer);
  EXPECT_EQ(ReadAll(*writer), content);
}

// Reads the stream back from the volume files alone: the data map root from
// the current header, then every block at its place in its volume's file.
TEST_F(ContainerVolumes, BlocksLieInTheirVolumeFileByGlobalNumber) {
  constexpr uint32_t kBlock = 512, kPerVolume = 5;
  const std::string content = Pattern(30 * kBlock, 8);
  Make(u"g.qmv", content, kPerVolume * kBlock);
  std::vector<uint8_t> volume0 = FileBytes(tmp / "g1.qmv");
  ASSERT_GE(volume0.size(), 3u * kBlock);
  EXPECT_EQ(Load32(&volume0[32]), kPerVolume);
  const uint8_t* h1 = &volume0[kBlock];
  const uint8_t* h2 = &volume0[2 * kBlock];
  const uint8_t* header = backupmedia::ValidateHeader(h2, kBlock) > backupmedia::ValidateHeader(h1, kBlock) ? h2 : h1;
  ASSERT_EQ(header[Load32(header + 16)], 0) << "the data map root is a leaf";
  auto extents = backupmedia::DecodeNode(header + Load32(header + 16) + 1, Load32(header + 20) - 1);
  std::string rebuilt(content.size(), '?');
  for (const auto& e : extents) {
    for (uint64_t i = 0; i < e.count; ++i) {
      const uint64_t block = e.value + i, volume = (block - 1) / (kPerVolume - 1);
      std::vector<uint8_t> file = FileBytes(tmp / ("g" + std::to_string(volume + 1) + ".qmv"));
      const uint64_t offset = (block - volume * (kPerVolume - 1)) * kBlock;
      ASSERT_LE(offset + kBlock, file.size()) << block;
      ASSERT_LT(offset, kPerVolume * kBlock);
      EXPECT_EQ(Load32(&file[20]), volume + 1);
      rebuilt.replace((e.key + i) * kBlock, kBlock, reinterpret_cast<const char*>(&file[offset]), kBlock);
    }
  }
  EXPECT_EQ(rebuilt, content);
}

TEST_F(ContainerVolumes, VolumeOfAnotherArchiveIsRefused) {
  Make(u"r.qmv", Pattern(12 * 512, 4), 4 * 512);
  Make(u"o.qmv", Pattern(12 * 512, 5), 4 * 512);
  PutFileBytes(tmp / "r2.qmv", FileBytes(tmp / "o2.qmv"));
  auto reader = OpenRead(dir.get(), u"r.qmv");
  ASSERT_TRUE(reader);
  ReadAll(*reader);
  EXPECT_EQ(reader->LastError().Code(), Common::kErrCorrupted);
}

TEST_F(ContainerApi, RefusesBadArgumentsForeignFilesAndOutputWhenReading) {
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
  Make(u"ro.qmv", "kept");
  auto reader = OpenRead(dir.get(), u"ro.qmv");
  size_t done = 1;
  reader->Write("x", 1, done);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(reader->LastError().Code(), Common::kErrReadOnly);
}

TEST_F(ContainerApi, PathWithDirectoriesResolvesToItsParent) {
  ASSERT_EQ(::mkdir((tmp / "sub").c_str(), 0755), 0);
  Make(u"sub/p.qmv", "nested");
  EXPECT_EQ(FileSize(tmp / "sub/p.qmv") % 512, 0u);
  EXPECT_EQ(Content(u"sub/p.qmv"), "nested");
}

TEST_F(ContainerStream, HolesReadAsZerosStayUnallocatedAndReadsStopAtTheEnd) {
  auto archive = Create(dir.get(), u"z.qmv", Parameters(512));
  WriteAt(*archive, 5000, "tail");
  EXPECT_EQ(archive->GetSize(), 5004u);
  EXPECT_EQ(ReadAt(*archive, 0, 5000), std::string(5000, '\0'));
  EXPECT_EQ(ReadAt(*archive, 5004, 10), "");
  EXPECT_EQ(ReadAt(*archive, 6000, 10), "");
  archive->Flush();
  ControlRequest request{kControlAllocationMap, 0, 100000, nullptr};
  archive->IOCTL(&request);
  ASSERT_FALSE(archive->HasError());
  auto* list = static_cast<uint64_t*>(request.result);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(std::vector<uint64_t>(list, list + 3), (std::vector<uint64_t>{1, 4608, 5004 - 4608}));
  std::free(list);
}

// Seeks before the start fail as a plain file's do, and a write at the largest
// position reports the disk full; neither stops the archive.
TEST_F(ContainerStream, UnreachablePositionsAreRefusedWithoutStoppingTheArchive) {
  auto archive = Create(dir.get(), u"p.qmv", Parameters(512));
  archive->Seek(-1);
  EXPECT_EQ(archive->TakeError().Code(), Common::kErrSeekFailed);
  archive->SeekEnd(-1);
  EXPECT_EQ(archive->TakeError().Code(), Common::kErrSeekFailed);
  archive->Seek(INT64_MAX);
  size_t done = 1;
  archive->Write("x", 1, done);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(archive->TakeError().Code(), Common::kErrDiskFull);
  WriteAt(*archive, 0, "still works");
  archive->Flush();
  ASSERT_FALSE(archive->HasError()) << archive->LastError().ToString();
  EXPECT_EQ(ReadAt(*archive, 0, 11), "still works");
}

// A failed read changes nothing: once the caller has taken its error, writes
// and commits go on. (A failed change stops the archive: see the crash tests.)
TEST_F(ContainerStream, AFailedReadDoesNotStopTheArchive) {
  Make(u"d.qmv", Pattern(64 << 10, 3));
  ASSERT_EQ(::truncate((tmp / "d.qmv").c_str(), 20 * 512), 0);  // the later data blocks are gone
  auto archive = Append(dir.get(), u"d.qmv");
  ASSERT_TRUE(archive);
  ReadAt(*archive, 40 * 512, 10);
  EXPECT_EQ(archive->TakeError().Code(), Common::kErrCorrupted);
  WriteAt(*archive, 200000, "new");
  archive->Flush();
  ASSERT_FALSE(archive->HasError()) << archive->LastError().ToString();
  archive.reset();
  auto reader = OpenRead(dir.get(), u"d.qmv");
  ASSERT_TRUE(reader);
  EXPECT_EQ(ReadAt(*reader, 200000, 3), "new");
  EXPECT_EQ(ReadAt(*reader, 0, 100), Pattern(64 << 10, 3).substr(0, 100));
}

TEST_F(ContainerStream, TruncateFreesBlocksAndZeroesTheOldTail) {
  Make(u"t.qmv", Pattern(4096, 9));
  auto archive = Append(dir.get(), u"t.qmv");
  archive->Truncate(100);
  EXPECT_EQ(archive->GetInfo().allocated_bytes, 100u);  // counted up to the logical size only
  archive->Truncate(3000);
  ASSERT_FALSE(archive->HasError());
  const std::string expected = Pattern(4096, 9).substr(0, 100) + std::string(2900, '\0');
  EXPECT_EQ(ReadAll(*archive), expected);
  archive->Flush();
  EXPECT_EQ(archive->GetInfo().allocated_blocks, 1u);
  EXPECT_EQ(archive->GetInfo().allocated_bytes, 512u);
  archive.reset();
  EXPECT_EQ(Content(u"t.qmv"), expected);
}

// Writing at the end needs no read of the partial last block; writing inside does.
TEST_F(ContainerStream, PartialBlockAtTheEndIsNotReadBack) {
  auto state = std::make_shared<zyk_test::FaultState>();
  zyk_test::FaultDir faulty(MakePosixDir(tmp.path()), state);
  auto archive = Create(&faulty, u"p.qmv", Parameters(512));
  WriteAt(*archive, 0, Pattern(2048, 1));
  archive->Flush();
  auto data_reads = [&] {
    return std::count_if(state->Log().begin(), state->Log().end(), [](const zyk_test::FaultEvent& e) {
      return e.type == zyk_test::EventType::kRead && e.offset >= 3 * 512;
    });
  };
  const auto before = data_reads();
  WriteAt(*archive, 2048, "appended");
  archive->Flush();
  EXPECT_EQ(data_reads(), before);
  WriteAt(*archive, 512, "middle");
  EXPECT_GT(data_reads(), before);
  std::string expected = Pattern(2048, 1) + "appended";
  expected.replace(512, 6, "middle");
  EXPECT_EQ(ReadAll(*archive), expected);
}

TEST_F(ContainerStream, AutoCommitWaitsUntilMoreThanTheThresholdWasWritten) {
  auto archive = Create(dir.get(), u"a.qmv", Parameters(512, INT64_MAX, 2 * 512));
  const uint32_t start = archive->GetInfo().sequence;
  WriteAt(*archive, 0, Pattern(1024, 1));
  WriteAt(*archive, 100 * 512, "x");  // two blocks written out: exactly the threshold
  EXPECT_EQ(archive->GetInfo().sequence, start);
  WriteAt(*archive, 200 * 512, "y");  // three: more than the threshold, so this commits
  EXPECT_NE(archive->GetInfo().sequence, start);
}

// 20 MiB in chunks that never line up with blocks, then in one call from a
// later block: the 8 MiB write cache wraps.
TEST_F(ContainerStream, WritesBeyondTheCacheRingKeepTheirContent) {
  auto archive = Create(dir.get(), u"big.qmv", Parameters(4096));
  const std::string content = Pattern(20 * 1024 * 1024 + 333, 11);
  for (auto [start, chunk] : {std::pair<size_t, size_t>{0, 100003}, {3 * 4096, content.size()}}) {
    archive->Seek(static_cast<int64_t>(start));
    for (size_t offset = 0; offset < content.size(); offset += chunk) {
      size_t n = std::min(chunk, content.size() - offset), done = 0;
      archive->Write(content.data() + offset, n, done);
      ASSERT_EQ(done, n);
    }
    ASSERT_EQ(ReadAt(*archive, static_cast<int64_t>(start), content.size()), content);
  }
  const std::string expected = content.substr(0, 3 * 4096) + content;
  EXPECT_EQ(ReadAll(*archive), expected);
  archive->Flush();
  ASSERT_FALSE(archive->HasError());
  archive.reset();
  EXPECT_EQ(Content(u"big.qmv"), expected);

  // A window that continues one a flush emptied in slot 3 wraps; a rewrite
  // inside it, before anything reads, crosses the ring's end.
  auto ring = Create(dir.get(), u"ring.qmv", Parameters(4096));
  const std::string zeros(3 * 4096, '\0'), first = Pattern(2046 * 4096, 12), patch = Pattern(5 * 4096, 13);
  for (auto [block, bytes] : {std::pair<int64_t, const std::string*>{0, &zeros}, {3, &first}, {2044, &patch}}) {
    size_t done = 0;
    ring->Seek(block * 4096);
    ring->Write(bytes->data(), bytes->size(), done);
    ASSERT_EQ(done, bytes->size());
    if (block == 0) ring->Flush();
  }
  const std::string expected_ring =
      std::string(3 * 4096, '\0') + std::string(first).replace(2041 * 4096, 5 * 4096, patch);
  EXPECT_TRUE(ReadAll(*ring) == expected_ring) << "the rewrite across the ring's end lost its last block";
}

}  // namespace
