#include "core/include/file/dir.h"

namespace {

void NotSupported(file_object& object, Common::SourceLocation location) {
  object.SetError(Common::Error::File(Common::kErrNotSupported, location));
}

}  // namespace

i_dir* i_dir::OpenSpecialDir(uint32_t) {
  NotSupported(*this, ZYK_HERE);
  return nullptr;
}

rio_dir* rio_dir::OpenSpecialDir(uint32_t) {
  NotSupported(*this, ZYK_HERE);
  return nullptr;
}

void i_dir::GetDriveSize(uint64_t&, uint64_t&, uint64_t&) { NotSupported(*this, ZYK_HERE); }

void i_dir::GetVolumeLabel(UString&) { NotSupported(*this, ZYK_HERE); }

void i_dir::IOCTL(void*) { NotSupported(*this, ZYK_HERE); }

void i_dir::EnableNotification(dir_notification_callback*) { NotSupported(*this, ZYK_HERE); }

std::pair<i_dir*, const char16_t*> i_dir::ResolveSymLinks(path_object* path) {
  i_dir* self = OpenDir(u".");
  if (self == nullptr || path == nullptr) return {self, nullptr};
  if (const char16_t* rest = path->NextPart()) return {self, rest};
  delete self;
  SetError(Common::Error::File(Common::kErrNoMemory, ZYK_HERE));
  return {nullptr, nullptr};
}

void o_dir::CreateHardLink(const char16_t*, const char16_t*) { NotSupported(*this, ZYK_HERE); }

void o_dir::CreateSymLink(const char16_t*, const char16_t*) { NotSupported(*this, ZYK_HERE); }

void o_dir::SetAccessRights(const char16_t*, const access_rights&) { NotSupported(*this, ZYK_HERE); }

void o_dir::SetDOSAttributes(const char16_t*, uint32_t) { NotSupported(*this, ZYK_HERE); }

void o_dir::SetUnixPermissions(const char16_t*, uint32_t) { NotSupported(*this, ZYK_HERE); }

void o_dir::SetUnixOwner(const char16_t*, uint32_t, uint32_t) { NotSupported(*this, ZYK_HERE); }

void o_dir::CreateDeviceNode(const char16_t*, uint32_t, uint32_t, uint32_t, uint32_t) { NotSupported(*this, ZYK_HERE); }
