#pragma once

#include <cstddef>

namespace Common {

// Fills the buffer from the system's random source (getrandom, the pool behind
// /dev/urandom), falling back to rand() seeded once with time() when it fails.
// Never fails.
void FillRandom(void* buffer, size_t length);

}  // namespace Common
