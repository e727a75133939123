#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

/// A mount of the Linux file tree, as /proc/self/mountinfo lists it.
struct UnixMount {
  std::uint64_t id = 0;
  std::uint64_t parent_id = 0;  ///< The mount it lies on; the root mount's is not listed.
  std::string mount_point;      ///< A real path: no symbolic link on the way.
  std::string type;             ///< "ext4", "tmpfs", "fuseblk", "fuse.sshfs", ...
};

/// Every well-formed line of /proc/self/mountinfo text, in its order;
/// malformed lines are left out. Only text: nothing is looked up.
std::vector<UnixMount> ParseMountInfo(std::string_view text);

/// The mount that holds the file at absolute path `path` (no link, no "."
/// or ".." on the way), found from the root mount down through the mounts
/// that lie on each; null when the table names no single root mount, or
/// two mounts on one folder of the same mount, or `path` is not absolute or
/// has an empty, "." or ".." step.
const UnixMount* MountHolding(const std::vector<UnixMount>& mounts, std::string_view path);
