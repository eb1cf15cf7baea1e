// qmv map: the logical stream as runs of data (with their first block) and holes.

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "core/backup/container_api.h"
#include "core/backup/container_map.h"
#include "tools/qmv/commands.h"
#include "tools/qmv/qmv_support.h"

namespace qmv {

int RunMap(const std::vector<const char*>& args) {
  bool json = false;
  const char* file = nullptr;
  for (const char* arg : args) {
    if (std::strcmp(arg, "--json") == 0) {
      json = true;
    } else if (file == nullptr && arg[0] != '-') {
      file = arg;
    } else {
      std::fprintf(stderr, "qmv map: unexpected argument\nusage: qmv map [--json] ARCHIVE\n");
      return 2;
    }
  }
  if (file == nullptr) {
    std::fprintf(stderr, "qmv map: missing ARCHIVE\nusage: qmv map [--json] ARCHIVE\n");
    return 2;
  }
  Target target(file);
  Common::Error error;
  auto archive = backupmedia::OpenContainerArchive(target.dir.get(), target.path.c_str(), nullptr, error, false);
  if (!archive) return Fail("map", error);
  std::vector<backupmedia::MapRun> runs;
  try {
    runs = backupmedia::MapArchive(*archive);
  } catch (const Common::Error& failure) {
    return Fail("map", failure);
  }
  if (json) {
    std::printf("[");
    for (size_t i = 0; i < runs.size(); ++i) {
      const backupmedia::MapRun& run = runs[i];
      std::printf("%s\n  {\"start\": %" PRIu64 ", \"length\": %" PRIu64 ", \"data\": %s", i ? "," : "", run.offset,
                  run.length, run.block ? "true" : "false");
      if (run.block) std::printf(", \"block\": %" PRIu64, run.block);
      std::printf("}");
    }
    std::printf("%s]\n", runs.empty() ? "" : "\n");
    return 0;
  }
  std::printf("%-20s%-20s%s\n", "Offset", "Length", "Block");
  for (const backupmedia::MapRun& run : runs) {
    if (run.block)
      std::printf("%-20" PRIu64 "%-20" PRIu64 "%" PRIu64 "\n", run.offset, run.length, run.block);
    else
      std::printf("%-20" PRIu64 "%-20" PRIu64 "hole\n", run.offset, run.length);
  }
  return 0;
}

}  // namespace qmv
