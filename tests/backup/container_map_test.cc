// The archive map against the allocation list and the volume file's own bytes.

#include "core/backup/container_map.h"

#include <cstdlib>
#include <random>

#include "support/test_support.h"
#include "tests/backup/container_test_util.h"

namespace {

using namespace container_test;
using backupmedia::MapRun;

TEST(ContainerMap, RunsMatchTheAllocationListAndTheStoredBytes) {
  const uint64_t seed = zyk_test::TestSeed();
  std::mt19937_64 random(seed);
  zyk_test::TempDir tmp;
  auto dir = MakePosixDir(tmp.path());
  const uint32_t bs = 512;
  {
    auto archive = Create(dir.get(), u"m.qmv", Parameters(bs));
    for (int step = 0; step < 60; ++step) {
      uint64_t offset = random() % (200 * bs);
      if (step % 10 == 9) {
        ControlRequest punch{kControlDeallocate, static_cast<int64_t>(offset),
                             static_cast<int64_t>(random() % (20 * bs)), nullptr};
        archive->IOCTL(&punch);
      } else {
        WriteAt(*archive, static_cast<int64_t>(offset), Pattern(1 + random() % (8 * bs), static_cast<uint32_t>(step)));
      }
      if (step % 20 == 19) archive->Flush();
    }
    archive->Flush();
    ASSERT_FALSE(archive->HasError());
  }
  auto reader = OpenRead(dir.get(), u"m.qmv");
  const std::string content = ReadAll(*reader);
  const std::vector<uint8_t> volume = FileBytes(tmp / "m.qmv");
  std::vector<MapRun> runs = backupmedia::MapArchive(*reader);

  ControlRequest request{kControlAllocationMap, 0, INT64_MAX, nullptr};
  reader->IOCTL(&request);
  ASSERT_NE(request.result, nullptr);
  const uint64_t* list = static_cast<const uint64_t*>(request.result);
  std::vector<std::pair<uint64_t, uint64_t>> allocated(list[0]), data;  // (offset, length)
  for (uint64_t i = 0; i < list[0]; ++i) allocated[i] = {list[1 + 2 * i], list[2 + 2 * i]};
  std::free(request.result);

  uint64_t position = 0;
  for (size_t i = 0; i < runs.size(); ++i) {
    const MapRun& run = runs[i];
    ASSERT_EQ(run.offset, position) << "runs cover the stream without gaps";
    ASSERT_GT(run.length, 0u);
    if (i > 0) {
      EXPECT_FALSE(run.block == 0 && runs[i - 1].block == 0) << "holes are merged";
    }
    position += run.length;
    if (run.block == 0) {
      EXPECT_EQ(content.substr(run.offset, run.length), std::string(run.length, '\0')) << "hole at " << run.offset;
      continue;
    }
    ASSERT_LE(run.block * bs + run.length, volume.size());
    EXPECT_EQ(content.substr(run.offset, run.length),
              std::string(volume.begin() + run.block * bs, volume.begin() + run.block * bs + run.length))
        << "data run at " << run.offset;
    if (!data.empty() && data.back().first + data.back().second == run.offset)
      data.back().second += run.length;
    else
      data.emplace_back(run.offset, run.length);
  }
  EXPECT_EQ(position, content.size());
  EXPECT_EQ(data, allocated);
}

}  // namespace
