#include "status/mount_info.h"

#include <gtest/gtest.h>

namespace varnick::control {
namespace {

TEST(MountInfo, FindsTheMountPointFieldOnly) {
  const std::string info =
      "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
      "30 22 0:25 / /run rw,nosuid shared:5 - tmpfs tmpfs rw\n"
      "41 22 8:1 /var/lib/docker/containers/x/hosts /etc/hosts rw - ext4 /dev/sda1 rw\n"
      "42 22 8:1 /data /mnt/my\\040disk rw - ext4 /dev/sda1 rw\n";
  EXPECT_TRUE(listsMountPoint(info, "/etc/hosts"));
  EXPECT_TRUE(listsMountPoint(info, "/run"));
  EXPECT_TRUE(listsMountPoint(info, "/mnt/my disk"));
  EXPECT_FALSE(listsMountPoint(info, "/etc"));
  // A root field that names the path is no mount point.
  EXPECT_FALSE(listsMountPoint(info, "/var/lib/docker/containers/x/hosts"));
  EXPECT_FALSE(listsMountPoint(info, "/mnt/my\\040disk"));
  EXPECT_FALSE(listsMountPoint("", "/etc/hosts"));
}

}  // namespace
}  // namespace varnick::control
