#pragma once
// Iterators and identifiers of a transparent container directory. For a
// regular file whose name ends in the container extension, the iterator
// reports the archive's logical size and allocated bytes (from the size cache,
// opening the archive once when it is not cached); everything else comes from
// the inner iterator.

#include <memory>
#include <string>

#include "core/file/dir_delegate.h"
#include "core/network/storage/backend/rio_dir/local/size_cache.h"

namespace Network::Storage::Backend {

class TransparentContainerDir;

class TransparentContainerDirIdentifier : public file_identifier {
 public:
  TransparentContainerDirIdentifier(std::unique_ptr<file_identifier> inner, UString name)
      : inner_(std::move(inner)), name_(std::move(name)) {}
  file_identifier* Clone() const override;

  const file_identifier* Inner() const { return inner_.get(); }
  const UString& Name() const { return name_; }

 private:
  std::unique_ptr<file_identifier> inner_;
  UString name_;
};

class TransparentContainerDirIterator : public idir_iterator_delegate {
 public:
  // `directory` is a view of the directory being listed, owned by the iterator,
  // through which it opens the archives it reports on; null for an iterator on
  // one entry that is no archive.
  TransparentContainerDirIterator(std::unique_ptr<i_dir::iterator> inner, std::string extension,
                                  std::shared_ptr<SizeCache> cache, std::unique_ptr<TransparentContainerDir> directory);
  ~TransparentContainerDirIterator() override;

  uint64_t GetSize() override;
  uint64_t GetAllocatedSize() override;
  file_identifier* GetIdentifier() override;

 private:
  // The cached sizes of the current entry, or null when it is not an archive.
  std::optional<ArchiveSizes> ArchiveEntrySizes();

  std::string extension_;
  std::shared_ptr<SizeCache> cache_;
  std::unique_ptr<TransparentContainerDir> directory_;
};

}  // namespace Network::Storage::Backend
