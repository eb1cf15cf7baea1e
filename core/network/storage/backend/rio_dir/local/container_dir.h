#pragma once
// TransparentContainerDir: shows every regular file whose name ends in the
// container extension (".QMV", letters compared without regard to case) as an
// ordinary file whose bytes are the logical stream of a container archive.
// Other names and all directories pass through to the inner directory.
// Everything made from one root (subdirectories, iterators, files) carries the
// same behaviour and shares one size cache.

#include <memory>
#include <string>

#include "core/file/dir_delegate.h"
#include "core/network/storage/backend/rio_dir/local/size_cache.h"

namespace Network::Storage::Backend {

// True when `name` ends in `extension`, comparing A-Z without regard to case.
bool IsArchiveName(const char16_t* name, const std::string& extension);

class TransparentContainerDir : public rio_dir_delegate {
 public:
  TransparentContainerDir(std::unique_ptr<rio_dir> inner, std::string extension, std::shared_ptr<SizeCache> cache);

  rio_file* OpenI(const char16_t* name, bool no_lock) override;
  rio_file* OpenI(iterator* entry, bool no_lock) override;
  rio_file* OpenO(const char16_t* name, bool no_lock) override;
  rio_file* OpenO(iterator* entry, bool no_lock) override;
  rio_file* OpenIO(const char16_t* name, bool no_lock) override;
  rio_file* OpenIO(iterator* entry, bool no_lock) override;
  rio_file* CreateIO(const char16_t* name, bool no_lock, const access_rights* rights) override;
  rio_file* OpenI(const file_identifier* identifier, bool no_lock) override;
  rio_file* OpenO(const file_identifier* identifier, bool no_lock) override;
  rio_file* OpenIO(const file_identifier* identifier, bool no_lock) override;
  using rio_dir_delegate::OpenDir;
  rio_dir* OpenDir(iterator* entry) override;
  rio_dir* OpenDir(const file_identifier* identifier) override;
  rio_dir* OpenParentDir(const char16_t** path) override;
  rio_dir* OpenSelf() override { return OpenDir(u"."); }
  iterator* GetIterator() override;
  iterator* GetIterator(const char16_t* name) override;
  iterator* GetIterator(const file_identifier* identifier) override;
  iterator* GetSelfIterator() override;
  int CompareIdentifiers(const file_identifier* a, const file_identifier* b) override;
  void Rename(const char16_t* old_name, const char16_t* new_name) override;
  void CreateHardLink(const char16_t* existing, const char16_t* new_name) override;
  void CreateSymLink(const char16_t* link, const char16_t* target) override;
  rio_dir* OpenSpecialDir(uint32_t kind) override;
  std::pair<i_dir*, const char16_t*> ResolveSymLinks(path_object* path) override;
  void* GetShellIDLIST(const char16_t* name) override;
  std::pair<void*, void*> ResolveShellIDLIST(void* item) override;

  const std::string& Extension() const { return extension_; }
  const std::shared_ptr<SizeCache>& Cache() const { return cache_; }

 protected:
  // Every directory opened below this one is a view with the same extension
  // and size cache.
  rio_dir* WrapDir(std::unique_ptr<rio_dir> opened, const char16_t* path) override;

 private:
  enum class ArchiveMode { kRead, kAppend, kCreate };
  rio_file* OpenArchive(const char16_t* name, ArchiveMode mode);
  // Records the sizes of `archive` opened under `name`; false (error stored) on failure.
  bool RecordSizes(const char16_t* name, rio_file& archive, uint64_t& inode);
  // The iterator over `inner`. A `listing` iterator, or one standing on an
  // archive, gets its own view of this directory to open archives through.
  iterator* Wrap(i_dir::iterator* inner, bool listing);
  // Identifiers of archives cannot be opened as plain files: refused.
  bool RefuseArchiveIdentifier(const file_identifier* identifier);
  // Refuses an operation between an archive name and another name.
  bool RefuseMixedNames(const char16_t* first, const char16_t* second, const char* operation);

  std::string extension_;
  std::shared_ptr<SizeCache> cache_;
};

// Wraps `inner` with the container extension and a new, empty size cache.
std::unique_ptr<rio_dir> MakeTransparentContainerDir(std::unique_ptr<rio_dir> inner, const std::string& extension);

}  // namespace Network::Storage::Backend
