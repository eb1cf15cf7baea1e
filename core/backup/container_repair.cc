#include "core/backup/container_repair.h"

#include "core/backup/container_api.h"

namespace backupmedia {

CheckReport RepairArchiveLeaks(rio_dir& dir, const UString& name, uint64_t& freed, size_t max_findings) {
  freed = 0;
  CheckReport report = CheckArchive(dir, name, max_findings);
  if (!report.Ran() || report.corruptions != 0 || report.leaks == 0) return report;
  ArchiveParameters parameters;
  Common::Error error;
  std::unique_ptr<ContainerArchive> archive =
      AppendContainerArchive(&dir, name.c_str(), nullptr, &parameters, error, false);
  if (!archive) {
    report.check_error = error;
    return report;
  }
  // Under the writer lock nothing changes any more; repair what is true now.
  CheckReport locked = CheckArchive(dir, name, max_findings);
  if (!locked.Ran() || locked.corruptions != 0) {
    report = std::move(locked);
    return report;
  }
  uint64_t count = 0;
  locked.leaked.ForEach([&](uint64_t start, uint64_t end) {
    archive->ReleaseBlocks(start, end - start);
    count += end - start;
  });
  if (!archive->HasError()) archive->Flush();
  if (archive->HasError()) {
    report.check_error = archive->LastError();
    return report;
  }
  freed = count;
  return report;
}

}  // namespace backupmedia
