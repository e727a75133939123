// Output files that a player or an earlier run left in the program folder:
// a layout made read-only, new files of runs that were ended mid-way.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "end_to_end_fixture.h"
#include "fixtures.h"
#include "run_program.h"

namespace fs = std::filesystem;

namespace {

TEST_F(EndToEndTest, AReadOnlyLayoutIsLeftAsItWas) {
  AddPair("Kept@S", CharacterFile(7), SettingsFile("<ui>new</ui>"));
  AddPair("Next@S", CharacterFile(8), SettingsFile("<ui>next</ui>"));
  const std::string kept = program_folder_ + "/ui.7.xml";
  WriteBytes(kept, "a layout the player keeps");
  const fs::perms read_only =
      fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
  fs::permissions(kept, read_only);

  const ProgramRun run = Run({});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output,
            Console(Header() + "[ERROR] Failed to create ui.####.xml for \"" + cache_shown_ +
                    "Kept@S_sc.tmp\".\n"
                    "[SUCCESS] \"" +
                    cache_shown_ +
                    "Next@S_sc.tmp\" >> \".\\ui.8.xml\".\n"
                    "\nDone! File(s) Processed: 1\n" +
                    Pause()));
  EXPECT_EQ(ReadBytes(kept), "a layout the player keeps");
  EXPECT_EQ(fs::status(kept).permissions() & fs::perms::owner_write, fs::perms::none);
  EXPECT_EQ(ListFolder(program_folder_), ProgramName() + " ui.7.xml ui.8.xml");
}

// Writes `path` as a file last written to an hour ago.
void WriteOldFile(const std::string& path, const std::string& contents) {
  WriteBytes(path, contents);
  MakeHourOld(path);
}

// Process numbers play no part: 2147483644 is no process on Linux, and
// Windows refuses it as one.
TEST_F(EndToEndTest, OldNewFilesOfEndedRunsAreRemovedAndNothingElse) {
  AddPair("A@S", CharacterFile(1), SettingsFile("<ui>a</ui>"));
  const std::string left_over[] = {"ui.7.xml.2147483644-0.part", "ui.-1.xml.2147483644-12.part",
                                   "ui.7.xml.1-3.part"};
  const std::string others[] = {"ui.7.xml.2147483644-0.part.bak", "ui.7.xml.2147483644.part",
                                "ui.7.xml.2147483644-0.PART",     "xui.7.xml.2147483644-0.part",
                                "ui.x.xml.2147483644-0.part",     "ui.7.xml.0-0.part",
                                "ui.7.xml.2147483644-0-1.part",   "ui..xml.2147483644-0.part"};
  for (const std::string& name : left_over) WriteOldFile(program_folder_ + "/" + name, "cut short");
  for (const std::string& name : others) WriteOldFile(program_folder_ + "/" + name, "not ours");
  fs::create_directories(program_folder_ + "/ui.8.xml.2147483644-0.part");
  // Written a moment ago: its writer, which no sign here may show (the other
  // build's, one in another PID namespace), may still rename it.
  WriteBytes(program_folder_ + "/ui.9.xml.2147483644-1.part", "still being written");

  const ProgramRun run = Run({});
  EXPECT_EQ(run.exit_code, 0);
  for (const std::string& name : left_over) {
    EXPECT_FALSE(fs::exists(program_folder_ + "/" + name)) << name;
  }
  for (const std::string& name : others) {
    EXPECT_EQ(ReadBytes(program_folder_ + "/" + name), "not ours") << name;
  }
  EXPECT_TRUE(fs::is_directory(program_folder_ + "/ui.8.xml.2147483644-0.part"));
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.9.xml.2147483644-1.part"), "still being written");
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.1.xml"), Utf16Of("<ui>a</ui>"));
}

// Only a regular file can be a leftover. A FIFO named like one must not hold
// the run up, nor a symbolic link have the sweep judge and remove a file
// that lies elsewhere. Both are an hour old, as a leftover would be.
TEST_F(EndToEndTest, AFifoOrALinkNamedLikeALeftoverIsKept) {
  AddPair("A@S", CharacterFile(1), SettingsFile("<ui>a</ui>"));
  const std::string fifo = program_folder_ + "/ui.7.xml.2147483644-0.part";
  const std::string link = program_folder_ + "/ui.8.xml.2147483644-0.part";
  const std::string elsewhere = root_ + "/layouts/ui.8.xml";
  const std::string left_over = program_folder_ + "/ui.9.xml.2147483644-0.part";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  MakeHourOld(fifo);
  WriteOldFile(elsewhere, "a layout kept elsewhere");
  fs::create_symlink(elsewhere, link);
  MakeHourOld(link);
  WriteOldFile(left_over, "cut short");

  const ProgramRun run = RunWithin(30, {});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_TRUE(fs::is_fifo(fs::symlink_status(fifo)));
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(link)));
  EXPECT_EQ(ReadBytes(elsewhere), "a layout kept elsewhere");
  EXPECT_FALSE(fs::exists(left_over));
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.1.xml"), Utf16Of("<ui>a</ui>"));
}

// A link named like a leftover whose file lies in a folder within the
// program folder: the file is the folder's only by a prefix of its path, so
// the sweep keeps both.
TEST_F(EndToEndTest, ALinkNamedLikeALeftoverToAFileInASubfolderIsKept) {
  AddPair("A@S", CharacterFile(1), SettingsFile("<ui>a</ui>"));
  const std::string link = program_folder_ + "/ui.8.xml.2147483644-0.part";
  const std::string within = program_folder_ + "/kept/ui.8.xml.2147483644-0.part";
  fs::create_directories(program_folder_ + "/kept");
  WriteOldFile(within, "a layout kept within");
  fs::create_symlink(within, link);
  MakeHourOld(link);

  const ProgramRun run = RunWithin(30, {});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(link)));
  EXPECT_EQ(ReadBytes(within), "a layout kept within");
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.1.xml"), Utf16Of("<ui>a</ui>"));
}

struct HeldCase {
  std::string name;
  bool in_own_pid_namespace;
};

class HeldNewFile : public EndToEndTest, public ::testing::WithParamInterface<HeldCase> {};

// A writer that stalls for long (a disk that hangs in its flush) still holds
// its new file. On Linux its open file description lock shows it to a run of
// any user; the file names a process number that no process has, so nothing
// else can. The lock is seen from a run in another PID namespace too (a
// container, a Flatpak sandbox), where the writer's own process number would
// mean nothing. On Windows an open handle that shares nothing holds it.
TEST_P(HeldNewFile, IsKept) {
  const bool in_own_pid_namespace = GetParam().in_own_pid_namespace;
  if (in_own_pid_namespace) {
    SKIP_UNDER_WINE();
    if (getuid() != 0 ||
        RunProgram({"/usr/bin/unshare", "--pid", "--fork", "/bin/true"}, environment_, "/")
                .exit_code != 0) {
      GTEST_SKIP() << "needs root, to run the program in a PID namespace of its own by unshare";
    }
  }
  AddPair("A@S", CharacterFile(1), SettingsFile("<ui>a</ui>"));
  const std::string held = program_folder_ + "/ui.7.xml." +
                           (in_own_pid_namespace ? std::to_string(getpid()) : "2147483644") +
                           "-0.part";
  const std::string left_over = program_folder_ + "/ui.8.xml.2147483644-0.part";
  WriteOldFile(held, "still being written");
  WriteOldFile(left_over, "cut short");
  ProgramRun run;
  if (g_under_test.under_wine) {
    BackgroundProgram holder({"wine", g_under_test.holder, Shown(held)}, environment_);
    ASSERT_EQ(holder.ReadLine(), "held");
    run = Run({});
  } else {
    const int fd = open(held.c_str(), O_RDWR | O_CLOEXEC);
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(fd, F_OFD_SETLK, &lock), 0);
    run =
        in_own_pid_namespace ? RunStartedBy({"/usr/bin/unshare", "--pid", "--fork"}, {}) : Run({});
    close(fd);
  }
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(ReadBytes(held), "still being written");
  EXPECT_FALSE(fs::exists(left_over));
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.1.xml"), Utf16Of("<ui>a</ui>"));
}

INSTANTIATE_TEST_SUITE_P(Writers, HeldNewFile,
                         ::testing::Values(HeldCase{"InThisPidNamespace", false},
                                           HeldCase{"InAnotherPidNamespace", true}),
                         CaseName());

// The Linux build and the Windows one under Wine in one program folder (a
// player who runs the game under Wine): neither sees the other's process
// numbers, locks or open handles, so only its fresh time of writing keeps
// the other's new file.
TEST_F(EndToEndTest, TheLinuxAndTheWindowsBuildKeepEachOthersNewFiles) {
  if (!g_under_test.under_wine || g_under_test.linux_program.empty()) {
    GTEST_SKIP() << "needs both builds, as the Windows step runs them";
  }
  fs::copy_file(g_under_test.linux_program, program_folder_ + "/tarnwick");
  AddPair("A@S", CharacterFile(1), SettingsFile("<ui>a</ui>"));
  // Named after a Linux process that runs (this one), and after a number
  // that no Linux process has, as the Windows build names its files.
  const std::string fresh[] = {"ui.7.xml." + std::to_string(getpid()) + "-0.part",
                               "ui.8.xml.2147483644-0.part"};
  for (const std::string& name : fresh) WriteBytes(program_folder_ + "/" + name, "being written");
  WriteOldFile(program_folder_ + "/ui.9.xml.2147483644-0.part", "cut short");

  const ProgramRun linux_run =
      RunProgram({program_folder_ + "/tarnwick"}, {"HOME=" + root_ + "/home", "PATH=/usr/bin:/bin"},
                 root_ + "/caller");
  EXPECT_NE(linux_run.output.find("Current Dir: " + program_folder_ + "\n"), std::string::npos)
      << linux_run.output;
  const ProgramRun windows_run = Run({});
  EXPECT_EQ(windows_run.exit_code, 0);
  for (const std::string& name : fresh) {
    EXPECT_EQ(ReadBytes(program_folder_ + "/" + name), "being written") << name;
  }
  EXPECT_FALSE(fs::exists(program_folder_ + "/ui.9.xml.2147483644-0.part"));
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.1.xml"), Utf16Of("<ui>a</ui>"));
}

// A virus scanner or an indexer holds a new file for a moment: here another
// program holds the output until well after the new file shows, so that the
// first move is refused, and lets go well before the program, trying again
// for about a second, would give up.
TEST_F(EndToEndTest, AnOutputHeldForAMomentIsStillReplaced) {
  if (!g_under_test.under_wine) GTEST_SKIP() << "Windows program only";
  AddPair("Held@S", CharacterFile(43), SettingsFile("<ui>new</ui>"));
  WriteBytes(program_folder_ + "/ui.43.xml", "an earlier layout");
  BackgroundProgram holder({"wine", g_under_test.holder, Shown(program_folder_ + "/ui.43.xml")},
                           environment_);
  ASSERT_EQ(holder.ReadLine(), "held");
  std::atomic<bool> run_ended = false;
  std::thread letting_go([&] {
    while (!run_ended && ListFolder(program_folder_).find(".part") == std::string::npos) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    holder.Finish();
  });
  const ProgramRun run = Run({});
  run_ended = true;
  letting_go.join();
  EXPECT_EQ(run.output, Console(Header() + "[SUCCESS] \"" + cache_shown_ +
                                "Held@S_sc.tmp\" >> \".\\ui.43.xml\".\n"
                                "\nDone! File(s) Processed: 1\n" +
                                Pause()));
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.43.xml"), Utf16Of("<ui>new</ui>"));
  EXPECT_EQ(ListFolder(program_folder_), ProgramName() + " ui.43.xml");
}

// A file system mounted over the program folder for as long as it lives.
class MountedProgramFolder {
 public:
  MountedProgramFolder(const std::string& folder, const std::vector<std::string>& mount,
                       const std::vector<std::string>& environment, const std::string& root)
      : folder_(folder) {
    const ProgramRun run = RunProgram(mount, environment, root);
    mounted_ = run.exit_code == 0;
    errors_ = run.errors;
  }
  MountedProgramFolder(const MountedProgramFolder&) = delete;
  MountedProgramFolder& operator=(const MountedProgramFolder&) = delete;
  ~MountedProgramFolder() {
    if (mounted_) umount2(folder_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  const std::string& errors() const { return errors_; }

 private:
  std::string folder_;
  bool mounted_ = false;
  std::string errors_;
};

// The outputs put on a journalled disk together (ext4 in an image, on a loop
// device) are the outputs and lines of a run on tmpfs: more than one group's
// worth, some of them replacing earlier layouts.
TEST_F(EndToEndTest, ARunOnExt4GivesTheOutputsAndLinesOfARunOnTmpfs) {
  SKIP_UNDER_WINE();
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root, to mount file systems over the program folder";
  }
  constexpr int kPairs = 70;
  // The scan takes the files in byte order of their names.
  const auto name_of = [](int k) { return (k < 10 ? "C0" : "C") + std::to_string(k) + "@S"; };
  for (int k = 1; k <= kPairs; ++k) {
    const std::string name = name_of(k);
    AddPair(name, CharacterFile(static_cast<std::uint64_t>(100 + k)),
            SettingsFile("<ui>layout " + std::to_string(k) + "</ui>"));
    MakeHourOld(cache_ + name + ".tmp");
    MakeHourOld(cache_ + name + "_sc.tmp");
  }
  const std::string program = root_ + "/program";
  fs::copy_file(program_folder_ + "/" + ProgramName(), program);
  const std::string image = root_ + "/ext4.img";
  WriteBytes(image, "");
  fs::resize_file(image, 32 << 20);
  const ProgramRun made = RunProgram({"/sbin/mkfs.ext4", "-q", "-F", image}, environment_, root_);
  if (made.exit_code != 0) {
    GTEST_SKIP() << "cannot make an ext4 image here: " << made.errors;
  }

  struct Result {
    std::string output;
    std::string listing;
    std::string outputs;
  };
  const auto run_on = [&](const std::vector<std::string>& mount) {
    Result result;
    const MountedProgramFolder folder(program_folder_, mount, environment_, root_);
    if (!folder.mounted()) {
      result.output = "cannot mount: " + folder.errors();
      return result;
    }
    fs::copy_file(program, program_folder_ + "/" + ProgramName());
    for (int k = 3; k <= kPairs; k += 3) {
      WriteBytes(program_folder_ + "/ui." + std::to_string(100 + k) + ".xml", "earlier");
    }
    result.output = Run({}).output;
    result.listing = ListFolder(program_folder_);
    for (int k = 1; k <= kPairs; ++k) {
      result.outputs += ReadBytes(program_folder_ + "/ui." + std::to_string(100 + k) + ".xml");
    }
    return result;
  };
  const Result on_tmpfs = run_on({"/bin/mount", "-t", "tmpfs", "tmpfs", program_folder_});
  const Result on_ext4 = run_on({"/bin/mount", "-o", "loop", image, program_folder_});
  if (on_tmpfs.output.starts_with("cannot mount") || on_ext4.output.starts_with("cannot mount")) {
    GTEST_SKIP() << on_tmpfs.output << " " << on_ext4.output;
  }
  std::string lines;
  std::string outputs;
  for (int k = 1; k <= kPairs; ++k) {
    lines += "[SUCCESS] \"" + cache_shown_ + name_of(k) + "_sc.tmp\" >> \".\\ui." +
             std::to_string(100 + k) + ".xml\".\n";
    outputs += Utf16Of("<ui>layout " + std::to_string(k) + "</ui>");
  }
  EXPECT_EQ(on_tmpfs.output, Header() + lines + "\nDone! File(s) Processed: 70\n" + Pause());
  EXPECT_EQ(on_tmpfs.outputs, outputs);
  EXPECT_EQ(on_ext4.output, on_tmpfs.output);
  EXPECT_EQ(on_ext4.outputs, on_tmpfs.outputs);
  // ext4's own folder is all that it holds beside: no new file is left.
  EXPECT_EQ(on_ext4.listing, "lost+found " + on_tmpfs.listing);
}

}  // namespace
