// Mounts elsewhere on the machine: one whose FUSE daemon no longer answers,
// so that any look into it blocks, must not hold up a run whose cache folder
// lies on the local disk. The program may look at nothing outside the paths
// of its own files.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "end_to_end_fixture.h"
#include "fixtures.h"

namespace {

// Where root's tools lie; empty when `name` is in none of those folders.
std::string ToolPath(const std::string& name) {
  for (const std::string folder : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
    if (access((folder + name).c_str(), X_OK) == 0) {
      return folder + name;
    }
  }
  return "";
}

// The process that serves the FUSE mount at `mount_point`: the one whose
// last argument names it and whose program is the exFAT driver.
int DaemonOf(const std::string& mount_point) {
  DIR* processes = opendir("/proc");
  if (processes == nullptr) return -1;
  int found = -1;
  while (const dirent* entry = readdir(processes)) {
    const int pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    const std::string command = ReadBytes("/proc/" + std::string(entry->d_name) + "/cmdline");
    std::vector<std::string> arguments;
    for (std::size_t start = 0; start < command.size();) {
      const std::size_t end = std::min(command.find('\0', start), command.size());
      arguments.push_back(command.substr(start, end - start));
      start = end + 1;
    }
    if (arguments.size() >= 2 && arguments.front().find("exfat") != std::string::npos &&
        arguments.back() == mount_point) {
      found = pid;
    }
  }
  closedir(processes);
  return found;
}

// An exFAT image mounted through exfat-fuse beside the cache folder, its
// daemon stopped: a stat of the mount's folder or of anything in it waits
// for the daemon, which never answers until it is continued.
class DeadMountElsewhere : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    if (geteuid() != 0) {
      GTEST_SKIP() << "needs root, to mount an exFAT image through FUSE";
    }
    const int fuse = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fuse < 0) {
      GTEST_SKIP() << "cannot open /dev/fuse (" << std::strerror(errno)
                   << "), so no FUSE file system can be mounted here";
    }
    close(fuse);
    const std::string make = ToolPath("mkfs.exfat");
    const std::string mount = ToolPath("mount.exfat-fuse");
    const std::string loop = ToolPath("losetup");
    if (make.empty() || mount.empty() || loop.empty()) {
      GTEST_SKIP() << "needs mkfs.exfat (exfatprogs), mount.exfat-fuse (exfat-fuse) and losetup "
                      "(mount), which scripts/install-deps.sh build installs";
    }
    const std::string image = root_ + "/dead.img";
    mount_point_ = root_ + "/dead";
    std::filesystem::create_directories(mount_point_);
    WriteBytes(image, "");
    std::filesystem::resize_file(image, 16 << 20);
    const ProgramRun made = RunProgram({make, image}, environment_, root_);
    const ProgramRun attached = RunProgram({loop, "--find", "--show", image}, environment_, root_);
    std::string device = attached.output;
    while (!device.empty() && device.back() == '\n') device.pop_back();
    ProgramRun mounted;
    if (made.exit_code == 0 && attached.exit_code == 0) {
      mounted = RunProgram({mount, device, mount_point_}, environment_, root_);
    }
    if (attached.exit_code == 0) {
      RunProgram({loop, "--detach", device}, environment_, root_);
    }
    if (mounted.exit_code != 0) {
      GTEST_SKIP() << "cannot make and mount an exFAT image through exfat-fuse here (exit "
                   << "statuses of mkfs.exfat, losetup, mount.exfat-fuse: " << made.exit_code
                   << ", " << attached.exit_code << ", " << mounted.exit_code
                   << "): " << made.errors << attached.errors << mounted.errors;
    }
    mounted_ = true;
    daemon_ = DaemonOf(mount_point_);
    ASSERT_GT(daemon_, 0) << "no exfat-fuse process serves " << mount_point_;
    // Continues the daemon and unmounts once its input closes: at the end of
    // the test, or when the test binary is killed. A session of its own
    // outlives a kill of the process group.
    unmounter_.emplace(
        std::vector<std::string>{ToolPath("setsid"), "/bin/sh", "-c",
                                 "cat >/dev/null; kill -CONT \"$2\"; exec \"$0\" -l \"$1\"",
                                 ToolPath("umount"), mount_point_, std::to_string(daemon_)},
        environment_);
    ASSERT_EQ(kill(daemon_, SIGSTOP), 0);
    stopped_ = true;
  }

  // The daemon continued first, so that the unmount and the removal of the
  // test's folder do not wait for it.
  void TearDown() override {
    if (stopped_) {
      kill(daemon_, SIGCONT);
    }
    if (mounted_) {
      bool unmounted = false;
      for (const std::string name : {"fusermount", "fusermount3"}) {
        const std::string tool = ToolPath(name);
        unmounted = unmounted ||
                    (!tool.empty() &&
                     RunProgram({tool, "-u", mount_point_}, environment_, root_).exit_code == 0);
      }
      if (!unmounted) {
        umount2(mount_point_.c_str(), MNT_DETACH);
      }
    }
    unmounter_.reset();
    EndToEndTest::TearDown();
  }

  std::string mount_point_;
  bool mounted_ = false;
  int daemon_ = -1;
  bool stopped_ = false;
  std::optional<BackgroundProgram> unmounter_;
};

// Hour-old files whose change times have passed two seconds, so that the
// program asks the file system for its trust in their stamps. A run that
// looked into the dead mount would still wait when the time limit kills it.
TEST_F(DeadMountElsewhere, DoesNotHoldUpARunOnTheLocalDisk) {
  AddPair("Alice@S", CharacterFile(7), SettingsFile("<ui><a/></ui>"));
  MakeHourOld(cache_ + "Alice@S.tmp");
  MakeHourOld(cache_ + "Alice@S_sc.tmp");
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
  const ProgramRun run = RunWithin(60, {});
  EXPECT_EQ(run.exit_code, 0) << "killed by the time limit?";
  EXPECT_EQ(
      run.output,
      Console(Header() + Success(cache_shown_ + "Alice@S_sc.tmp", "7") + Closing(1)) + Pause());
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.7.xml"), Utf16Of("<ui><a/></ui>"));
}

}  // namespace
