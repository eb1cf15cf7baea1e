#include "core/network/storage/backend/rio_dir/mount_manager.h"

#include <exception>
#include <new>
#include <utility>

#include "core/network/storage/backend/rio_dir/file_object.h"
#include "core/network/storage/backend/rio_dir/mount_handler.h"
#include "core/network/storage/backend/rio_dir/mount_root.h"
#include "core/network/storage/backend/rio_dir/result_codes.h"
#include "core/network/storage/backend/rio_dir/zyk_task.h"
#include "core/network/storage/common/task.h"
#include "core/network/storage/common/task_manager.h"

namespace Network::Storage::Backend {

namespace {

using Common::Error;

// A completion job's or a refused request's one callback, from a pool thread.
void PostCompletion(MountHandler& handler, zykfs_callback_t callback, void* context, const Error& error) {
  int32_t code = ToHostCode(error);
  handler.GetTaskManager()->Post([callback, context, code] {
    if (callback != nullptr) callback(context, code);
  });
}

// Runs `task` on a thread of its own. When no thread can be made the task
// still answers, on the calling thread: the host must get its one callback.
void RunOnOwnThread(const ZykTask& task) {
  try {
    RunDetached([task] { task(); });
  } catch (const Error& error) {
    task.Complete(error);
  } catch (...) {
    task.Complete(Error::File(Common::kErrNoMemory, ZYK_HERE_AS("RunOnOwnThread")));
  }
}

// Reports an unusable mount handle without touching it.
void RefuseCall(zykfs_callback_t callback, void* context) {
  RunOnOwnThread(
      ZykTask{[] { return Error::File(Common::kErrInvalidUsage, ZYK_HERE_AS("Dispatch")); }, callback, context});
}

// Handler route: the work runs as a task on the mount's task manager.
template <typename Work>
void PostHandlerTask(void* mount, Work work, zykfs_callback_t callback, void* context) {
  auto* handler = static_cast<MountHandler*>(mount);
  if (handler == nullptr) return RefuseCall(callback, context);
  try {
    // The request's one allocation is the posted job; the task it runs is
    // made on the worker around references to the job's own copies.
    handler->GetTaskManager()->Post([handler, work, callback, context] {
      ZykTask{[&] { return work(*handler); }, callback, context}();
    });
  } catch (...) {
    RunOnOwnThread(
        ZykTask{[] { return Error::File(Common::kErrNoMemory, ZYK_HERE_AS("PostHandlerTask")); }, callback, context});
  }
}

// Object route: the work runs on the queue of the object behind `handle`.
template <typename Work>
void PushObjectTask(void* mount, uint64_t handle, Work work, zykfs_callback_t callback, void* context) {
  auto* handler = static_cast<MountHandler*>(mount);
  if (handler == nullptr) return RefuseCall(callback, context);
  try {
    std::shared_ptr<FileObject> object = handler->GetFileObject(handle);
    ZykTask task{[object, work] { return work(*object); }, callback, context};
    Error error = object->PushTask(std::move(task));
    if (error) PostCompletion(*handler, callback, context, error);
  } catch (...) {
    RunOnOwnThread(
        ZykTask{[] { return Error::File(Common::kErrNoMemory, ZYK_HERE_AS("PushObjectTask")); }, callback, context});
  }
}

void OpOpen(void* mount, const char* path, uint32_t flags, uint64_t* out_handle, zykfs_callback_t callback,
            void* context) {
  PostHandlerTask(
      mount, [=](MountHandler& h) { return h.OpenOrCreateFile(path, flags, out_handle); }, callback, context);
}

void OpClose(void* mount, uint64_t file_handle, zykfs_callback_t callback, void* context) {
  PostHandlerTask(
      mount, [=](MountHandler& h) { return h.CloseFile(file_handle); }, callback, context);
}

void OpRead(void* mount, uint64_t file_handle, void* buffer, uint64_t size, uint64_t offset, uint64_t* done,
            zykfs_callback_t callback, void* context) {
  PushObjectTask(
      mount, file_handle, [=](FileObject& o) { return o.Read(buffer, size, offset, done); }, callback, context);
}

void OpAppend(void* mount, uint64_t file_handle, const void* buffer, uint64_t size, uint8_t flag,
              zykfs_append_status_t* status, zykfs_callback_t callback, void* context) {
  PushObjectTask(
      mount, file_handle, [=](FileObject& o) { return o.Append(buffer, size, flag, status); }, callback, context);
}

void OpPad(void* mount, uint64_t file_handle, uint64_t* value, zykfs_callback_t callback, void* context) {
  PushObjectTask(
      mount, file_handle, [=](FileObject& o) { return o.Pad(value); }, callback, context);
}

void OpSync(void* mount, uint64_t file_handle, zykfs_callback_t callback, void* context) {
  PushObjectTask(
      mount, file_handle, [](FileObject& o) { return o.Sync(); }, callback, context);
}

// Stat of an open object: a directory goes to the handler; a file runs on its
// queue and reports its current size, which may exceed the stored entry's.
void OpFstat(void* mount, uint64_t handle, zykfs_stat_t* stat, zykfs_callback_t callback, void* context) {
  auto* handler = static_cast<MountHandler*>(mount);
  if (handler == nullptr) return RefuseCall(callback, context);
  bool directory = false;
  try {
    directory = handler->GetFileObject(handle)->IsDirectory();
  } catch (...) {
  }
  if (directory) {
    PostHandlerTask(
        mount, [=](MountHandler& h) { return h.Stat(handle, stat); }, callback, context);
    return;
  }
  PushObjectTask(
      mount, handle,
      [=](FileObject& o) {
        uint64_t size = 0;
        if (Error error = o.Size(&size)) return error;
        if (Error error = handler->Stat(handle, stat)) return error;
        stat->size = size;
        return Error();
      },
      callback, context);
}

void OpWrite(void* mount, uint64_t file_handle, const void* buffer, uint64_t size, uint64_t offset, uint64_t* done,
             zykfs_callback_t callback, void* context) {
  PushObjectTask(
      mount, file_handle, [=](FileObject& o) { return o.Write(buffer, size, offset, done); }, callback, context);
}

void OpTruncate(void* mount, uint64_t file_handle, uint64_t size, zykfs_callback_t callback, void* context) {
  PushObjectTask(
      mount, file_handle, [=](FileObject& o) { return o.Truncate(size); }, callback, context);
}

void OpLock(void* mount, uint64_t file_handle, uint32_t mode, zykfs_callback_t callback, void* context) {
  PushObjectTask(
      mount, file_handle, [=](FileObject& o) { return o.Lock(mode); }, callback, context);
}

void OpSparse(void* mount, uint64_t file_handle, const uint64_t* ranges, uint64_t count, zykfs_callback_t callback,
              void* context) {
  PushObjectTask(
      mount, file_handle, [=](FileObject& o) { return o.Sparse(ranges, count); }, callback, context);
}

void OpRename(void* mount, const char* from, const char* to, zykfs_callback_t callback, void* context) {
  PostHandlerTask(
      mount, [=](MountHandler& h) { return h.Rename(from, to); }, callback, context);
}

void OpUnlink(void* mount, const char* path, zykfs_callback_t callback, void* context) {
  PostHandlerTask(
      mount, [=](MountHandler& h) { return h.Unlink(path); }, callback, context);
}

void OpRemoveDir(void* mount, const char* path, zykfs_callback_t callback, void* context) {
  PostHandlerTask(
      mount, [=](MountHandler& h) { return h.RemoveDir(path); }, callback, context);
}

void OpMakeDir(void* mount, const char* path, zykfs_callback_t callback, void* context) {
  PostHandlerTask(
      mount, [=](MountHandler& h) { return h.MakeDir(path); }, callback, context);
}

void OpStat(void* mount, const char* path, zykfs_stat_t* stat, zykfs_callback_t callback, void* context) {
  PostHandlerTask(
      mount, [=](MountHandler& h) { return h.Stat(path, stat); }, callback, context);
}

void OpOpenDir(void* mount, const char* path, uint64_t* out_handle, zykfs_callback_t callback, void* context) {
  PostHandlerTask(
      mount, [=](MountHandler& h) { return h.GetDirIterator(path, out_handle); }, callback, context);
}

void OpReadDir(void* mount, uint64_t dir_handle, zykfs_readdir_status_t* status, zykfs_callback_t callback,
               void* context) {
  PushObjectTask(
      mount, dir_handle, [=](FileObject& o) { return o.ReadDir(status); }, callback, context);
}

void OpCloseDir(void* mount, uint64_t dir_handle, zykfs_callback_t callback, void* context) {
  PostHandlerTask(
      mount, [=](MountHandler& h) { return h.CloseDir(dir_handle); }, callback, context);
}

void OpAllocInfo(void* mount, uint64_t file_handle, zykfs_alloc_status_t* status, zykfs_callback_t callback,
                 void* context) {
  PushObjectTask(
      mount, file_handle, [=](FileObject& o) { return o.GetAllocInfo(status); }, callback, context);
}

void OpClone(void* mount, const char* from, const char* to, zykfs_callback_t callback, void* context) {
  PostHandlerTask(
      mount, [=](MountHandler& h) { return h.Clone(from, to); }, callback, context);
}

void OpRenameSafe(void* mount, const char* from, const char* to, zykfs_callback_t callback, void* context) {
  PostHandlerTask(
      mount, [=](MountHandler& h) { return h.RenameSafe(from, to); }, callback, context);
}

void OpSwap(void* mount, uint64_t first, uint64_t second, zykfs_callback_t callback, void* context) {
  PostHandlerTask(
      mount, [=](MountHandler& h) { return h.Swap(first, second); }, callback, context);
}

const zykfs_ops_t kOperationTable = {
    OpOpen,     OpClose,   OpRead,     OpAppend,    OpPad,    OpSync,       OpFstat,   OpWrite,
    OpTruncate, OpLock,    OpSparse,   OpRename,    OpUnlink, OpRemoveDir,  OpMakeDir, OpStat,
    OpOpenDir,  OpReadDir, OpCloseDir, OpAllocInfo, OpClone,  OpRenameSafe, OpSwap,
};

}  // namespace

Error MountProcedure(const zykfs_params_t* params, RootFactory factory, std::shared_ptr<TaskManager> manager,
                     zykfs_mount_t* mount) {
  if (params == nullptr || mount == nullptr || factory == nullptr) {
    return Error::File(Common::kErrInvalidUsage, ZYK_HERE_AS("MountImpl"));
  }
  std::unique_ptr<rio_dir> root;
  if (Error error = factory(*params, root)) return error;
  if (!root) return Error::File(Common::kErrOpenFailed, ZYK_HERE_AS("MountImpl"));
  std::unique_ptr<MountHandler> handler = MakeMountHandler(std::move(root), std::move(manager));
  mount->handle = handler.release();
  mount->ops = &kOperationTable;
  mount->ops_size = sizeof(kOperationTable);
  return {};
}

Error UnmountProcedure(MountHandler* handler) {
  if (handler == nullptr) return Error::File(Common::kErrInvalidUsage, ZYK_HERE_AS("UnmountImpl"));
  if (handler->HasOpenObjects()) return Error(kErrMountBusy, ZYK_HERE_AS("UnmountImpl"));
  delete handler;
  return {};
}

const zykfs_ops_t& OperationTable() { return kOperationTable; }

}  // namespace Network::Storage::Backend

using Network::Storage::Backend::ZykTask;

ZYKFS_EXPORT void zykfs_mount(const zykfs_params_t* params, zykfs_mount_t* mount, zykfs_callback_t callback,
                              void* context) {
  using namespace Network::Storage::Backend;
  std::shared_ptr<Network::Storage::TaskManager> manager;
  try {
    manager = Network::Storage::CreateThreadPoolTaskManager();
  } catch (const Common::Error& error) {
    ZykTask{nullptr, callback, context}.Complete(error);
    return;
  } catch (...) {
    ZykTask{nullptr, callback, context}.Complete(Common::Error::File(Common::kErrNoMemory, ZYK_HERE_AS("zykfs_mount")));
    return;
  }
  RunOnOwnThread(ZykTask{[params, manager, mount] { return MountProcedure(params, CreateRootDir, manager, mount); },
                         callback, context});
}

ZYKFS_EXPORT void zykfs_umount(zykfs_mount_t* mount, zykfs_callback_t callback, void* context) {
  using namespace Network::Storage::Backend;
  auto* handler = mount != nullptr ? static_cast<MountHandler*>(mount->handle) : nullptr;
  RunOnOwnThread(ZykTask{[handler] { return UnmountProcedure(handler); }, callback, context});
}
