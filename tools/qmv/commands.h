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

}  // namespace qmv
