// The libfuse low-level operation table: each entry finds the host and passes
// the request on. Operations the library cannot carry out answer with the
// errno that file systems without them give.

#include <cerrno>

#include "fuse_host.h"

namespace zykfs_fuse {
namespace {

// The session's user data is the slot that holds the host once it is serving.
FuseHost& HostOf(fuse_req_t request) { return **static_cast<FuseHost**>(fuse_req_userdata(request)); }

void Init(void* data, fuse_conn_info* connection) { (*static_cast<FuseHost**>(data))->Init(connection); }

void Lookup(fuse_req_t request, fuse_ino_t parent, const char* name) { HostOf(request).Lookup(request, parent, name); }

void Forget(fuse_req_t request, fuse_ino_t node, uint64_t count) {
  HostOf(request).Forget(node, count);
  fuse_reply_none(request);
}

void ForgetMulti(fuse_req_t request, size_t count, fuse_forget_data* forgets) {
  for (size_t i = 0; i < count; ++i) HostOf(request).Forget(forgets[i].ino, forgets[i].nlookup);
  fuse_reply_none(request);
}

void GetAttr(fuse_req_t request, fuse_ino_t node, fuse_file_info*) { HostOf(request).GetAttr(request, node); }

void SetAttr(fuse_req_t request, fuse_ino_t node, struct stat* attributes, int to_set, fuse_file_info* info) {
  HostOf(request).SetAttr(request, node, attributes, to_set, info);
}

void MakeDir(fuse_req_t request, fuse_ino_t parent, const char* name, mode_t) {
  HostOf(request).MakeDir(request, parent, name);
}

void Unlink(fuse_req_t request, fuse_ino_t parent, const char* name) { HostOf(request).Unlink(request, parent, name); }

void RemoveDir(fuse_req_t request, fuse_ino_t parent, const char* name) {
  HostOf(request).RemoveDir(request, parent, name);
}

void Rename(fuse_req_t request, fuse_ino_t parent, const char* name, fuse_ino_t new_parent, const char* new_name,
            unsigned int flags) {
  HostOf(request).Rename(request, parent, name, new_parent, new_name, flags);
}

void Open(fuse_req_t request, fuse_ino_t node, fuse_file_info* info) { HostOf(request).Open(request, node, info); }

void Create(fuse_req_t request, fuse_ino_t parent, const char* name, mode_t, fuse_file_info* info) {
  HostOf(request).Create(request, parent, name, info);
}

void Read(fuse_req_t request, fuse_ino_t, size_t size, off_t offset, fuse_file_info* info) {
  HostOf(request).Read(request, size, offset, info);
}

void Write(fuse_req_t request, fuse_ino_t, const char* data, size_t size, off_t offset, fuse_file_info* info) {
  HostOf(request).Write(request, data, size, offset, info);
}

void Flush(fuse_req_t request, fuse_ino_t, fuse_file_info* info) { HostOf(request).Flush(request, info); }

void Fsync(fuse_req_t request, fuse_ino_t, int, fuse_file_info* info) { HostOf(request).Fsync(request, info); }

void Release(fuse_req_t request, fuse_ino_t node, fuse_file_info* info) {
  HostOf(request).Release(request, node, info);
}

void Fallocate(fuse_req_t request, fuse_ino_t, int mode, off_t offset, off_t length, fuse_file_info* info) {
  HostOf(request).Fallocate(request, mode, offset, length, info);
}

void OpenDir(fuse_req_t request, fuse_ino_t node, fuse_file_info* info) {
  HostOf(request).OpenDir(request, node, info);
}

void ReadDir(fuse_req_t request, fuse_ino_t node, size_t size, off_t offset, fuse_file_info* info) {
  HostOf(request).ReadDir(request, node, size, offset, info, false);
}

void ReadDirPlus(fuse_req_t request, fuse_ino_t node, size_t size, off_t offset, fuse_file_info* info) {
  HostOf(request).ReadDir(request, node, size, offset, info, true);
}

void ReleaseDir(fuse_req_t request, fuse_ino_t, fuse_file_info* info) { HostOf(request).ReleaseDir(request, info); }

void StatFs(fuse_req_t request, fuse_ino_t) { HostOf(request).StatFs(request); }

// Directory entries reach the disk with the system's own ordering; the table
// has no way to force them out, so a directory fsync is refused rather than
// answered with a success it cannot promise.
void FsyncDir(fuse_req_t request, fuse_ino_t, int, fuse_file_info*) { fuse_reply_err(request, EINVAL); }

// No links, device nodes or special files: the errno of link(2), symlink(2)
// and mknod(2) on a file system that cannot make them.
void Link(fuse_req_t request, fuse_ino_t, fuse_ino_t, const char*) { fuse_reply_err(request, EPERM); }
void Symlink(fuse_req_t request, const char*, fuse_ino_t, const char*) { fuse_reply_err(request, EPERM); }
void MakeNode(fuse_req_t request, fuse_ino_t, const char*, mode_t, dev_t) { fuse_reply_err(request, EPERM); }
void ReadLink(fuse_req_t request, fuse_ino_t) { fuse_reply_err(request, EINVAL); }

// No extended attributes. ENOSYS tells the kernel so once and for all: it then
// answers EOPNOTSUPP itself, without asking (it asks for security.capability
// before every write(2) otherwise).
void SetXattr(fuse_req_t request, fuse_ino_t, const char*, const char*, size_t, int) {
  fuse_reply_err(request, ENOSYS);
}
void GetXattr(fuse_req_t request, fuse_ino_t, const char*, size_t) { fuse_reply_err(request, ENOSYS); }
void ListXattr(fuse_req_t request, fuse_ino_t, size_t) { fuse_reply_err(request, ENOSYS); }
void RemoveXattr(fuse_req_t request, fuse_ino_t, const char*) { fuse_reply_err(request, ENOSYS); }

fuse_lowlevel_ops MakeOperations() {
  fuse_lowlevel_ops ops{};
  ops.init = Init;
  ops.lookup = Lookup;
  ops.forget = Forget;
  ops.forget_multi = ForgetMulti;
  ops.getattr = GetAttr;
  ops.setattr = SetAttr;
  ops.mkdir = MakeDir;
  ops.unlink = Unlink;
  ops.rmdir = RemoveDir;
  ops.rename = Rename;
  ops.open = Open;
  ops.create = Create;
  ops.read = Read;
  ops.write = Write;
  ops.flush = Flush;
  ops.fsync = Fsync;
  ops.release = Release;
  ops.fallocate = Fallocate;
  ops.opendir = OpenDir;
  ops.readdir = ReadDir;
  ops.readdirplus = ReadDirPlus;
  ops.releasedir = ReleaseDir;
  ops.fsyncdir = FsyncDir;
  ops.statfs = StatFs;
  ops.link = Link;
  ops.symlink = Symlink;
  ops.mknod = MakeNode;
  ops.readlink = ReadLink;
  ops.setxattr = SetXattr;
  ops.getxattr = GetXattr;
  ops.listxattr = ListXattr;
  ops.removexattr = RemoveXattr;
  return ops;
}

}  // namespace

const fuse_lowlevel_ops& FuseHost::Operations() {
  static const fuse_lowlevel_ops ops = MakeOperations();
  return ops;
}

}  // namespace zykfs_fuse
