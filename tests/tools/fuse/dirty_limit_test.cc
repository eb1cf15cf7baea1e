#include "tools/zykfs_fuse/dirty_limit.h"

#include <sstream>

#include <gtest/gtest.h>

namespace zykfs_fuse {
namespace {

// Mount points are unescaped before they are compared, only mounts of the type
// count, optional fields may stand before the separator, and of two mounts at
// one place the later (the one on top) wins.
TEST(DirtyLimit, FindsTheDeviceOfTheTopMountOfTheTypeAtThePlace) {
  std::istringstream table(
      "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
      "40 22 0:40 / /tmp/my\\040mnt rw,nosuid - fuse.zykfs zykfs rw,user_id=0\n"
      "41 22 0:41 / /tmp/other rw - fuse.zykfs zykfs rw\n"
      "42 40 0:42 / /tmp/my\\040mnt rw master:3 - fuse.zykfs zykfs rw\n"
      "43 22 0:43 / /tmp/plain rw - tmpfs tmpfs rw\n");
  EXPECT_EQ(FindMountDevice(table, "/tmp/my mnt", "fuse.zykfs"), "0:42");
  table.clear();
  table.seekg(0);
  EXPECT_EQ(FindMountDevice(table, "/tmp/plain", "fuse.zykfs"), "");
  table.clear();
  table.seekg(0);
  EXPECT_EQ(FindMountDevice(table, "/tmp/my\\040mnt", "fuse.zykfs"), "");
}

}  // namespace
}  // namespace zykfs_fuse
