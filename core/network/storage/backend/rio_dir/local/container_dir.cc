#include "core/network/storage/backend/rio_dir/local/container_dir.h"

#include "core/backup/container_api.h"
#include "core/network/storage/backend/rio_dir/local/container_dir_iterator.h"
#include "core/network/storage/backend/rio_dir/local/update_size_on_flush_file.h"

namespace Network::Storage::Backend {
namespace {

// 4096-byte blocks, a single volume, no auto-commit.
backupmedia::ArchiveParameters StandardParameters() {
  backupmedia::ArchiveParameters parameters;
  parameters.reserved0 = 0;
  parameters.reserved1 = 1;
  parameters.max_volume_size = INT64_MAX;
  parameters.reserved16 = 0;
  parameters.auto_commit_bytes = 0;
  parameters.reserved32 = 0;
  parameters.block_size = 0;
  return parameters;
}

char16_t FoldCase(char16_t unit) { return unit >= u'A' && unit <= u'Z' ? unit - u'A' + u'a' : unit; }

const UString* NameOf(const file_identifier* identifier) {
  auto* ours = dynamic_cast<const TransparentContainerDirIdentifier*>(identifier);
  return ours ? &ours->Name() : nullptr;
}

const file_identifier* Unwrap(const file_identifier* identifier) {
  auto* ours = dynamic_cast<const TransparentContainerDirIdentifier*>(identifier);
  return ours ? ours->Inner() : identifier;
}

}  // namespace

bool IsArchiveName(const char16_t* name, const std::string& extension) {
  if (name == nullptr) return false;
  size_t length = std::char_traits<char16_t>::length(name);
  if (length < extension.size()) return false;
  const char16_t* tail = name + length - extension.size();
  for (size_t i = 0; i < extension.size(); ++i)
    if (FoldCase(tail[i]) != FoldCase(static_cast<unsigned char>(extension[i]))) return false;
  return true;
}

TransparentContainerDir::TransparentContainerDir(std::unique_ptr<rio_dir> inner, std::string extension,
                                                 std::shared_ptr<SizeCache> cache)
    : rio_dir_delegate(std::move(inner)), extension_(std::move(extension)), cache_(std::move(cache)) {}

bool TransparentContainerDir::RecordSizes(const char16_t* name, rio_file& archive, uint64_t& inode) {
  std::unique_ptr<i_dir::iterator> entry(inner_->GetIterator(name));
  MoveError();
  if (entry == nullptr || HasError()) return false;
  inode = entry->GetInodeNumber();
  if (entry->HasError()) {
    last_error_ = entry->TakeError();
    return false;
  }
  ArchiveSizes sizes = MeasureArchive(archive);
  if (archive.HasError()) {
    last_error_ = archive.TakeError();
    return false;
  }
  cache_->Set(inode, sizes);
  return true;
}

rio_file* TransparentContainerDir::OpenArchive(const char16_t* name, ArchiveMode mode) {
  ClearError();
  backupmedia::ArchiveParameters parameters = StandardParameters();
  Common::Error error;
  std::unique_ptr<backupmedia::ContainerArchive> archive;
  switch (mode) {
    case ArchiveMode::kRead:
      archive = backupmedia::OpenContainerArchive(inner_.get(), name, nullptr, error, false);
      break;
    case ArchiveMode::kAppend:
      archive = backupmedia::AppendContainerArchive(inner_.get(), name, nullptr, &parameters, error, false);
      break;
    case ArchiveMode::kCreate:
      archive = backupmedia::CreateContainerArchive(inner_.get(), name, nullptr, &parameters, error, false);
      break;
  }
  inner_->ClearError();
  if (archive == nullptr) {
    last_error_ = std::move(error);
    return nullptr;
  }
  uint64_t inode = 0;
  if (!RecordSizes(name, *archive, inode)) return nullptr;
  if (mode == ArchiveMode::kRead) return archive.release();
  return new UpdateSizeOnFlushFile(std::move(archive), inode, cache_);
}

rio_file* TransparentContainerDir::OpenI(const char16_t* name, bool no_lock) {
  if (IsArchiveName(name, extension_)) return OpenArchive(name, ArchiveMode::kRead);
  return rio_dir_delegate::OpenI(name, no_lock);
}

rio_file* TransparentContainerDir::OpenI(iterator* entry, bool no_lock) {
  return entry ? OpenI(entry->GetName(), no_lock) : rio_dir_delegate::OpenI(entry, no_lock);
}

// A write-only open of an archive would otherwise hand out the raw archive
// file, whose bytes the caller would overwrite: it opens the archive for
// appending instead, like a read-write open.
rio_file* TransparentContainerDir::OpenO(const char16_t* name, bool no_lock) {
  if (IsArchiveName(name, extension_)) return OpenArchive(name, ArchiveMode::kAppend);
  return rio_dir_delegate::OpenO(name, no_lock);
}

rio_file* TransparentContainerDir::OpenO(iterator* entry, bool no_lock) {
  return entry ? OpenO(entry->GetName(), no_lock) : rio_dir_delegate::OpenO(entry, no_lock);
}

rio_file* TransparentContainerDir::OpenIO(const char16_t* name, bool no_lock) {
  if (IsArchiveName(name, extension_)) return OpenArchive(name, ArchiveMode::kAppend);
  return rio_dir_delegate::OpenIO(name, no_lock);
}

rio_file* TransparentContainerDir::OpenIO(iterator* entry, bool no_lock) {
  return entry ? OpenIO(entry->GetName(), no_lock) : rio_dir_delegate::OpenIO(entry, no_lock);
}

rio_file* TransparentContainerDir::CreateIO(const char16_t* name, bool no_lock, const access_rights* rights) {
  if (IsArchiveName(name, extension_)) return OpenArchive(name, ArchiveMode::kCreate);
  return rio_dir_delegate::CreateIO(name, no_lock, rights);
}

rio_dir* TransparentContainerDir::WrapDir(std::unique_ptr<rio_dir> opened, const char16_t*) {
  return new TransparentContainerDir(std::move(opened), extension_, cache_);
}

bool TransparentContainerDir::RefuseArchiveIdentifier(const file_identifier* identifier) {
  const UString* name = NameOf(identifier);
  if (name == nullptr || !IsArchiveName(name->c_str(), extension_)) return false;
  SetError(Common::Error::File(Common::kErrNotSupported, ZYK_HERE));
  return true;
}

rio_file* TransparentContainerDir::OpenI(const file_identifier* identifier, bool no_lock) {
  if (RefuseArchiveIdentifier(identifier)) return nullptr;
  return Moved(inner_->OpenI(Unwrap(identifier), no_lock));
}

rio_file* TransparentContainerDir::OpenO(const file_identifier* identifier, bool no_lock) {
  if (RefuseArchiveIdentifier(identifier)) return nullptr;
  return Moved(inner_->OpenO(Unwrap(identifier), no_lock));
}

rio_file* TransparentContainerDir::OpenIO(const file_identifier* identifier, bool no_lock) {
  if (RefuseArchiveIdentifier(identifier)) return nullptr;
  return Moved(inner_->OpenIO(Unwrap(identifier), no_lock));
}

rio_dir* TransparentContainerDir::OpenDir(const file_identifier* identifier) {
  return Adopt(inner_->OpenDir(Unwrap(identifier)), nullptr);
}

rio_dir* TransparentContainerDir::OpenDir(iterator* entry) {
  return entry ? OpenDir(entry->GetName()) : rio_dir_delegate::OpenDir(entry);
}

// The directory part ends at the last separator of the inner directory: on a
// POSIX tree only "/", so a backslash stays an ordinary character of a name, as
// it is for every other operation. A null path opens this directory itself.
rio_dir* TransparentContainerDir::OpenParentDir(const char16_t** path) {
  ClearError();
  if (path == nullptr || *path == nullptr) return OpenDir(u".");
  const char16_t separator = inner_->GetPathSeparator();
  inner_->ClearError();
  const char16_t* last = nullptr;
  for (const char16_t* p = *path; *p; ++p)
    if (*p == separator) last = p;
  if (last == nullptr) return OpenDir(u".");
  UString directory(*path, last + 1);
  rio_dir* parent = OpenDir(directory.c_str());
  if (parent != nullptr) *path = last + 1;
  return parent;
}

i_dir::iterator* TransparentContainerDir::Wrap(i_dir::iterator* inner, bool listing) {
  std::unique_ptr<i_dir::iterator> owned(inner);
  MoveError();
  if (owned == nullptr) return nullptr;
  // The iterator keeps its own view of this directory to open the archives it
  // reports on. An iterator on one entry that is no archive never opens one,
  // and making the view would cost more than the rest of a stat.
  std::unique_ptr<TransparentContainerDir> view;
  if (listing || IsArchiveName(owned->GetName(), extension_)) {
    std::unique_ptr<rio_dir> view_inner(inner_->OpenDir(u"."));
    inner_->ClearError();
    if (view_inner) view = std::make_unique<TransparentContainerDir>(std::move(view_inner), extension_, cache_);
  }
  return new TransparentContainerDirIterator(std::move(owned), extension_, cache_, std::move(view));
}

i_dir::iterator* TransparentContainerDir::GetIterator() { return Wrap(inner_->GetIterator(), true); }

i_dir::iterator* TransparentContainerDir::GetIterator(const char16_t* name) {
  return Wrap(inner_->GetIterator(name), false);
}

i_dir::iterator* TransparentContainerDir::GetIterator(const file_identifier* identifier) {
  return Wrap(inner_->GetIterator(Unwrap(identifier)), false);
}

i_dir::iterator* TransparentContainerDir::GetSelfIterator() { return Wrap(inner_->GetSelfIterator(), false); }

int TransparentContainerDir::CompareIdentifiers(const file_identifier* a, const file_identifier* b) {
  return Moved(inner_->CompareIdentifiers(Unwrap(a), Unwrap(b)));
}

bool TransparentContainerDir::RefuseMixedNames(const char16_t* first, const char16_t* second, const char* operation) {
  if (IsArchiveName(first, extension_) == IsArchiveName(second, extension_)) return false;
  SetError(Common::Error::File(Common::kErrNotSupported, ZYK_HERE_AS(operation)));
  return true;
}

void TransparentContainerDir::Rename(const char16_t* old_name, const char16_t* new_name) {
  if (!RefuseMixedNames(old_name, new_name, "Rename")) rio_dir_delegate::Rename(old_name, new_name);
}

void TransparentContainerDir::CreateHardLink(const char16_t* existing, const char16_t* new_name) {
  if (!RefuseMixedNames(existing, new_name, "CreateHardLink")) rio_dir_delegate::CreateHardLink(existing, new_name);
}

void TransparentContainerDir::CreateSymLink(const char16_t* link, const char16_t* target) {
  if (!RefuseMixedNames(link, target, "CreateSymLink")) rio_dir_delegate::CreateSymLink(link, target);
}

rio_dir* TransparentContainerDir::OpenSpecialDir(uint32_t) {
  SetError(Common::Error::File(Common::kErrNotSupported, ZYK_HERE_AS("OpenSpecialDir")));
  return nullptr;
}

std::pair<i_dir*, const char16_t*> TransparentContainerDir::ResolveSymLinks(path_object*) {
  SetError(Common::Error::File(Common::kErrNotSupported, ZYK_HERE_AS("ResolveSymLinks")));
  return {nullptr, nullptr};
}

void* TransparentContainerDir::GetShellIDLIST(const char16_t*) {
  SetError(Common::Error::File(Common::kErrNotSupported, ZYK_HERE_AS("GetShellIDLIST")));
  return nullptr;
}

std::pair<void*, void*> TransparentContainerDir::ResolveShellIDLIST(void*) {
  SetError(Common::Error::File(Common::kErrNotSupported, ZYK_HERE_AS("ResolveShellIDLIST")));
  return {nullptr, nullptr};
}

std::unique_ptr<rio_dir> MakeTransparentContainerDir(std::unique_ptr<rio_dir> inner, const std::string& extension) {
  return std::make_unique<TransparentContainerDir>(std::move(inner), extension, std::make_shared<SizeCache>());
}

}  // namespace Network::Storage::Backend
