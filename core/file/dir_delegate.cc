#include "core/file/dir_delegate.h"

rio_dir_delegate::rio_dir_delegate(std::unique_ptr<rio_dir> inner) : inner_(std::move(inner)) {
  if (inner_) last_error_ = inner_->TakeError();
}

rio_dir_delegate::~rio_dir_delegate() = default;

idir_iterator_delegate::idir_iterator_delegate(std::unique_ptr<i_dir::iterator> inner) : inner_(std::move(inner)) {
  if (inner_) last_error_ = inner_->TakeError();
}

idir_iterator_delegate::~idir_iterator_delegate() = default;

rio_file* rio_dir_delegate::OpenI(const char16_t* name, bool no_lock) { return Moved(inner_->OpenI(name, no_lock)); }

rio_file* rio_dir_delegate::OpenI(iterator* entry, bool no_lock) { return Moved(inner_->OpenI(entry, no_lock)); }

rio_file* rio_dir_delegate::OpenI(const file_identifier* identifier, bool no_lock) {
  return Moved(inner_->OpenI(identifier, no_lock));
}

rio_dir* rio_dir_delegate::WrapDir(std::unique_ptr<rio_dir> opened, const char16_t*) { return opened.release(); }

rio_dir* rio_dir_delegate::Adopt(rio_dir* opened, const char16_t* path) {
  std::unique_ptr<rio_dir> owned(opened);
  MoveError();
  if (owned == nullptr) return nullptr;
  return WrapDir(std::move(owned), path);
}

rio_dir* rio_dir_delegate::OpenDir(const char16_t* name) { return Adopt(inner_->OpenDir(name), name); }

rio_dir* rio_dir_delegate::OpenDir(iterator* entry) { return Adopt(inner_->OpenDir(entry), nullptr); }

rio_dir* rio_dir_delegate::OpenDir(const file_identifier* identifier) {
  return Adopt(inner_->OpenDir(identifier), nullptr);
}

rio_dir* rio_dir_delegate::OpenParentDir(const char16_t** path) {
  const char16_t* start = path != nullptr ? *path : nullptr;
  rio_dir* opened = inner_->OpenParentDir(path);
  UString consumed = start != nullptr && opened != nullptr ? UString(start, *path) : UString();
  return Adopt(opened, consumed.c_str());
}

rio_dir* rio_dir_delegate::OpenSelf() { return Adopt(inner_->OpenSelf(), u"."); }

rio_dir* rio_dir_delegate::OpenSpecialDir(uint32_t kind) { return Moved(inner_->OpenSpecialDir(kind)); }

i_dir::iterator* rio_dir_delegate::GetIterator() { return Moved(inner_->GetIterator()); }

i_dir::iterator* rio_dir_delegate::GetIterator(const char16_t* name) { return Moved(inner_->GetIterator(name)); }

i_dir::iterator* rio_dir_delegate::GetIterator(const file_identifier* identifier) {
  return Moved(inner_->GetIterator(identifier));
}

i_dir::iterator* rio_dir_delegate::GetSelfIterator() { return Moved(inner_->GetSelfIterator()); }

const char16_t* rio_dir_delegate::GetFullPath() { return Moved(inner_->GetFullPath()); }

int rio_dir_delegate::CompareIdentifiers(const file_identifier* a, const file_identifier* b) {
  return Moved(inner_->CompareIdentifiers(a, b));
}

uint32_t rio_dir_delegate::GetFeatureFlags() { return Moved(inner_->GetFeatureFlags()); }

void rio_dir_delegate::GetDriveSize(uint64_t& total, uint64_t& free, uint64_t& available) {
  inner_->GetDriveSize(total, free, available);
  last_error_ = inner_->TakeError();
}

void rio_dir_delegate::GetVolumeLabel(UString& label) {
  inner_->GetVolumeLabel(label);
  last_error_ = inner_->TakeError();
}

bool rio_dir_delegate::IsPathSeparator(char16_t unit) { return Moved(inner_->IsPathSeparator(unit)); }

char16_t rio_dir_delegate::GetPathSeparator() { return Moved(inner_->GetPathSeparator()); }

bool rio_dir_delegate::IsUnixStyle() { return Moved(inner_->IsUnixStyle()); }

void rio_dir_delegate::IOCTL(void* record) {
  inner_->IOCTL(record);
  last_error_ = inner_->TakeError();
}

void rio_dir_delegate::EnableNotification(dir_notification_callback* callback) {
  inner_->EnableNotification(callback);
  last_error_ = inner_->TakeError();
}

void rio_dir_delegate::RenewNotification() {
  inner_->RenewNotification();
  last_error_ = inner_->TakeError();
}

std::pair<i_dir*, const char16_t*> rio_dir_delegate::ResolveSymLinks(path_object* path) {
  return Moved(inner_->ResolveSymLinks(path));
}

void* rio_dir_delegate::GetShellIDLIST(const char16_t* name) { return Moved(inner_->GetShellIDLIST(name)); }

std::pair<void*, void*> rio_dir_delegate::ResolveShellIDLIST(void* item) {
  return Moved(inner_->ResolveShellIDLIST(item));
}

void* rio_dir_delegate::GetShellObject(const char16_t* name) { return Moved(inner_->GetShellObject(name)); }

rio_file* rio_dir_delegate::OpenO(const char16_t* name, bool no_lock) { return Moved(inner_->OpenO(name, no_lock)); }

void rio_dir_delegate::Remove(const char16_t* name) {
  inner_->Remove(name);
  last_error_ = inner_->TakeError();
}

void rio_dir_delegate::Rename(const char16_t* old_name, const char16_t* new_name) {
  inner_->Rename(old_name, new_name);
  last_error_ = inner_->TakeError();
}

void rio_dir_delegate::CreateHardLink(const char16_t* existing, const char16_t* new_name) {
  inner_->CreateHardLink(existing, new_name);
  last_error_ = inner_->TakeError();
}

void rio_dir_delegate::CreateSymLink(const char16_t* link, const char16_t* target) {
  inner_->CreateSymLink(link, target);
  last_error_ = inner_->TakeError();
}

void rio_dir_delegate::Flush() {
  inner_->Flush();
  last_error_ = inner_->TakeError();
}

void rio_dir_delegate::CreateDir(const char16_t* name, const access_rights* rights) {
  inner_->CreateDir(name, rights);
  last_error_ = inner_->TakeError();
}

void rio_dir_delegate::RemoveDir(const char16_t* name) {
  inner_->RemoveDir(name);
  last_error_ = inner_->TakeError();
}

void rio_dir_delegate::SetAccessRights(const char16_t* name, const access_rights& rights) {
  inner_->SetAccessRights(name, rights);
  last_error_ = inner_->TakeError();
}

void rio_dir_delegate::SetDOSAttributes(const char16_t* name, uint32_t attributes) {
  inner_->SetDOSAttributes(name, attributes);
  last_error_ = inner_->TakeError();
}

void rio_dir_delegate::SetUnixPermissions(const char16_t* name, uint32_t mode) {
  inner_->SetUnixPermissions(name, mode);
  last_error_ = inner_->TakeError();
}

void rio_dir_delegate::SetUnixOwner(const char16_t* name, uint32_t user, uint32_t group) {
  inner_->SetUnixOwner(name, user, group);
  last_error_ = inner_->TakeError();
}

rio_file* rio_dir_delegate::OpenO(iterator* entry, bool no_lock) { return Moved(inner_->OpenO(entry, no_lock)); }

rio_file* rio_dir_delegate::OpenO(const file_identifier* identifier, bool no_lock) {
  return Moved(inner_->OpenO(identifier, no_lock));
}

rio_file* rio_dir_delegate::OpenIO(const char16_t* name, bool no_lock) { return Moved(inner_->OpenIO(name, no_lock)); }

rio_file* rio_dir_delegate::OpenIO(iterator* entry, bool no_lock) { return Moved(inner_->OpenIO(entry, no_lock)); }

rio_file* rio_dir_delegate::OpenIO(const file_identifier* identifier, bool no_lock) {
  return Moved(inner_->OpenIO(identifier, no_lock));
}

rio_file* rio_dir_delegate::CreateIO(const char16_t* name, bool no_lock, const access_rights* rights) {
  return Moved(inner_->CreateIO(name, no_lock, rights));
}

// Two delegates compare their inner directories; any other class is unrelated.
int rio_dir_delegate::CompareDir(i_dir* other) {
  auto* peer = dynamic_cast<rio_dir_delegate*>(other);
  if (peer == nullptr) return 2;
  return Moved(inner_->CompareDir(peer->inner_.get()));
}

bool idir_iterator_delegate::Next() { return Moved(inner_->Next()); }

file_identifier* idir_iterator_delegate::GetIdentifier() { return Moved(inner_->GetIdentifier()); }

const char16_t* idir_iterator_delegate::GetName() { return Moved(inner_->GetName()); }

const char16_t* idir_iterator_delegate::GetFurtherName() { return Moved(inner_->GetFurtherName()); }

const char16_t* idir_iterator_delegate::GetAltName() { return Moved(inner_->GetAltName()); }

uint64_t idir_iterator_delegate::GetFurtherValue1() { return Moved(inner_->GetFurtherValue1()); }

uint64_t idir_iterator_delegate::GetSize() { return Moved(inner_->GetSize()); }

uint64_t idir_iterator_delegate::GetAllocatedSize() { return Moved(inner_->GetAllocatedSize()); }

uint32_t idir_iterator_delegate::GetType() { return Moved(inner_->GetType()); }

int64_t idir_iterator_delegate::GetModificationTime() { return Moved(inner_->GetModificationTime()); }

int64_t idir_iterator_delegate::GetChangeTime() { return Moved(inner_->GetChangeTime()); }

int64_t idir_iterator_delegate::GetExtraTime() { return Moved(inner_->GetExtraTime()); }

int64_t idir_iterator_delegate::GetAccessTime() { return Moved(inner_->GetAccessTime()); }

uint32_t idir_iterator_delegate::GetDOSAttributes() { return Moved(inner_->GetDOSAttributes()); }

uint32_t idir_iterator_delegate::GetUnixPermissions() { return Moved(inner_->GetUnixPermissions()); }

bool idir_iterator_delegate::IsHidden() { return Moved(inner_->IsHidden()); }

uint32_t idir_iterator_delegate::GetUnixUser() { return Moved(inner_->GetUnixUser()); }

uint32_t idir_iterator_delegate::GetUnixGroup() { return Moved(inner_->GetUnixGroup()); }

uint64_t idir_iterator_delegate::GetFurtherValue2() { return Moved(inner_->GetFurtherValue2()); }

uint64_t idir_iterator_delegate::GetLinkCount() { return Moved(inner_->GetLinkCount()); }

uint32_t idir_iterator_delegate::GetDeviceMajor() { return Moved(inner_->GetDeviceMajor()); }

uint32_t idir_iterator_delegate::GetDeviceMinor() { return Moved(inner_->GetDeviceMinor()); }

uint64_t idir_iterator_delegate::GetFurtherValue3() { return Moved(inner_->GetFurtherValue3()); }

uint64_t idir_iterator_delegate::GetInodeNumber() { return Moved(inner_->GetInodeNumber()); }

const char16_t* idir_iterator_delegate::GetLinkTarget() { return Moved(inner_->GetLinkTarget()); }

void idir_iterator_delegate::IOCTL(void* record) {
  inner_->IOCTL(record);
  last_error_ = inner_->TakeError();
}

void rio_dir_delegate::CreateDeviceNode(const char16_t* name, uint32_t type, uint32_t permissions, uint32_t major,
                                        uint32_t minor) {
  inner_->CreateDeviceNode(name, type, permissions, major, minor);
  last_error_ = inner_->TakeError();
}
