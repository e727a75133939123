#include "settle/unix_mounts.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The type of the mount that holds `path`, or "none".
std::string TypeHolding(const std::string& mountinfo, const std::string& path) {
  const std::vector<UnixMount> mounts = ParseMountInfo(mountinfo);
  const UnixMount* mount = MountHolding(mounts, path);
  return mount == nullptr ? "none" : mount->type;
}

// As a container shows it: its root mount lies on a mount it does not list;
// /dev/shm mounted twice, the second on the first; optional fields before
// the "-"; a blank in a folder's name; /srv mounted over /srv/old, which
// lies beside it on the root mount and is hidden; /media/moved moved under
// /media/card after that was mounted, so listed before it; an sshfs mount
// whose daemon may be dead, which is only text here; and lines that are cut
// short or whose IDs are no numbers.
constexpr char kMountInfo[] =
    "60 46 0:60 / /media/card/moved rw - tmpfs tmpfs rw\n"
    "28 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
    "24 28 0:6 / /dev rw,relatime - devtmpfs devtmpfs rw\n"
    "26 24 0:24 / /dev/shm rw,relatime - fuse.sshfs host:/shm rw\n"
    "31 26 0:28 / /dev/shm rw,relatime shared:7 master:2 - tmpfs tmpfs rw\n"
    "46 28 7:0 / /media/card rw,nosuid - fuseblk /dev/loop0 rw\n"
    "47 28 0:41 / /media/my\\040card rw,relatime - vfat /dev/sdb1 rw\n"
    "49 28 0:49 / /srvx rw - ext4 /dev/sdd rw\n"
    "50 28 0:50 / /srv/old rw - nfs4 host:/old rw\n"
    "51 50 0:51 / /srv/old/deeper rw - cifs //host/deeper rw\n"
    "52 28 0:52 / /srv rw - xfs /dev/sdc rw\n"
    "53 28 0:53 / /broken rw\n"
    "54 28 0:54 / /home/user/remote rw - fuse.sshfs host:/ rw\n"
    "x5 28 0:55 / /bad-id rw - vfat /dev/sde rw\n"
    "56 2x 0:56 / /bad-parent rw - vfat /dev/sdf rw\n";

struct HolderCase {
  const char* path;
  const char* type;
};

TEST(UnixMountsTest, TheMountThatHoldsAPathIsFoundFromTheRootDownByIds) {
  const HolderCase cases[] = {
      {"/", "ext4"},
      {"/home/user/.wine/drive_c/x", "ext4"},
      {"/dev/null", "devtmpfs"},
      {"/dev/shm/a", "tmpfs"},  // The later of two mounts on one folder.
      {"/dev/shmx/a", "devtmpfs"},
      {"/media/card/a", "fuseblk"},
      {"/media/card/moved/a", "tmpfs"},  // Listed before the mount it lies on.
      {"/media/card/movedx", "fuseblk"},
      {"/media/my card/a", "vfat"},
      {"/media/my\\040card/a", "ext4"},
      {"/srvx/a", "ext4"},  // Beside /srv, not within it.
      {"/srv/old/a", "xfs"},
      {"/srv/old/deeper/a", "xfs"},  // On a mount that /srv hides.
      {"/broken/a", "ext4"},
      {"/bad-id/a", "ext4"},
      {"/bad-parent/a", "ext4"},
      {"/home/user/remote/a", "fuse.sshfs"},
      {"/home/user/remotex", "ext4"},
      {"relative/a", "none"},
      {"//media/card/a", "none"},
      {"/media//card/a", "none"},
      {"/media/card/", "none"},
      {"/media/./card/a", "none"},
      {"/media/x/../card/a", "none"},
      {"", "none"},
  };
  for (const HolderCase& c : cases) {
    EXPECT_EQ(TypeHolding(kMountInfo, c.path), c.type) << c.path;
  }
}

TEST(UnixMountsTest, AMountMadeLaterShowsInALaterRead) {
  const std::string before =
      "28 1 254:0 / / rw - ext4 /dev/vda rw\n"
      "30 28 0:30 / /home rw - xfs /dev/vdb rw\n";
  EXPECT_EQ(TypeHolding(before, "/home/user/cache/a"), "xfs");
  // An exFAT stick bind-mounted over the cache folder.
  const std::string after = before + "70 30 8:17 /cache /home/user/cache rw - exfat /dev/sdb1 rw\n";
  EXPECT_EQ(TypeHolding(after, "/home/user/cache/a"), "exfat");
  EXPECT_EQ(TypeHolding(after, "/home/user/cachex"), "xfs");
  // Then a mount over a folder above it hides it again.
  const std::string over_it = after + "71 30 0:71 / /home/user rw - tmpfs tmpfs rw\n";
  EXPECT_EQ(TypeHolding(over_it, "/home/user/cache/a"), "tmpfs");
}

TEST(UnixMountsTest, NoSingleRootOrTwoMountsSideBySideOnOneFolderHoldNothing) {
  const char* cases[] = {
      "",
      "28 1 254:0 / /home rw - ext4 /dev/vda rw\n",
      "28 1 254:0 / / rw - ext4 /dev/vda rw\n"
      "29 2 254:1 / / rw - tmpfs tmpfs rw\n",
      "28 1 254:0 / / rw - ext4 /dev/vda rw\n"
      "30 28 0:30 / /home rw - ext4 /dev/vdb rw\n"
      "31 28 0:31 / /home rw - exfat /dev/sdb1 rw\n",
  };
  for (const char* mountinfo : cases) {
    EXPECT_EQ(TypeHolding(mountinfo, "/home/a"), "none") << mountinfo;
  }
  // The first mount namespace's root mount lies on itself. An ID listed
  // twice can make a loop, which ends the walk.
  EXPECT_EQ(TypeHolding("1 1 254:0 / / rw - ext4 /dev/vda rw\n", "/a"), "ext4");
  EXPECT_EQ(TypeHolding("28 1 254:0 / / rw - ext4 /dev/vda rw\n"
                        "30 28 0:30 / /a rw - tmpfs t rw\n"
                        "31 30 0:31 / /a/b rw - vfat v rw\n"
                        "30 31 0:32 / /a/b/c rw - vfat v rw\n",
                        "/a/b/c/d"),
            "none");
}

TEST(UnixMountsTest, BadEscapesLeaveAMountOut) {
  for (const char* line : {"1 0 0:1 / /a\\04 rw - tmpfs t rw", "1 0 0:1 / /a\\08x rw - tmpfs t rw",
                           "1 0 0:1 / /a\\000 rw - tmpfs t rw", "1 0 0:1 / a rw - tmpfs t rw",
                           "1 0 0:1 / /a rw - ", "1 0 0:1 /", "-1 0 0:1 / /a rw - tmpfs t rw"}) {
    EXPECT_TRUE(ParseMountInfo(line).empty()) << line;
  }
  const std::vector<UnixMount> mounts = ParseMountInfo("7 3 0:1 / /a\\134b\\011 rw - tmpfs t rw");
  ASSERT_EQ(mounts.size(), 1u);
  EXPECT_EQ(mounts[0].id, 7u);
  EXPECT_EQ(mounts[0].parent_id, 3u);
  EXPECT_EQ(mounts[0].mount_point, "/a\\b\t");
  EXPECT_EQ(mounts[0].type, "tmpfs");
}

}  // namespace
