#pragma once
// The three entry points that make a container archive out of a directory and
// a path. Each returns the open archive, owned by the caller, or null with the
// failure in `error` (set to success otherwise); none throws. The callback is
// always taken over: on failure it is released together with the partly built
// archive. With `no_locks` the archive takes no byte-range locks.

#include <memory>

#include "core/backup/container_archive.h"
#include "core/common/error.h"
#include "core/include/file/dir.h"

namespace backupmedia {

// Makes a new archive at `path` (resolved against `directory`, not owned).
std::unique_ptr<ContainerArchive> CreateContainerArchive(rio_dir* directory, const char16_t* path,
                                                         std::unique_ptr<CallbackHolder> callback,
                                                         const ArchiveParameters* parameters, Common::Error& error,
                                                         bool no_locks);

// Opens an existing archive for appending; reads only the auto-commit interval
// of `parameters` (block and volume size come from the archive).
std::unique_ptr<ContainerArchive> AppendContainerArchive(rio_dir* directory, const char16_t* path,
                                                         std::unique_ptr<CallbackHolder> callback,
                                                         const ArchiveParameters* parameters, Common::Error& error,
                                                         bool no_locks);

// Opens an existing archive for reading.
std::unique_ptr<ContainerArchive> OpenContainerArchive(rio_dir* directory, const char16_t* path,
                                                       std::unique_ptr<CallbackHolder> callback, Common::Error& error,
                                                       bool no_locks);

}  // namespace backupmedia
