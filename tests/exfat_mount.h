#pragma once

// An exFAT image mounted through exfat-fuse, for the end-to-end tests of a
// cache folder on a memory card or a USB drive shared with Windows, and of a
// FUSE mount that stops answering.

#include <optional>
#include <string>
#include <vector>

#include "run_program.h"

/// Where root's tools lie; empty when `name` is in none of those folders.
std::string SystemTool(const std::string& name);

/// A 16 MiB exFAT image mounted at a folder, as root, through exfat-fuse,
/// which needs no kernel driver beyond FUSE. Run by root, the driver takes
/// only a block device: the image goes on a loop device, detached at once so
/// that the kernel lets it go with the mount.
class ExfatMount {
 public:
  ExfatMount() = default;
  ExfatMount(const ExfatMount&) = delete;
  ExfatMount& operator=(const ExfatMount&) = delete;
  ~ExfatMount() { Unmount(); }

  /// Makes `image` and mounts it at `mount_point`, running the tools in
  /// `folder`. Empty when mounted; else why it cannot be done here, for the
  /// test to skip with.
  std::string Mount(const std::string& image, const std::string& mount_point,
                    const std::vector<std::string>& environment, const std::string& folder);

  /// Unmounts it, and continues `stopped_daemon` first if not -1, once the
  /// standard input of a helper in a session of its own closes: when Unmount
  /// runs, or when the test binary is killed.
  void GuardUnmount(int stopped_daemon = -1);

  /// The driver's own unmount, so that the driver ends with it; else a lazy
  /// one. Nothing when not mounted.
  void Unmount();

 private:
  std::string mount_point_;
  std::vector<std::string> environment_;
  std::string folder_;
  bool mounted_ = false;
  std::optional<BackgroundProgram> guard_;
};
