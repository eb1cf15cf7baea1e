// The libFuzzer entry of one target, chosen when building: ZYK_FUZZ_ENTRY names
// one of the entry points of fuzz_targets.h.

#include "fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return zyk_fuzz::ZYK_FUZZ_ENTRY(data, size); }
