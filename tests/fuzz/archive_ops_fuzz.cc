// Stream operations on a valid container archive in memory, against a model of
// its bytes. The first input byte chooses the geometry (block size 512 or
// 1024, one volume or volumes of a few blocks); each operation after it is an
// opcode byte and its arguments. Nothing fails underneath, so every operation
// must succeed; after every flush the archive checker must find it consistent,
// what was flushed must survive closing and reopening, and what was not must
// be gone.

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "core/backup/container_api.h"
#include "core/backup/container_check.h"
#include "fuzz/fuzz_targets.h"
#include "support/memory_dir.h"
#include "support/pattern.h"

namespace zyk_fuzz {
namespace {

using backupmedia::ContainerArchive;

// Consumes the input from the front; runs dry as zeros.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return at_ >= size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint32_t Short() { return Byte() | static_cast<uint32_t>(Byte()) << 8; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

using zyk_test::Pattern;

class Session {
 public:
  explicit Session(uint8_t geometry) {
    parameters_.block_size = (geometry & 1) != 0 ? 1024 : 512;
    if ((geometry & 2) != 0) parameters_.max_volume_size = int64_t{parameters_.block_size} * (4 + (geometry >> 2) % 8);
    Common::Error error;
    archive_ = backupmedia::CreateContainerArchive(&dir_, kName, nullptr, &parameters_, error, true);
    FUZZ_CHECK(archive_ != nullptr);
  }

  void Write(uint64_t offset, size_t length, uint8_t seed) {
    std::string bytes = Pattern(length, seed);
    archive_->Seek(static_cast<int64_t>(offset));
    size_t done = 0;
    archive_->Write(bytes.data(), bytes.size(), done);
    ExpectHealthy();
    FUZZ_CHECK(done == length);
    if (length == 0) return;  // as with a plain file, writing nothing does not extend
    if (model_.size() < offset + length) model_.resize(offset + length, '\0');
    model_.replace(offset, length, bytes);
  }
  void Truncate(uint64_t length) {
    archive_->Truncate(length);
    ExpectHealthy();
    model_.resize(length, '\0');
  }
  // Every byte of the range below the size reads as zero afterwards.
  void Punch(uint64_t offset, uint64_t length) {
    ControlRequest request{kControlDeallocate, static_cast<int64_t>(offset), static_cast<int64_t>(length), nullptr};
    archive_->IOCTL(&request);
    ExpectHealthy();
    const uint64_t end = std::min<uint64_t>(offset + length, model_.size());
    if (end > offset) std::fill(model_.begin() + offset, model_.begin() + end, '\0');
  }
  void Flush() {
    archive_->Flush();
    ExpectHealthy();
    flushed_ = model_;
    backupmedia::CheckReport report = backupmedia::CheckArchive(dir_, kName);
    for (const backupmedia::CheckFinding& finding : report.findings)
      std::fprintf(stderr, "check: %s block %llu: %s\n", finding.tree.c_str(),
                   static_cast<unsigned long long>(finding.block), finding.what.c_str());
    FUZZ_CHECK(report.Consistent());
  }
  // Closing without a flush drops what was written since the last one.
  void Reopen(bool read_only) {
    archive_.reset();
    model_ = flushed_;
    Common::Error error;
    archive_ = read_only ? backupmedia::OpenContainerArchive(&dir_, kName, nullptr, error, true)
                         : backupmedia::AppendContainerArchive(&dir_, kName, nullptr, &parameters_, error, true);
    FUZZ_CHECK(archive_ != nullptr);
    ExpectContent(0, model_.size());
    if (read_only) Reopen(false);
  }
  void ExpectContent(uint64_t offset, uint64_t length) {
    FUZZ_CHECK(archive_->GetSize() == model_.size());
    uint64_t end = std::min<uint64_t>(offset + length, model_.size());
    if (offset >= end) return;
    std::string bytes(end - offset, '\0');
    archive_->Seek(static_cast<int64_t>(offset));
    size_t done = 0;
    archive_->Read(bytes.data(), bytes.size(), done);
    ExpectHealthy();
    FUZZ_CHECK(done == bytes.size());
    FUZZ_CHECK(bytes == model_.substr(offset, bytes.size()));
  }
  void ExpectHealthy() {
    if (archive_->HasError()) {
      std::fprintf(stderr, "archive error: %s\n", archive_->LastError().ToString().c_str());
      FUZZ_CHECK(!archive_->HasError());
    }
  }
  uint32_t BlockSize() const { return parameters_.block_size; }

 private:
  static constexpr const char16_t* kName = u"a.QMV";
  zyk_test::MemoryDir dir_;
  backupmedia::ArchiveParameters parameters_;
  std::unique_ptr<ContainerArchive> archive_;
  std::string model_;    // the stream as written
  std::string flushed_;  // the stream as of the last flush
};

}  // namespace

int ArchiveOperations(const uint8_t* data, size_t size) {
  if (size < 1 || size > 2048) return 0;
  Input input(data, size);
  Session session(input.Byte());
  const uint32_t block = session.BlockSize();
  for (int op = 0; op < 64 && !input.Empty(); ++op) {
    switch (input.Byte() % 8) {
      case 0:  // a write of up to four blocks somewhere in the first 64 KiB
      case 1: {
        uint64_t offset = input.Short();
        size_t length = input.Short() % (4 * block + 1);
        session.Write(offset, length, input.Byte());
        break;
      }
      case 2: session.Truncate(input.Short()); break;
      case 3: {
        uint64_t offset = input.Short();
        session.Punch(offset, input.Short());
        break;
      }
      case 4: session.Flush(); break;
      case 5:
      case 6: session.Reopen(input.Byte() & 1); break;
      case 7: {
        uint64_t offset = input.Short();
        session.ExpectContent(offset, input.Short());
        break;
      }
    }
  }
  session.Flush();
  session.Reopen(true);
  return 0;
}

}  // namespace zyk_fuzz
