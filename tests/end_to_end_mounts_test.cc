// Mounts elsewhere on the machine: one whose FUSE daemon no longer answers,
// so that any look into it blocks, must not hold up a run whose cache folder
// lies on the local disk. The program may look at nothing outside the paths
// of its own files.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
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
#include "exfat_mount.h"
#include "fixtures.h"

namespace {

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
    mount_point_ = root_ + "/dead";
    const std::string why = exfat_.Mount(root_ + "/dead.img", mount_point_, environment_, root_);
    if (!why.empty()) {
      GTEST_SKIP() << why;
    }
    daemon_ = DaemonOf(mount_point_);
    ASSERT_GT(daemon_, 0) << "no exfat-fuse process serves " << mount_point_;
    exfat_.GuardUnmount(daemon_);
    ASSERT_EQ(kill(daemon_, SIGSTOP), 0);
    stopped_ = true;
  }

  // The daemon continued first, so that the unmount and the removal of the
  // test's folder do not wait for it.
  void TearDown() override {
    if (stopped_) {
      kill(daemon_, SIGCONT);
    }
    exfat_.Unmount();
    EndToEndTest::TearDown();
  }

  std::string mount_point_;
  int daemon_ = -1;
  bool stopped_ = false;
  ExfatMount exfat_;
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

// A drive mounted over the cache folder while a pair waits (a stick mounted
// there mid-run) must not give the pair its character file from the disk
// and its settings file from the stick: both come from the cache folder as
// the run opened it. The character file is old and taken at the first look;
// the settings file, saved a moment ago, is read again 1.5 s later. The
// stick, ready beside, is bound over the cache folder the moment the program
// has read the settings file once, well within that wait.
TEST_F(EndToEndTest, APairIsReadFromOneFolderWhenADriveIsMountedOverIt) {
  SKIP_UNDER_WINE();
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to mount a drive over the cache folder";
  const std::string stick = root_ + "/stick";
  std::filesystem::create_directory(stick);
  if (mount("tmpfs", stick.c_str(), "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  }
  struct Unmount {
    std::vector<std::string> points;
    ~Unmount() {
      for (auto point = points.rbegin(); point != points.rend(); ++point) {
        umount2(point->c_str(), MNT_DETACH);
      }
    }
  } unmount{{stick}};
  WriteBytes(stick + "/C@S.tmp", CharacterFile(8));
  WriteBytes(stick + "/C@S_sc.tmp", SettingsFile("<ui>the stick's layout</ui>"));
  WriteBytes(cache_ + "C@S.tmp", CharacterFile(7));
  // Past the two seconds after which a file is read once.
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
  WriteBytes(cache_ + "C@S_sc.tmp", SettingsFile("<ui>the disk's layout</ui>"));
  const int watch = inotify_init1(IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, (cache_ + "C@S_sc.tmp").c_str(), IN_CLOSE_NOWRITE), 0);

  BackgroundProgram program({program_folder_ + "/" + ProgramName()}, environment_);
  pollfd ready = {watch, POLLIN, 0};
  ASSERT_EQ(poll(&ready, 1, 30000), 1) << "the program never read the settings file";
  ASSERT_EQ(mount(stick.c_str(), cache_.c_str(), nullptr, MS_BIND, nullptr), 0)
      << std::strerror(errno);
  unmount.points.push_back(cache_);
  close(watch);
  // The banner, the pair's line and the closing count; a program that
  // ended early leaves empty lines.
  std::string lines;
  for (int k = 0; k < 20 && !lines.ends_with("Done!\n"); ++k) {
    const std::string line = program.ReadLine();
    lines += line.substr(0, 5) == "Done!" ? "Done!\n" : line + "\n";
  }
  EXPECT_EQ(program.Finish(), 0);
  EXPECT_NE(lines.find("[SUCCESS]"), std::string::npos) << lines;
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.7.xml"), Utf16Of("<ui>the disk's layout</ui>"));
  EXPECT_FALSE(std::filesystem::exists(program_folder_ + "/ui.8.xml"));
}

}  // namespace
