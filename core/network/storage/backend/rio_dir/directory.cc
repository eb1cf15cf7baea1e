#include "core/network/storage/backend/rio_dir/directory.h"

#include <cstring>
#include <utility>

#include "core/common/utf8.h"
#include "core/network/storage/backend/rio_dir/result_codes.h"

namespace Network::Storage::Backend {

namespace {

// Record layout: u64 inode, u16 name length with NUL, u8 type, name, NUL.
inline constexpr uint64_t kRecordHeader = 11;

uint8_t RecordType(uint32_t entry_type) {
  if (entry_type == kEntryRegular) return ZYKFS_DT_FILE;
  if (entry_type == kEntryDirectory) return ZYKFS_DT_DIR;
  return ZYKFS_DT_OTHER;
}

}  // namespace

ZykDirectory::ZykDirectory(std::unique_ptr<rio_dir> directory, std::unique_ptr<i_dir::iterator> iterator,
                           std::weak_ptr<TaskManager> manager)
    : FileObject(std::move(manager), 1), directory_(std::move(directory)), iterator_(std::move(iterator)) {}

ZykDirectory::~ZykDirectory() {
  directory_.reset();
  iterator_.reset();
}

Common::Error ZykDirectory::ReadDir(zykfs_readdir_status_t* status) {
  if (status == nullptr) return Common::Error::File(Common::kErrInvalidUsage, ZYK_HERE_AS("ReadDir"));
  const uint64_t capacity = status->size;
  if (capacity < kReadDirMinimumBuffer) return Common::Error(kErrBufferTooSmall, ZYK_HERE_AS("ReadDir"));
  if (!iterator_) return Common::Error(kErrListingEnded, ZYK_HERE_AS("ReadDir"));
  if (status->buffer == nullptr) return Common::Error::File(Common::kErrInvalidUsage, ZYK_HERE_AS("ReadDir"));

  auto* buffer = static_cast<unsigned char*>(status->buffer);
  uint64_t used = 0;
  while (!iterator_->HasError()) {
    std::string name = Common::EncodeUtf8(iterator_->GetName());
    uint64_t length = name.size();
    // The name length field is 16 bits wide and counts the NUL.
    if (length > 0xFFFE) length = 0xFFFE;
    if (capacity < used + length + kRecordHeader + 1) break;  // the entry opens the next batch
    // The type first: before the entry's status is fetched it comes from the
    // listing itself, so each entry costs one status call (for the inode).
    uint8_t type = RecordType(iterator_->GetType());
    uint64_t inode = iterator_->GetInodeNumber();
    uint16_t stored_length = static_cast<uint16_t>(length + 1);
    unsigned char* record = buffer + used;
    std::memcpy(record, &inode, 8);
    std::memcpy(record + 8, &stored_length, 2);
    record[10] = type;
    std::memcpy(record + kRecordHeader, name.data(), length);
    record[kRecordHeader + length] = 0;
    used += length + kRecordHeader + 1;
    iterator_->Next();
    if (used >= capacity) break;
  }
  status->size = used;

  if (iterator_->HasError() && capacity >= used + kReadDirEndRecord) {
    Common::Error error = iterator_->TakeError();
    iterator_.reset();
    directory_.reset();
    if (error.Code() != Common::kErrEndOfFile) return error;
    // The end record: only its name length field (offset 8), 0, is written.
    uint16_t end_length = 0;
    std::memcpy(buffer + used + 8, &end_length, 2);
    status->size = used + kReadDirEndRecord;
  }
  return {};
}

}  // namespace Network::Storage::Backend
