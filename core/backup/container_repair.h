#pragma once
// RepairArchiveLeaks: gives leaked blocks back to an archive's allocation map.

#include <cstdint>

#include "core/backup/container_check.h"

namespace backupmedia {

// Checks the archive; when it found leaks and no corruption, opens it for
// writing (the single-writer lock keeps other writers out), checks it again
// under that lock and frees the leaked blocks through a normal commit. An
// archive with corruption is never opened for writing. Returns the check made
// before the repair; `freed` receives the number of blocks given back, and a
// failure of the repair itself lands in the report's check_error.
CheckReport RepairArchiveLeaks(rio_dir& dir, const UString& name, uint64_t& freed, size_t max_findings = 100);

}  // namespace backupmedia
