#pragma once
/* Sizes of the host records as a C compiler lays them out. */
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

struct zyk_test_c_sizes {
  size_t params, mount, stat, readdir_status, alloc_status, append_status, ops;
  size_t ops_swap_offset, stat_change_time_offset;
};

void zyk_test_c_layout(struct zyk_test_c_sizes* sizes);

#ifdef __cplusplus
}
#endif
