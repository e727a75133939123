#include "convert/unix_mounts.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// As a container shows it: /dev/shm mounted twice, one mount point with a
// blank, optional fields before the "-", a mount on a folder above earlier
// ones (but not beside them: /srvx is not within /srv), and a line cut short.
constexpr char kMountInfo[] =
    "28 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
    "24 28 0:6 / /dev rw,relatime - devtmpfs devtmpfs rw\n"
    "26 24 0:24 / /dev/shm rw,relatime - fuse.sshfs host:/shm rw\n"
    "31 26 0:28 / /dev/shm rw,relatime shared:7 master:2 - tmpfs tmpfs rw\n"
    "46 28 7:0 / /media/card rw,nosuid - fuseblk /dev/loop0 rw\n"
    "47 28 0:41 / /media/my\\040card rw,relatime - vfat /dev/sdb1 rw\n"
    "49 28 0:49 / /srvx rw - ext4 /dev/sdd rw\n"
    "50 28 0:50 / /srv/old rw - nfs4 host:/old rw\n"
    "51 28 0:51 / /srv/old/deeper rw - cifs //host/deeper rw\n"
    "52 28 0:52 / /srv rw - xfs /dev/sdc rw\n"
    "53 28 0:53 / /broken rw\n";

TEST(UnixMountsTest, KeepsOnlyTheMountsThatCanStillHoldFiles) {
  std::string listed;
  for (const UnixMount& mount : ParseMountInfo(kMountInfo)) {
    listed += mount.mount_point + "=" + mount.type + ";";
  }
  EXPECT_EQ(listed,
            "/=ext4;/dev=devtmpfs;/dev/shm=tmpfs;/media/card=fuseblk;/media/my card=vfat;"
            "/srvx=ext4;/srv=xfs;");
}

TEST(UnixMountsTest, BadEscapesLeaveAMountOut) {
  for (const char* line : {"1 0 0:1 / /a\\04 rw - tmpfs t rw", "1 0 0:1 / /a\\08x rw - tmpfs t rw",
                           "1 0 0:1 / /a\\000 rw - tmpfs t rw", "1 0 0:1 / a rw - tmpfs t rw"}) {
    EXPECT_TRUE(ParseMountInfo(line).empty()) << line;
  }
  const std::vector<UnixMount> mounts = ParseMountInfo("1 0 0:1 / /a\\134b\\011 rw - tmpfs t rw");
  ASSERT_EQ(mounts.size(), 1u);
  EXPECT_EQ(mounts[0].mount_point, "/a\\b\t");
}

}  // namespace
