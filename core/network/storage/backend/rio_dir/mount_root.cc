#include "core/network/storage/backend/rio_dir/mount_root.h"

#include <utility>

#include "core/common/file_name.h"
#include "core/file/chroot.h"
#include "core/file/unix/posix_dir.h"
#include "core/network/storage/backend/rio_dir/local/container_dir.h"

namespace Network::Storage::Backend {

using Common::Error;

Error CreateRootDir(const zykfs_params_t& params, std::unique_ptr<rio_dir>& root) {
  if (params.root == nullptr) return Error::File(Common::kErrOpenFailed, ZYK_HERE_AS("CreateRootDir"));
  // The root path is the file system's own bytes: it goes through the same name
  // conversion as every other name, so that any byte sequence finds its way back.
  UString path = Common::WidenFileName(params.root);
  if (path.empty()) return Error::File(Common::kErrOpenFailed, ZYK_HERE_AS("CreateRootDir"));

  std::unique_ptr<rio_dir> system = MakeCurrentPosixDir();
  std::unique_ptr<rio_dir> opened(system->OpenDir(path.c_str()));
  if (!opened) {
    Error error = system->TakeError();
    return error ? error : Error::File(Common::kErrOpenFailed, ZYK_HERE_AS("CreateRootDir"));
  }
  {
    std::unique_ptr<i_dir::iterator> self(opened->GetSelfIterator());
    if (!self) return opened->TakeError();
    if (self->GetType() != kEntryDirectory) {
      // A link may still lead to a directory: listing it tells.
      std::unique_ptr<i_dir::iterator> listing(opened->GetIterator());
      if (!listing) {
        Error error = Error::File(Common::kErrOpenFailed, ZYK_HERE_AS("CreateRootDir"));
        AddCause(error, opened->TakeError());
        return error;
      }
    }
  }
  // No path given later can leave the served tree: names are confined lexically
  // and every path is resolved beneath a descriptor of the root, so no link in
  // the tree leads out. Files named *.QMV are read and written as the logical
  // streams of container archives.
  Error error;
  std::unique_ptr<rio_dir> confined = MakeConfinedPosixDir(static_cast<posix_dir&>(*opened).Path(), error);
  if (!confined) return error;
  root = MakeTransparentContainerDir(MakeChrootedDir(std::move(confined), u"/"), ".QMV");
  return root->TakeError();
}

}  // namespace Network::Storage::Backend
