#include "core/network/storage/backend/rio_dir/local/container_dir_iterator.h"

#include "core/network/storage/backend/rio_dir/local/container_dir.h"
#include "core/network/storage/backend/rio_dir/local/update_size_on_flush_file.h"

namespace Network::Storage::Backend {

file_identifier* TransparentContainerDirIdentifier::Clone() const {
  std::unique_ptr<file_identifier> inner(inner_ ? inner_->Clone() : nullptr);
  return new TransparentContainerDirIdentifier(std::move(inner), name_);
}

TransparentContainerDirIterator::TransparentContainerDirIterator(std::unique_ptr<i_dir::iterator> inner,
                                                                 std::string extension,
                                                                 std::shared_ptr<SizeCache> cache,
                                                                 std::unique_ptr<TransparentContainerDir> directory)
    : idir_iterator_delegate(std::move(inner)),
      extension_(std::move(extension)),
      cache_(std::move(cache)),
      directory_(std::move(directory)) {}

TransparentContainerDirIterator::~TransparentContainerDirIterator() = default;

std::optional<ArchiveSizes> TransparentContainerDirIterator::ArchiveEntrySizes() {
  const char16_t* name = inner_->GetName();
  uint32_t type = inner_->GetType();
  uint64_t inode = inner_->GetInodeNumber();
  last_error_ = inner_->TakeError();
  if (HasError() || type != kEntryRegular || !IsArchiveName(name, extension_)) return std::nullopt;
  if (auto cached = cache_->Get(inode)) return cached;
  // Not cached: open the archive once, which records its sizes.
  if (directory_ == nullptr) return ArchiveSizes{};
  std::unique_ptr<rio_file> archive(directory_->OpenI(inner_.get(), false));
  if (archive == nullptr) {
    last_error_ = directory_->TakeError();
    return ArchiveSizes{};
  }
  if (auto cached = cache_->Get(inode)) return cached;
  return MeasureArchive(*archive);
}

uint64_t TransparentContainerDirIterator::GetSize() {
  if (auto sizes = ArchiveEntrySizes()) return HasError() ? 0 : sizes->logical;
  return HasError() ? 0 : Moved(inner_->GetSize());
}

uint64_t TransparentContainerDirIterator::GetAllocatedSize() {
  if (auto sizes = ArchiveEntrySizes()) return HasError() ? 0 : sizes->allocated;
  return HasError() ? 0 : Moved(inner_->GetAllocatedSize());
}

file_identifier* TransparentContainerDirIterator::GetIdentifier() {
  std::unique_ptr<file_identifier> inner(inner_->GetIdentifier());
  const char16_t* name = inner_->GetName();
  last_error_ = inner_->TakeError();
  if (inner == nullptr) return nullptr;
  return new TransparentContainerDirIdentifier(std::move(inner), UString(name ? name : u""));
}

}  // namespace Network::Storage::Backend
