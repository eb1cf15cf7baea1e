#pragma once
// MountHandler: carries out the host's requests against the served tree of one
// mount and keeps its open files and directories. Every operation runs as a
// task on a worker of the mount, concurrently with other handler tasks and with
// file-object tasks; the handler guards its tables with its own lock.
//
// Paths are NUL-terminated UTF-8 relative to the served root, kept and compared
// byte for byte as the host spelled them (a/b and a//b are different keys).

#include <cstdint>
#include <memory>
#include <string>

#include "core/common/error.h"
#include "core/common/ustring.h"
#include "core/include/file/dir.h"
#include "zykfs/zykfs.h"

namespace Network::Storage {
class TaskManager;
}

namespace Network::Storage::Backend {

class FileObject;

class MountHandler {
 public:
  virtual ~MountHandler() = default;

  // The object behind `handle`; for a handle not open on this mount an
  // InvalidFileObject reporting 0x40025. Never null. Any thread.
  virtual std::shared_ptr<FileObject> GetFileObject(uint64_t handle) = 0;
  virtual const std::shared_ptr<TaskManager>& GetTaskManager() = 0;
  // True while any file or directory handle is open.
  virtual bool HasOpenObjects() = 0;

  // Opens or creates the regular file `path` (flags as in zykfs.h) and stores
  // the new handle in *out_handle.
  virtual Common::Error OpenOrCreateFile(const char* path, uint32_t flags, uint64_t* out_handle) = 0;
  // Flushes the file and retires its handle; 0x2850003 while a request on it is
  // pending, 0x4001F for a directory handle, 0x40025 for an unknown one.
  virtual Common::Error CloseFile(uint64_t handle) = 0;
  virtual Common::Error Rename(const char* from, const char* to) = 0;
  virtual Common::Error Unlink(const char* path) = 0;
  virtual Common::Error RemoveDir(const char* path) = 0;
  virtual Common::Error MakeDir(const char* path) = 0;
  // Fills the 192-byte record, zeroed first, from the entry `path`.
  virtual Common::Error Stat(const char* path, zykfs_stat_t* stat) = 0;
  // As Stat by path, on the path the handle was opened with.
  virtual Common::Error Stat(uint64_t handle, zykfs_stat_t* stat) = 0;
  // Opens the directory `path` for listing; the handle goes to *out_handle.
  virtual Common::Error GetDirIterator(const char* path, uint64_t* out_handle) = 0;
  virtual Common::Error CloseDir(uint64_t handle) = 0;
  // Always 0x4000E.
  virtual Common::Error Clone(const char* from, const char* to) = 0;
  // Rename that fails with 0x2850011 when `to` exists.
  virtual Common::Error RenameSafe(const char* from, const char* to) = 0;
  // Exchanges the files behind two idle file handles under their names.
  virtual Common::Error Swap(uint64_t first, uint64_t second) = 0;
};

// The handler of a mount over `root`, posting tasks to `manager`.
std::unique_ptr<MountHandler> MakeMountHandler(std::unique_ptr<rio_dir> root, std::shared_ptr<TaskManager> manager);

// A random (version 4) GUID as text: "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX",
// upper-case hexadecimal.
std::string MakeRandomGuid();

}  // namespace Network::Storage::Backend
