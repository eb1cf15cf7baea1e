#pragma once
// The qmv commands that live in files of their own. Each takes the arguments
// after the command name and returns the process exit status.

#include <vector>

namespace qmv {

// qmv check [--json] [--repair=leaks] FILE: 0 consistent, 2 corruption, 3 only
// leaks, 1 the check could not run (also for usage errors).
int RunCheck(const std::vector<const char*>& args);

// qmv map [--json] FILE: runs of data (offset, length, first block) and holes.
int RunMap(const std::vector<const char*>& args);

// qmv convert [-p] [--block-size N] [--volume-size BYTES] SOURCE DESTINATION:
// plain file or archive to plain file or archive (a name ending in .qmv), holes
// kept. 0 on success, 1 on a failure, 2 on a usage error.
int RunConvert(const std::vector<const char*>& args, bool show_progress);

}  // namespace qmv
