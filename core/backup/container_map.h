#pragma once
// MapArchive: where an archive's logical stream is stored, as the map command
// of disk-image tools shows it.

#include <cstdint>
#include <vector>

#include "core/backup/container_archive.h"

namespace backupmedia {

// A run of the logical stream: [offset, offset + length) bytes stored from
// physical block `block` on, or a hole when `block` is 0.
struct MapRun {
  uint64_t offset = 0;
  uint64_t length = 0;
  uint64_t block = 0;
  friend bool operator==(const MapRun&, const MapRun&) = default;
};

// The whole stream from 0 to its size as alternating runs: data runs merged
// where both the stream and the blocks continue, holes merged. Shows the last
// committed state of an archive opened for reading. Throws Common::Error.
std::vector<MapRun> MapArchive(ContainerArchive& archive);

}  // namespace backupmedia
