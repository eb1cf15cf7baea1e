#pragma once

#include <cstddef>

namespace Common {

// Fills the buffer from /dev/urandom (opened once, kept open while the library
// is loaded), falling back to rand() seeded once with time() when the device
// fails. Never fails.
void FillRandom(void* buffer, size_t length);

}  // namespace Common
