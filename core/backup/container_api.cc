#include "core/backup/container_api.h"

#include <utility>

namespace backupmedia {

namespace {

enum class Mode { kCreate, kAppend, kRead };

std::unique_ptr<ContainerArchive> MakeArchive(Mode mode, const char* function, rio_dir* directory, const char16_t* path,
                                              std::unique_ptr<CallbackHolder> callback,
                                              const ArchiveParameters* parameters, Common::Error& error,
                                              bool no_locks) {
  if (directory == nullptr || path == nullptr || (mode != Mode::kRead && parameters == nullptr)) {
    error = Common::Error::File(Common::kErrInvalidUsage, ZYK_HERE_AS(function));
    return nullptr;
  }
  try {
    const char16_t* name = path;
    std::unique_ptr<rio_dir> parent(directory->OpenParentDir(&name));
    if (!parent) {
      error = directory->TakeError();
      if (error.Ok()) error = Common::Error::File(Common::kErrOpenFailed, ZYK_HERE_AS(function));
      return nullptr;
    }
    auto archive = std::make_unique<ContainerArchive>(std::move(parent), name, std::move(callback), no_locks);
    switch (mode) {
      case Mode::kCreate: archive->InitForCreate(*parameters); break;
      case Mode::kAppend: archive->InitForAppend(*parameters); break;
      case Mode::kRead: archive->InitForRead(); break;
    }
    error.Clear();
    return archive;
  } catch (Common::Error& failure) {
    error = std::move(failure);
    return nullptr;
  }
}

}  // namespace

std::unique_ptr<ContainerArchive> CreateContainerArchive(rio_dir* directory, const char16_t* path,
                                                         std::unique_ptr<CallbackHolder> callback,
                                                         const ArchiveParameters* parameters, Common::Error& error,
                                                         bool no_locks) {
  return MakeArchive(Mode::kCreate, "CreateContainerArchive", directory, path, std::move(callback), parameters, error,
                     no_locks);
}

std::unique_ptr<ContainerArchive> AppendContainerArchive(rio_dir* directory, const char16_t* path,
                                                         std::unique_ptr<CallbackHolder> callback,
                                                         const ArchiveParameters* parameters, Common::Error& error,
                                                         bool no_locks) {
  return MakeArchive(Mode::kAppend, "AppendContainerArchive", directory, path, std::move(callback), parameters, error,
                     no_locks);
}

std::unique_ptr<ContainerArchive> OpenContainerArchive(rio_dir* directory, const char16_t* path,
                                                       std::unique_ptr<CallbackHolder> callback, Common::Error& error,
                                                       bool no_locks) {
  return MakeArchive(Mode::kRead, "OpenContainerArchive", directory, path, std::move(callback), nullptr, error,
                     no_locks);
}

}  // namespace backupmedia
