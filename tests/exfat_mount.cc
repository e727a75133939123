#include "exfat_mount.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "temp_dir.h"

std::string SystemTool(const std::string& name) {
  for (const std::string folder : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
    if (access((folder + name).c_str(), X_OK) == 0) {
      return folder + name;
    }
  }
  return "";
}

std::string ExfatMount::Mount(const std::string& image, const std::string& mount_point,
                              const std::vector<std::string>& environment,
                              const std::string& folder) {
  if (geteuid() != 0) {
    return "needs root, to mount an exFAT image through FUSE";
  }
  // Opened, not only looked for: a container may list the device and still
  // refuse it.
  const int fuse = open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fuse < 0) {
    return "cannot open /dev/fuse (" + std::string(std::strerror(errno)) +
           "), so no FUSE file system can be mounted here";
  }
  close(fuse);
  const std::string make = SystemTool("mkfs.exfat");
  const std::string mount = SystemTool("mount.exfat-fuse");
  const std::string loop = SystemTool("losetup");
  if (make.empty() || mount.empty() || loop.empty()) {
    return "needs mkfs.exfat (exfatprogs), mount.exfat-fuse (exfat-fuse) and losetup (mount), "
           "which scripts/install-deps.sh build installs";
  }
  std::filesystem::create_directories(mount_point);
  WriteBytes(image, "");
  std::filesystem::resize_file(image, 16 << 20);
  const ProgramRun made = RunProgram({make, image}, environment, folder);
  const ProgramRun attached = RunProgram({loop, "--find", "--show", image}, environment, folder);
  std::string device = attached.output;
  while (!device.empty() && device.back() == '\n') device.pop_back();
  ProgramRun mounted;
  if (made.exit_code == 0 && attached.exit_code == 0) {
    mounted = RunProgram({mount, device, mount_point}, environment, folder);
  }
  if (attached.exit_code == 0) {
    RunProgram({loop, "--detach", device}, environment, folder);
  }
  if (mounted.exit_code != 0) {
    return "cannot make and mount an exFAT image through exfat-fuse here (exit statuses of "
           "mkfs.exfat, losetup, mount.exfat-fuse: " +
           std::to_string(made.exit_code) + ", " + std::to_string(attached.exit_code) + ", " +
           std::to_string(mounted.exit_code) + "): " + made.errors + attached.errors +
           mounted.errors;
  }
  mount_point_ = mount_point;
  environment_ = environment;
  folder_ = folder;
  mounted_ = true;
  return "";
}

void ExfatMount::GuardUnmount(int stopped_daemon) {
  guard_.emplace(
      std::vector<std::string>{SystemTool("setsid"), "/bin/sh", "-c",
                               "cat >/dev/null; [ \"$2\" = -1 ] || kill -CONT \"$2\"; "
                               "exec \"$0\" -l \"$1\"",
                               SystemTool("umount"), mount_point_, std::to_string(stopped_daemon)},
      environment_);
}

void ExfatMount::Unmount() {
  if (mounted_) {
    bool unmounted = false;
    for (const std::string name : {"fusermount", "fusermount3"}) {
      const std::string tool = SystemTool(name);
      unmounted = unmounted ||
                  (!tool.empty() &&
                   RunProgram({tool, "-u", mount_point_}, environment_, folder_).exit_code == 0);
    }
    if (!unmounted) {
      umount2(mount_point_.c_str(), MNT_DETACH);
    }
    mounted_ = false;
  }
  guard_.reset();
}
