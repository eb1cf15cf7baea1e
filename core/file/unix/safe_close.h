#pragma once
// Closing through the C library's own close, treating the close of a descriptor
// that is not open as a program fault: some owner closed it twice or closed
// another owner's descriptor, which would otherwise go unnoticed until a reused
// descriptor number is closed under its new owner.

// What a fault does: stop with abort, stop with a breakpoint trap (a debugger
// stops there), or return -1 with EBADF.
enum class SafeCloseMode { kAbort, kBreak, kReturn };

// The mode for a value of "VANTREL_SAFE_CLOSE": null aborts; a value containing
// "break" breaks; else one containing "abort" aborts; anything else returns.
SafeCloseMode SafeCloseModeFromValue(const char* value);

// The mode read from the environment when the library was loaded.
SafeCloseMode GetSafeCloseMode();

// Test seam: replaces the mode; returns the previous one.
SafeCloseMode SetSafeCloseModeForTesting(SafeCloseMode mode);

// Closes `fd` with libc's close and returns its result (errno as close left it).
int SafeClose(int fd);
