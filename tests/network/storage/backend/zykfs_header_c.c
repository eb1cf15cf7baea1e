/* The public header compiled as C: its layout checks run under a C compiler too,
   and the sizes seen from C are handed to the C++ tests for comparison. */
#include "zykfs/zykfs.h"

#include "network/storage/backend/zykfs_header_c.h"

void zyk_test_c_layout(struct zyk_test_c_sizes* sizes) {
  sizes->params = sizeof(zykfs_params_t);
  sizes->mount = sizeof(zykfs_mount_t);
  sizes->stat = sizeof(zykfs_stat_t);
  sizes->readdir_status = sizeof(zykfs_readdir_status_t);
  sizes->alloc_status = sizeof(zykfs_alloc_status_t);
  sizes->append_status = sizeof(zykfs_append_status_t);
  sizes->ops = sizeof(zykfs_ops_t);
  sizes->ops_swap_offset = offsetof(zykfs_ops_t, swap);
  sizes->stat_change_time_offset = offsetof(zykfs_stat_t, change_time);
}
