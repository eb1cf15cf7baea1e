#include "core/backup/container_map.h"

#include <algorithm>

namespace backupmedia {

std::vector<MapRun> MapArchive(ContainerArchive& archive) {
  const uint64_t size = archive.GetSize();
  const uint64_t block_size = archive.BlockSize();
  const uint64_t block_count = (size + block_size - 1) / block_size;
  std::vector<MapRun> runs;
  for (uint64_t logical = 0; logical < block_count;) {
    uint64_t blocks = block_count - logical;
    uint64_t physical = archive.MapBlocks(logical, blocks);
    MapRun run{logical * block_size, std::min(size, (logical + blocks) * block_size) - logical * block_size, physical};
    if (!runs.empty()) {
      MapRun& last = runs.back();
      // Runs before the last block are whole blocks, so lengths count blocks here.
      bool holes = last.block == 0 && physical == 0;
      bool continued = last.block != 0 && physical != 0 && last.block + last.length / block_size == physical;
      if (holes || continued) {
        last.length += run.length;
        logical += blocks;
        continue;
      }
    }
    runs.push_back(run);
    logical += blocks;
  }
  return runs;
}

}  // namespace backupmedia
