// Random operations on an archive against a byte-string model, with reopening
// after flushes, for several block sizes and split volumes.

#include <random>

#include "support/test_support.h"
#include "tests/backup/container_test_util.h"

namespace {

using namespace container_test;

struct ModelConfig {
  const char* name;
  uint32_t block_size;
  int64_t volume_size;
};

void ExpectContent(ContainerArchive& archive, const std::string& model, uint64_t op) {
  ASSERT_EQ(archive.GetSize(), model.size()) << "op " << op;
  std::string content = ReadAll(archive);
  ASSERT_FALSE(archive.HasError()) << archive.LastError().ToString() << " op " << op;
  ASSERT_TRUE(content == model) << "content differs after op " << op;
}

void RunModel(const ModelConfig& config, uint64_t operations, uint64_t seed) {
  zyk_test::TempDir tmp;
  auto posix = MakePosixDir(tmp.path());
  rio_dir* dir = posix.get();
  std::mt19937_64 random(seed);
  auto below = [&](uint64_t n) { return n == 0 ? 0 : random() % n; };
  const uint64_t bs = config.block_size;
  const uint64_t max_size = std::max<uint64_t>(256 * bs, 1 << 20);

  auto archive = Create(dir, u"model.qmv", Parameters(config.block_size, config.volume_size));
  ASSERT_TRUE(archive);
  std::string model;
  bool flushed_since_change = true;
  for (uint64_t op = 0; op < operations; ++op) {
    uint64_t kind = below(100);
    if (kind < 40) {  // write
      uint64_t offset = below(std::min<uint64_t>(model.size() + 2 * bs, max_size));
      uint64_t length = below(4) == 0 ? 1 + below(8 * bs) : 1 + below(bs + 2);
      std::string bytes = Pattern(length, static_cast<uint32_t>(random()));
      WriteAt(*archive, static_cast<int64_t>(offset), bytes);
      if (model.size() < offset + length) model.resize(offset + length, '\0');
      model.replace(offset, length, bytes);
      flushed_since_change = false;
    } else if (kind < 60) {  // read and compare
      uint64_t offset = below(model.size() + bs);
      uint64_t length = 1 + below(4 * bs);
      std::string got = ReadAt(*archive, static_cast<int64_t>(offset), length);
      ASSERT_FALSE(archive->HasError()) << archive->LastError().ToString();
      std::string expected = offset < model.size() ? model.substr(offset, length) : "";
      ASSERT_TRUE(got == expected) << "read at " << offset << " length " << length << " op " << op;
    } else if (kind < 68) {  // truncate
      uint64_t size = below(model.size() + model.size() / 2 + 2 * bs);
      archive->Truncate(size);
      ASSERT_FALSE(archive->HasError()) << archive->LastError().ToString();
      model.resize(size, '\0');
      flushed_since_change = false;
    } else if (kind < 76) {  // punch: whole blocks become holes, the whole range reads as zeros
      uint64_t offset = below(model.size() + bs);
      uint64_t length = below(6 * bs);
      ControlRequest request{kControlDeallocate, static_cast<int64_t>(offset), static_cast<int64_t>(length), nullptr};
      archive->IOCTL(&request);
      ASSERT_FALSE(archive->HasError()) << archive->LastError().ToString();
      for (uint64_t i = offset; i < offset + length && i < model.size(); ++i) model[i] = '\0';
      flushed_since_change = false;
    } else if (kind < 84) {  // every gap between the allocated ranges reads as zeros
      ControlRequest request{kControlAllocationMap, 0, INT64_MAX, nullptr};
      archive->IOCTL(&request);
      ASSERT_FALSE(archive->HasError());
      auto* list = static_cast<uint64_t*>(request.result);
      uint64_t position = 0;
      for (uint64_t i = 0; i <= list[0]; ++i) {
        uint64_t end = std::min<uint64_t>(i < list[0] ? list[1 + 2 * i] : model.size(), model.size());
        ASSERT_TRUE(position >= end || model.find_first_not_of('\0', position) >= end)
            << "allocation list misses data before " << end << ", op " << op;
        if (i < list[0]) position = std::max(position, list[1 + 2 * i] + list[2 + 2 * i]);
      }
      std::free(list);
    } else if (kind < 94) {
      archive->Flush();
      ASSERT_FALSE(archive->HasError()) << archive->LastError().ToString();
      flushed_since_change = true;
    } else if (flushed_since_change) {  // reopen: read-only check, then append
      archive.reset();
      auto reader = OpenRead(dir, u"model.qmv");
      ASSERT_TRUE(reader);
      ExpectContent(*reader, model, op);
      reader.reset();
      archive = Append(dir, u"model.qmv");
      ASSERT_TRUE(archive);
    }
  }
  archive->Flush();
  ASSERT_FALSE(archive->HasError());
  archive.reset();
  auto reader = OpenRead(dir, u"model.qmv");
  ASSERT_TRUE(reader);
  ExpectContent(*reader, model, operations);
}

TEST(ContainerModel, ContentAlwaysMatchesTheModel) {
  const ModelConfig configs[] = {
      {"512", 512, INT64_MAX},
      {"4096", 4096, INT64_MAX},
      {"65536", 65536, INT64_MAX},
      {"split 512 x 64", 512, 64 * 512},
      {"split 4096 x 16", 4096, 16 * 4096},
  };
  uint64_t seed = zyk_test::TestSeed();
  uint64_t operations = zyk_test::Scaled(20000, 200);
  for (const ModelConfig& config : configs) {
    SCOPED_TRACE(config.name);
    RunModel(config, operations, seed);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
