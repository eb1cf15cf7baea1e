// Container archives from arbitrary volume files, kept in memory. The input is
// one flag byte, then the volume files: each but the last preceded by its
// 16-bit length, the last taking the rest. Flags: bits 0-1 the volume count
// less one; bit 2 names volume 0 plainly ("a.QMV", a single-volume archive)
// instead of as part 1 of a split one ("a1.QMV"); bit 3 opens the archive by
// the name of its second volume; bit 4 also appends to it; bit 5 gives the
// archive a retry callback that asks for three retries, then gives up; bit 6
// recomputes the checksums of every label and of volume 0's header copies, so
// that changed fields get past the checksums to the code that reads them.
//
// The archive is checked, opened, read (what it reports as allocated, then its
// start) and summarised. An archive the checker finds free of corruption must
// open and read without an error. With bit 4 it is then appended to, flushed
// and opened again; when it was free of corruption before, it must still be,
// and the appended bytes must read back.

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "core/backup/archive_name_generator.h"
#include "core/backup/container_api.h"
#include "core/backup/container_check.h"
#include "core/backup/container_format.h"
#include "fuzz/fuzz_targets.h"
#include "support/memory_dir.h"

namespace zyk_fuzz {
namespace {

using backupmedia::ContainerArchive;

constexpr uint64_t kMaxReadBytes = uint64_t{1} << 18;

class BoundedRetries : public backupmedia::CallbackHolder {
 public:
  void Request() override { request.result = ++calls_ > 3 ? 1 : 0; }

 private:
  int calls_ = 0;
};

// Seals the label of a volume file and, in volume 0, both header copies.
void Reseal(zyk_test::MemoryBytes& file, bool first_volume) {
  using namespace backupmedia;
  if (file.size() < kLabelSize || Load32(file.data()) != kLabelMagic) return;
  uint16_t length = std::clamp<uint16_t>(Load16(file.data() + 4), kLabelMinSize, kLabelSize);
  Store16(file.data() + 4, length);
  Store32(file.data() + 24, 0);
  Store32(file.data() + 24, Adler32(file.data(), length));
  uint32_t block_size = Load32(file.data() + 28);
  if (!first_volume || !IsValidBlockSize(block_size)) return;
  for (uint64_t copy = 1; copy <= 2 && (copy + 1) * block_size <= file.size(); ++copy)
    SealHeader(file.data() + copy * block_size, block_size);
}

std::unique_ptr<backupmedia::CallbackHolder> Callback(uint8_t flags) {
  if ((flags & 32) == 0) return nullptr;
  return std::make_unique<BoundedRetries>();
}

// Reads [offset, offset + length) in chunks; every read that reports no error
// delivers all it can below the archive's size. False when a read failed.
bool ReadRange(ContainerArchive& archive, uint64_t offset, uint64_t length, uint64_t& budget) {
  const uint64_t size = archive.GetSize();
  std::vector<uint8_t> buffer(8192);
  archive.Seek(static_cast<int64_t>(offset));
  while (length > 0 && budget > 0 && !archive.HasError()) {
    size_t want = static_cast<size_t>(std::min<uint64_t>({length, buffer.size(), budget}));
    size_t done = 0;
    archive.Read(buffer.data(), want, done);
    if (archive.HasError()) break;
    uint64_t available = offset < size ? size - offset : 0;
    FUZZ_CHECK(done == std::min<uint64_t>(want, available));
    if (done == 0) break;
    offset += done;
    length -= done;
    budget -= done;
  }
  return archive.TakeError().Ok();
}

// False when a read or the allocation list failed.
bool ReadEverything(ContainerArchive& archive) {
  uint64_t budget = kMaxReadBytes;
  ControlRequest request{kControlAllocationMap, 0, INT64_MAX, nullptr};
  archive.IOCTL(&request);
  bool ok = archive.TakeError().Ok();
  if (ok && request.result != nullptr) {
    const auto* list = static_cast<const uint64_t*>(request.result);
    for (uint64_t i = 0; i < list[0] && i < 64; ++i)
      ok = ReadRange(archive, list[1 + 2 * i], list[2 + 2 * i], budget) && ok;
  }
  std::free(request.result);
  ok = ReadRange(archive, 0, archive.GetSize(), budget) && ok;
  try {
    (void)archive.GetInfo();
  } catch (const Common::Error&) {
    // A summary walks every tree node: damage a read never reached shows here.
  }
  return ok;
}

bool FreeOfCorruption(zyk_test::MemoryDir& dir, const char16_t* name) {
  backupmedia::CheckReport report = backupmedia::CheckArchive(dir, name);
  return report.Ran() && report.corruptions == 0;
}

void AppendAndReadBack(zyk_test::MemoryDir& dir, const char16_t* name, bool sound, uint8_t flags) {
  const std::string tail = "appended by the archive fuzz target";
  Common::Error error;
  backupmedia::ArchiveParameters parameters;
  auto archive = backupmedia::AppendContainerArchive(&dir, name, Callback(flags), &parameters, error, true);
  if (archive == nullptr && sound) std::fprintf(stderr, "append open failed: %s\n", error.ToString().c_str());
  FUZZ_CHECK(archive != nullptr || !sound);
  if (!archive) return;
  uint64_t end = archive->GetSize();
  if (end > kMaxReadBytes) return;
  archive->SeekEnd(0);
  size_t done = 0;
  archive->Write(tail.data(), tail.size(), done);
  archive->Flush();
  bool written = !archive->HasError() && done == tail.size();
  // The in-memory volumes end at 64 MiB: an allocation cursor far out meets a full disk.
  bool disk_full = archive->LastError().Code() == Common::kErrDiskFull;
  if (!written && sound && !disk_full)
    std::fprintf(stderr, "append failed: %s\n", archive->LastError().ToString().c_str());
  FUZZ_CHECK(written || !sound || disk_full);
  archive.reset();
  if (sound) FUZZ_CHECK(FreeOfCorruption(dir, name));

  auto reread = backupmedia::OpenContainerArchive(&dir, name, Callback(flags), error, true);
  if (!written) return;
  // Damage the opening could not see may still stop a later read, but a
  // reported success must not come back as other bytes.
  FUZZ_CHECK(reread != nullptr);
  std::string back(tail.size(), '\0');
  reread->Seek(static_cast<int64_t>(end));
  reread->Read(back.data(), back.size(), done);
  FUZZ_CHECK(!sound || !reread->HasError());
  if (!reread->HasError()) FUZZ_CHECK(done == tail.size() && back == tail);
}

}  // namespace

int ArchiveRead(const uint8_t* data, size_t size) {
  if (size < 1 || size > (1 << 18)) return 0;
  const uint8_t flags = data[0];
  const size_t volumes = (flags & 3) + 1;
  const bool plain = (flags & 4) != 0 && volumes == 1;
  backupmedia::ArchiveNameGenerator names(u"a.QMV");
  zyk_test::MemoryDir dir;
  size_t at = 1;
  for (size_t v = 0; v < volumes; ++v) {
    size_t length = size - at;
    if (v + 1 < volumes) length = at + 2 <= size ? std::min<size_t>(data[at] | data[at + 1] << 8, size - at - 2) : 0;
    if (v + 1 < volumes) at = std::min(at + 2, size);
    zyk_test::MemoryBytes file(data + at, data + at + length);
    if (flags & 64) Reseal(file, v == 0);
    dir.Put(names.GetName(plain ? 0 : static_cast<uint32_t>(v + 1)), std::move(file));
    at += length;
  }
  const std::u16string name = (flags & 8) != 0 ? u"a2.QMV" : u"a.QMV";

  const bool sound = FreeOfCorruption(dir, name.c_str());
  Common::Error error;
  auto archive = backupmedia::OpenContainerArchive(&dir, name.c_str(), Callback(flags), error, true);
  FUZZ_CHECK((archive != nullptr) == error.Ok());
  if (archive == nullptr && sound) std::fprintf(stderr, "open failed: %s\n", error.ToString().c_str());
  FUZZ_CHECK(archive != nullptr || !sound);
  if (archive) {
    bool read = ReadEverything(*archive);
    FUZZ_CHECK(read || !sound);
  }
  archive.reset();
  if (flags & 16) AppendAndReadBack(dir, name.c_str(), sound, flags);
  return 0;
}

}  // namespace zyk_fuzz
