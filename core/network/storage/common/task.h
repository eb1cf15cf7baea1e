#pragma once
// Tasks: callables that take nothing and return nothing, run by the task
// manager's workers or on a thread of their own.

#include <functional>

namespace Network::Storage {

using Task = std::function<void()>;

// Runs `task` and contains what it throws: a Common::Error or a standard
// exception is traced ("Unexpected: '%s'", "Unexpected std::exception: '%s'")
// and swallowed; anything else is traced ("Unknown exception, rethrowing") and
// rethrown. An empty task counts as a standard exception (bad function call).
void SafeExecute(const Task& task);

// Runs a copy of `task` under SafeExecute on a pool thread of its own; nobody
// waits for it. Throws the pool's Common::Error (code 7) when no thread can be
// started; the copy is then destroyed without running.
void RunDetached(Task task);

}  // namespace Network::Storage
