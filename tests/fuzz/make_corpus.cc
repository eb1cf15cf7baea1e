// Writes the seeds that need the library or a builder to make them:
// fuzz_make_corpus <corpus folder>. Archives are made by the library itself in
// memory, tree nodes by its encoder, zips by the test zip builder. Hand-picked
// inputs (paths, names, operation sequences) are committed as they are.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/backup/archive_name_generator.h"
#include "core/backup/container_api.h"
#include "core/backup/container_format.h"
#include "core/backup/container_tree.h"
#include "file/zip_builder.h"
#include "support/memory_dir.h"

namespace {

namespace fs = std::filesystem;
using backupmedia::Extent;

fs::path g_root;

void Save(const char* target, const std::string& name, const std::string& bytes) {
  fs::create_directories(g_root / target);
  std::ofstream(g_root / target / name, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Bytes(const zyk_test::MemoryBytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

void Write(backupmedia::ContainerArchive& archive, int64_t offset, const std::string& bytes) {
  archive.Seek(offset);
  size_t done = 0;
  archive.Write(bytes.data(), bytes.size(), done);
}

// The volume files (at most four) of an archive with two commits, so that both
// header copies are valid, a hole and a punched block.
std::vector<std::string> MakeVolumes(uint32_t block_size, uint32_t blocks_per_volume, bool fragmented) {
  zyk_test::MemoryDir dir;
  backupmedia::ArchiveParameters parameters;
  parameters.block_size = block_size;
  if (blocks_per_volume != 0) parameters.max_volume_size = int64_t{block_size} * blocks_per_volume;
  Common::Error error;
  auto archive = backupmedia::CreateContainerArchive(&dir, u"a.QMV", nullptr, &parameters, error, true);
  if (!archive) {
    std::fprintf(stderr, "create failed: %s\n", error.ToString().c_str());
    std::exit(1);
  }
  Write(*archive, 0, std::string(block_size * 2 + 100, 'x'));
  archive->Flush();
  Write(*archive, block_size * 5, "after a hole");
  ControlRequest punch{kControlDeallocate, 0, int64_t{block_size}, nullptr};
  archive->IOCTL(&punch);
  archive->Flush();
  // Every other block written, in two passes: extents that never merge, so
  // the trees grow below their roots.
  for (int pass = 0; fragmented && pass < 2; ++pass) {
    for (uint32_t i = 0; i < 50; ++i) Write(*archive, int64_t{block_size} * (8 + 2 * i + pass), std::string(9, 'f'));
    archive->Flush();
  }
  archive.reset();

  backupmedia::ArchiveNameGenerator names(u"a.QMV");
  std::vector<std::string> volumes;
  for (uint32_t v = 0;; ++v) {
    auto it = dir.Files()->find(names.GetName(blocks_per_volume == 0 ? 0 : v + 1));
    if (it == dir.Files()->end()) break;
    volumes.push_back(Bytes(*it->second));
    if (blocks_per_volume == 0) break;
  }
  if (volumes.size() > 4) volumes.resize(4);
  return volumes;
}

// The volume files in the archive_read input layout.
std::string Input(const std::vector<std::string>& volumes, uint8_t flags) {
  std::string input(1, static_cast<char>((volumes.size() - 1) | flags));
  for (size_t v = 0; v < volumes.size(); ++v) {
    if (v + 1 < volumes.size()) input += {static_cast<char>(volumes[v].size()), static_cast<char>(volumes[v].size() >> 8)};
    input += volumes[v];
  }
  return input;
}

void SaveArchive(uint32_t block_size, uint32_t blocks_per_volume, uint8_t extra_flags, bool fragmented = false) {
  std::vector<std::string> volumes = MakeVolumes(block_size, blocks_per_volume, fragmented);
  Save("archive_read", "bs" + std::to_string(block_size) + (blocks_per_volume ? "_split" : "") +
                           (extra_flags & 8 ? "_by_second_volume" : "") + (extra_flags & 16 ? "_append" : "") +
                           (fragmented ? "_fragmented" : "") + (extra_flags & 32 ? "_retrying" : "") +
                           (extra_flags & 64 ? "_resealed" : ""),
       Input(volumes, (blocks_per_volume == 0 ? 4 : 0) | extra_flags));
}

void SaveNode(const std::string& name, const std::vector<Extent>& entries, uint32_t bytes) {
  std::string record(bytes, '\0');
  backupmedia::EncodeNode(entries, reinterpret_cast<uint8_t*>(record.data()), bytes);
  Save("tree_node", name, record);
}

std::string Catalog() {
  // Two messages: slots at 8 and 12, texts after the table.
  std::u16string texts[] = {u"Disk full.", u"Not found."};
  std::string out(16, '\0');
  std::string body;
  uint32_t position = 16;
  for (int i = 0; i < 2; ++i) {
    uint32_t slot = 8 + 4 * i;
    uint32_t distance = position - slot;
    for (int b = 0; b < 4; ++b) out[slot + b] = static_cast<char>(distance >> (8 * b));
    for (char16_t unit : texts[i]) body += {static_cast<char>(unit), static_cast<char>(unit >> 8)};
    body += std::string(2, '\0');
    position = 16 + static_cast<uint32_t>(body.size());
  }
  out += body;
  uint32_t size = static_cast<uint32_t>(out.size());
  for (int b = 0; b < 4; ++b) out[b] = static_cast<char>(size >> (8 * b)), out[4 + b] = static_cast<char>(204 >> (8 * b));
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
    return 2;
  }
  g_root = argv[1];

  for (uint32_t block_size : {512u, 1024u, 4096u}) SaveArchive(block_size, 0, 0);
  SaveArchive(512, 0, 16);
  SaveArchive(512, 6, 0);
  SaveArchive(512, 6, 8 | 16);
  SaveArchive(512, 0, 16, true);
  SaveArchive(1024, 5, 16 | 32);
  SaveArchive(512, 0, 16 | 64, true);
  SaveArchive(1024, 6, 64);
  // Volume 2 from another archive of the same shape.
  std::vector<std::string> mixed = MakeVolumes(512, 6, false);
  mixed[1] = MakeVolumes(512, 6, false)[1];
  Save("archive_read", "bs512_split_foreign_volume", Input(mixed, 16));
  // Header copies of the older layout (root records from byte 40), resealed.
  std::vector<std::string> older = MakeVolumes(4096, 0, false);
  for (size_t copy = 1; copy <= 2; ++copy) {
    char* header = older[0].data() + copy * 4096;
    backupmedia::Store32(reinterpret_cast<uint8_t*>(header) + 8, 40);
    backupmedia::Store32(reinterpret_cast<uint8_t*>(header) + 12, (4096 - 40) / 3);
    backupmedia::Store32(reinterpret_cast<uint8_t*>(header) + 16, 0);
  }
  Save("archive_read", "bs4096_older_layout", Input(older, 4 | 64));

  SaveNode("empty_root", {}, 31);
  SaveNode("root_one_extent", {{0, 100, 8}}, 31);
  SaveNode("root_descending_values", {{1, 900, 2}, {10, 500, 1}, {40, 20, 3}}, 31);
  SaveNode("block_many_extents", [] {
    std::vector<Extent> entries;
    for (uint64_t i = 0; i < 40; ++i) entries.push_back({i * 7 + 1, 1000 + i * 13, 1 + i % 4});
    return entries;
  }(), 512);
  SaveNode("block_wide_numbers", {{1ull << 40, 1ull << 50, 3}, {(1ull << 41), 5, 1ull << 20}}, 512);

  using zyk_test::BuildZip;
  const std::string catalog = Catalog();
  Save("zip_reader", "catalog_deflated", BuildZip({{"zyk_backend_local.msg", catalog}}).bytes);
  Save("zip_reader", "catalog_localized_stored",
       BuildZip({{"de/zyk_backend_local.msg", catalog, 0}, {"zyk_backend_local.msg", catalog, 8, true}}).bytes);
  Save("zip_reader", "prefixed_with_comment",
       std::string(300, '\x7f') + BuildZip({{"a.txt", std::string(5000, 'a')}, {"dir/", ""}}, "a comment").bytes);
  Save("zip_reader", "unknown_method", BuildZip({{"x", "stored as method 12", 12}}).bytes);
  Save("zip_reader", "empty", BuildZip({}).bytes);
  Save("zip_reader", "bare_catalog", catalog);

  return 0;
}
