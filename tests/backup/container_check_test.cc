// The archive checker and the leak repair against hand-made and damaged archives.

#include "core/backup/container_check.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "core/backup/container_format.h"
#include "core/backup/container_repair.h"
#include "core/backup/container_tree.h"
#include "support/test_support.h"
#include "tests/backup/container_test_util.h"

namespace {

using namespace container_test;
using backupmedia::CheckArchive;
using backupmedia::CheckFinding;
using backupmedia::CheckReport;
using backupmedia::Extent;

constexpr uint32_t kBlock = 512;

bool NamesBlock(const CheckReport& report, uint64_t block) {
  return std::any_of(report.findings.begin(), report.findings.end(), [&](const CheckFinding& f) {
    return f.kind == CheckFinding::Kind::kCorruption && block >= f.block &&
           block - f.block < std::max<uint64_t>(f.count, 1);
  });
}

// The current header copy of a single-volume archive of 512-byte blocks, and
// its node blocks, edited in place.
struct Surgery {
  explicit Surgery(std::string path) : path(std::move(path)), bytes(FileBytes(this->path)) {
    uint32_t first = backupmedia::ValidateHeader(&bytes[kBlock], kBlock);
    uint32_t second = backupmedia::ValidateHeader(&bytes[2 * kBlock], kBlock);
    header = second > first ? 2 * kBlock : kBlock;
  }
  uint8_t* Header() { return &bytes[header]; }
  uint32_t RootSize() { return backupmedia::Load32(Header() + backupmedia::header::kRootSize); }
  uint8_t* Root(int tree) { return Header() + backupmedia::kRootOffset + tree * RootSize(); }
  std::vector<Extent> RootEntries(int tree) { return backupmedia::DecodeNode(Root(tree) + 1, RootSize() - 1); }
  void SetRoot(int tree, const std::vector<Extent>& entries, uint8_t level = 0) {
    Root(tree)[0] = level;
    backupmedia::EncodeNode(entries, Root(tree) + 1, RootSize() - 1);
  }
  std::vector<Extent> Node(uint64_t block) { return backupmedia::DecodeNode(&bytes[block * kBlock], kBlock); }
  void SetNode(uint64_t block, const std::vector<Extent>& entries) {
    backupmedia::EncodeNode(entries, &bytes[block * kBlock], kBlock);
  }
  uint64_t Field(size_t offset) { return backupmedia::Load64(Header() + offset); }
  void SetField(size_t offset, uint64_t value) { backupmedia::Store64(Header() + offset, value); }
  void Save() {
    backupmedia::SealHeader(Header(), kBlock);
    PutFileBytes(path, bytes);
  }
  std::string path;
  std::vector<uint8_t> bytes;
  size_t header;
};

class ContainerCheck : public ::testing::Test {
 public:
  CheckReport Check(const char16_t* name = u"a.qmv") { return CheckArchive(*dir, name); }
  // 3000 two-block extents at scattered logical places: a data map with an
  // internal root over leaves of its own blocks, leaf extents longer than one.
  std::string MakeDeep(uint32_t block_size = kBlock, int64_t volume_size = INT64_MAX) {
    auto archive = Create(dir.get(), u"a.qmv", Parameters(block_size, volume_size));
    std::vector<uint64_t> places(3000);
    for (size_t i = 0; i < places.size(); ++i) places[i] = 3 * i;
    std::shuffle(places.begin(), places.end(), std::mt19937_64(7));
    for (uint64_t place : places) WriteAt(*archive, place * block_size, Pattern(2 * block_size, place));
    archive->Flush();
    EXPECT_FALSE(archive->HasError());
    return ReadAll(*archive);
  }
  // 20 blocks written, truncated to 10: data (0 -> 3, 10), blocks 13..22 free.
  std::string MakeSmall() {
    auto archive = Create(dir.get(), u"a.qmv", Parameters(kBlock));
    WriteAt(*archive, 0, Pattern(20 * kBlock, 3));
    archive->Truncate(10 * kBlock);
    archive->Flush();
    EXPECT_FALSE(archive->HasError());
    return ReadAll(*archive);
  }

  zyk_test::TempDir tmp;
  std::unique_ptr<posix_dir> dir = MakePosixDir(tmp.path());
};

TEST_F(ContainerCheck, HandMadeArchivesAreConsistent) {
  struct Case {
    const char* name;
    std::function<void(ContainerCheck&)> make;
  };
  const Case cases[] = {
      {"empty", [](ContainerCheck& t) { Create(t.dir.get(), u"a.qmv", Parameters(kBlock)); }},
      {"deep 512", [](ContainerCheck& t) { t.MakeDeep(); }},
      {"deep split", [](ContainerCheck& t) { t.MakeDeep(kBlock, 64 * kBlock); }},
      {"truncated", [](ContainerCheck& t) { t.MakeSmall(); }},
      {"holes 64 KiB blocks",
       [](ContainerCheck& t) {
         auto archive = Create(t.dir.get(), u"a.qmv", Parameters(65536));
         WriteAt(*archive, 300000, Pattern(200000, 1));
         WriteAt(*archive, 10, Pattern(100, 2));
         archive->Flush();
       }},
      {"overwritten while a reader kept the old state",
       [](ContainerCheck& t) {
         auto archive = Create(t.dir.get(), u"a.qmv", Parameters(kBlock));
         WriteAt(*archive, 0, Pattern(40000, 1));
         archive->Flush();
         HeldReader reader(t.tmp.path(), u"a.qmv", Pattern(40000, 1));
         WriteAt(*archive, 5000, Pattern(20000, 2));
         archive->Flush();
         ControlRequest punch{kControlDeallocate, 0, 8192, nullptr};
         archive->IOCTL(&punch);
         archive->Flush();
         EXPECT_EQ(reader.Release(), 0);
         // The reader kept the allocation map from being committed.
         Surgery s(t.tmp / "a.qmv");
         EXPECT_NE(std::memcmp(s.Root(1), s.Root(2), s.RootSize()), 0);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(tmp / "a.qmv");
    for (int i = 1; i <= 200; ++i) std::filesystem::remove(tmp / ("a" + std::to_string(i) + ".qmv"));
    c.make(*this);
    CheckReport report = Check();
    EXPECT_TRUE(report.Consistent()) << Describe(report);
  }
}

TEST_F(ContainerCheck, EveryPlantedCorruptionIsFoundAtItsBlock) {
  struct Case {
    const char* name;
    bool deep;
    // Damages the archive and returns the block the checker must name.
    std::function<uint64_t(Surgery&)> plant;
  };
  const Case cases[] = {
      {"node that does not decode", true,
       [](Surgery& s) {
         uint64_t child = s.RootEntries(0)[0].value;
         std::fill_n(&s.bytes[child * kBlock], kBlock, 0xFF);
         return child;
       }},
      {"reference into the header", false,
       [](Surgery& s) {
         s.SetRoot(0, {{0, 2, 1}, {1, 4, 9}});
         return uint64_t{2};
       }},
      {"reference past the high-water mark", false,
       [](Surgery& s) {
         uint64_t high = s.Field(backupmedia::header::kHighWater);
         s.SetRoot(0, {{0, 3, 10}, {10, high, 1}});
         s.SetField(backupmedia::header::kLogicalSize, 11 * kBlock);
         return high;
       }},
      {"block claimed by two leaves", true,
       [](Surgery& s) {
         std::vector<Extent> root = s.RootEntries(0);
         std::vector<Extent> first = s.Node(root[0].value), second = s.Node(root[1].value);
         second.resize(second.size() / 2);  // room for the wider value fields
         second[0].value = first[0].value;
         second[0].count = 1;
         s.SetNode(root[1].value, second);
         return first[0].value;
       }},
      {"block in use that the committed map calls free", false,
       [](Surgery& s) {
         s.SetRoot(2, {{3, 3, 5}});
         s.SetField(backupmedia::header::kCursor, 3);
         return uint64_t{8};
       }},
      {"leaf outside its parent's key range", true,
       [](Surgery& s) {
         std::vector<Extent> root = s.RootEntries(0);
         root[1].key += 2;  // the leaf's first extent now lies before its entry
         s.SetRoot(0, root, s.Root(0)[0]);
         return root[1].value;
       }},
      {"data mapped past the logical size", false,
       [](Surgery& s) {
         s.SetField(backupmedia::header::kLogicalSize, 5 * kBlock);
         return uint64_t{3};
       }},
      {"no valid header copy", false,
       [](Surgery& s) {
         s.bytes[kBlock] ^= 1;
         s.bytes[2 * kBlock] ^= 1;
         return uint64_t{1};
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(tmp / "a.qmv");
    if (c.deep)
      MakeDeep();
    else
      MakeSmall();
    Surgery surgery(tmp / "a.qmv");
    uint64_t block = 0;
    ASSERT_EQ(CodeOf([&] { block = c.plant(surgery); }), 0u);
    if (std::string(c.name) == "no valid header copy")
      PutFileBytes(surgery.path, surgery.bytes);
    else
      surgery.Save();
    CheckReport report = Check();
    ASSERT_TRUE(report.Ran()) << report.check_error.ToString();
    EXPECT_GT(report.corruptions, 0u);
    EXPECT_TRUE(NamesBlock(report, block)) << "block " << block << "\n" << Describe(report);
  }
}

// Blocks 13..22, freed by the truncation, are marked in use in both
// allocation maps: a leak, repaired without changing the data; the same leak
// beside a corruption leaves the archive untouched.
TEST_F(ContainerCheck, LeakIsRepairedOnlyInAnOtherwiseSoundArchive) {
  std::string content = MakeSmall();
  auto plant_leak = [&](bool corrupt) {
    Surgery surgery(tmp / "a.qmv");
    surgery.SetRoot(1, {{3, 3, 20}});
    surgery.SetRoot(2, {{3, 3, 20}});
    if (corrupt) surgery.SetField(backupmedia::header::kLogicalSize, 5 * kBlock);
    surgery.Save();
  };
  plant_leak(false);
  CheckReport report = Check();
  EXPECT_EQ(report.corruptions, 0u) << Describe(report);
  EXPECT_EQ(report.leaks, 10u);
  ASSERT_FALSE(report.findings.empty());
  EXPECT_EQ(report.findings[0].block, 13u);
  uint64_t freed = 0;
  report = backupmedia::RepairArchiveLeaks(*dir, u"a.qmv", freed);
  EXPECT_TRUE(report.Ran()) << report.check_error.ToString();
  EXPECT_EQ(freed, 10u);
  report = Check();
  EXPECT_TRUE(report.Consistent()) << Describe(report);
  EXPECT_EQ(Content(dir.get(), u"a.qmv"), content);

  plant_leak(true);
  std::vector<uint8_t> before = FileBytes(tmp / "a.qmv");
  freed = 1;
  report = backupmedia::RepairArchiveLeaks(*dir, u"a.qmv", freed);
  EXPECT_GT(report.corruptions, 0u);
  EXPECT_EQ(freed, 0u);
  EXPECT_EQ(FileBytes(tmp / "a.qmv"), before);
}

TEST_F(ContainerCheck, FilesThatAreNotArchivesCannotBeChecked) {
  PutFileBytes(tmp / "plain.qmv", std::vector<uint8_t>(5000, 'x'));
  CheckReport report = Check(u"plain.qmv");
  EXPECT_EQ(report.check_error.Code(), Common::kErrCorrupted);
  report = Check(u"missing.qmv");
  EXPECT_EQ(report.check_error.Code(), Common::kErrNotFound);
}

}  // namespace
