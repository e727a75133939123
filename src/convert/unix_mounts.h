#pragma once

#include <string>
#include <string_view>
#include <vector>

/// A mount of the Linux file tree, as /proc/self/mountinfo lists it.
struct UnixMount {
  std::string mount_point;  ///< A real path: no symbolic link on the way.
  std::string type;         ///< "ext4", "tmpfs", "fuseblk", "fuse.sshfs", ...
};

/// The mounts that /proc/self/mountinfo text lists and that can still hold
/// files: a mount on the same folder as an earlier one, or on a folder
/// above it, hides it. Malformed lines are left out.
std::vector<UnixMount> ParseMountInfo(std::string_view text);
