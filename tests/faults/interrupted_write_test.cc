// The replace of output files under a power cut, a failing disk or a
// signal. The test binary supplies its own write, syncfs, fsync and rename,
// which the conversion's replace goes through: they record the order of the
// calls, and can fail the writes of one new file, a flush or one rename, or
// raise a signal just before a rename.

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "convert/convert.h"
#include "convert/pair_queue.h"
#include "convert/replace_file.h"
#include "fixtures.h"
#include "platform/new_files.h"
#include "platform/platform.h"
#include "pretend_clock.h"
#include "string_console.h"
#include "temp_dir.h"

namespace {

struct ReplaceSeam {
  bool armed = false;
  /// In order: "write NAME " (a new file's name, up to its first '.' after
  /// "ui."), "syncfs ", "fsync file ", "fsync folder ", "rename FROM ", and
  /// "line " for each line a queue writes.
  std::string calls;
  int sync_error = 0;          ///< Fails syncfs with this errno.
  int folder_flush_error = 0;  ///< Fails the fsync of a folder with this errno.
  int failing_rename = 0;      ///< Fails the nth rename (from 1) with EACCES.
  std::int64_t sync_ns = 0;    ///< How long syncfs takes by the pretend clock.
  int full_disk_at = 0;        ///< The nth new file (from 1) finds the disk full.
  int signal_at_rename = 0;
  bool locked_at_rename = false;  ///< Another run sees the writer's lock on the new file.
  int renames = 0;
  int new_files = 0;
  std::string last_new_file;
};

ReplaceSeam g_seam;

// The output a new file is for, "ui.7.xml" of "ui.7.xml.123-0.part"; empty
// for any file that is no new output.
std::string NewFileOf(int fd) {
  char link[64];
  char target[PATH_MAX];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t size = readlink(link, target, sizeof target - 1);
  if (size <= 0) return {};
  const std::string path(target, static_cast<std::size_t>(size));
  const std::size_t name = path.rfind('/') + 1;
  if (!path.ends_with(".part") || path.compare(name, 3, "ui.") != 0) return {};
  return path.substr(name, path.find(".xml.", name) + 4 - name);
}

}  // namespace

extern "C" ssize_t write(int fd, const void* data, size_t size) {
  using Write = ssize_t (*)(int, const void*, size_t);
  static const auto real_write = reinterpret_cast<Write>(dlsym(RTLD_NEXT, "write"));
  if (g_seam.armed) {
    const std::string output = NewFileOf(fd);
    if (!output.empty()) {
      if (output != g_seam.last_new_file) {
        g_seam.last_new_file = output;
        ++g_seam.new_files;
      }
      g_seam.calls += "write " + output + " ";
      if (g_seam.new_files == g_seam.full_disk_at) {
        errno = ENOSPC;
        return -1;
      }
    }
  }
  return real_write(fd, data, size);
}

extern "C" int syncfs(int fd) {
  static const auto real_syncfs = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "syncfs"));
  if (g_seam.armed) {
    g_seam.calls += "syncfs ";
    g_pretend_now_ns += g_seam.sync_ns;
    if (g_seam.sync_error != 0) {
      errno = g_seam.sync_error;
      return -1;
    }
  }
  return real_syncfs(fd);
}

extern "C" int fsync(int fd) {
  static const auto real_fsync = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
  if (g_seam.armed) {
    struct stat info;
    const bool folder = fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
    g_seam.calls += folder ? "fsync folder " : "fsync file ";
    if (folder && g_seam.folder_flush_error != 0) {
      errno = g_seam.folder_flush_error;
      return -1;
    }
  }
  return real_fsync(fd);
}

extern "C" int rename(const char* from, const char* to) {
  using Rename = int (*)(const char*, const char*);
  static const auto real_rename = reinterpret_cast<Rename>(dlsym(RTLD_NEXT, "rename"));
  if (g_seam.armed) {
    g_seam.calls += std::string("rename ") + from + " ";
    const int fd = open(from, O_RDONLY | O_CLOEXEC);
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    g_seam.locked_at_rename = fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
    close(fd);
    if (g_seam.signal_at_rename != 0) {
      raise(g_seam.signal_at_rename);
    }
    if (++g_seam.renames == g_seam.failing_rename) {
      errno = EACCES;
      return -1;
    }
  }
  return real_rename(from, to);
}

namespace {

class InterruptedWriteTest : public InTempDirTest {
 protected:
  void SetUp() override {
    InTempDirTest::SetUp();
    WriteBytes("A@S.tmp", CharacterFile(7));
    WriteBytes("A@S_sc.tmp", SettingsFile("<ui>new</ui>"));
    WriteBytes("ui.7.xml", "an earlier layout");
  }
  void TearDown() override {
    g_seam = {};
    InTempDirTest::TearDown();
  }

  ConversionResult Convert() {
    NativeString output_name;
    g_seam.armed = true;
    const ConversionResult result = ConvertFilePair("A@S.tmp", "A@S_sc.tmp", "", output_name);
    g_seam.armed = false;
    return result;
  }
};

TEST_F(InterruptedWriteTest, TheNewFileIsLockedAndOnTheDiskBeforeItTakesTheName) {
  EXPECT_EQ(Convert(), kConverted);
  const std::string new_file = "ui.7.xml." + std::to_string(getpid()) + "-";
  EXPECT_TRUE(g_seam.calls.starts_with("write ui.7.xml syncfs rename " + new_file)) << g_seam.calls;
  EXPECT_TRUE(g_seam.calls.ends_with(".part fsync folder ")) << g_seam.calls;
  EXPECT_TRUE(g_seam.locked_at_rename);
  EXPECT_EQ(ReadBytes("ui.7.xml"), Utf16Of("<ui>new</ui>"));
}

TEST_F(InterruptedWriteTest, AFailedFlushKeepsTheEarlierLayout) {
  g_seam.sync_error = EIO;
  EXPECT_EQ(Convert(), kCannotCreateOutputFile);
  EXPECT_EQ(g_seam.calls, "write ui.7.xml syncfs ");
  EXPECT_EQ(ReadBytes("ui.7.xml"), "an earlier layout");
  EXPECT_EQ(ListFolder("."), "A@S.tmp A@S_sc.tmp ui.7.xml");
}

// A file system with no disk behind it cannot flush a folder, and need not.
TEST_F(InterruptedWriteTest, AFileSystemThatCannotFlushAFolderStillGetsTheLayout) {
  g_seam.folder_flush_error = EINVAL;
  EXPECT_EQ(Convert(), kConverted);
  EXPECT_EQ(ReadBytes("ui.7.xml"), Utf16Of("<ui>new</ui>"));
}

// A new name that may not have reached the disk is no success.
TEST_F(InterruptedWriteTest, AFailedFlushOfTheFolderIsNoSuccess) {
  g_seam.folder_flush_error = EIO;
  EXPECT_EQ(Convert(), kCannotCreateOutputFile);
  EXPECT_EQ(ListFolder("."), "A@S.tmp A@S_sc.tmp ui.7.xml");
}

// Ten pairs of one run, each with an earlier layout, go through one queue.
class GroupCommitTest : public InTempDirTest {
 protected:
  static constexpr int kPairs = 10;

  class RecordingConsole : public StringConsole {
   public:
    void Write(const NativeString& text) override {
      StringConsole::Write(text);
      g_seam.calls += "line ";
    }
  };

  void SetUp() override {
    InTempDirTest::SetUp();
    for (int k = 1; k <= kPairs; ++k) {
      WriteBytes("cache/C" + std::to_string(k) + "@S.tmp",
                 CharacterFile(static_cast<std::uint64_t>(100 + k)));
      WriteBytes("cache/C" + std::to_string(k) + "@S_sc.tmp", SettingsFile(Layout(k)));
      WriteBytes(Output(k), Earlier(k));
    }
  }
  void TearDown() override {
    g_seam = {};
    InTempDirTest::TearDown();
  }

  static std::string Layout(int k) { return "<ui>layout " + std::to_string(k) + "</ui>"; }
  static std::string Output(int k) { return "ui." + std::to_string(100 + k) + ".xml"; }
  static std::string Earlier(int k) { return "an earlier layout " + std::to_string(k); }
  static NativeString Settings(int k) {
    return NativeOf("cache/C" + std::to_string(k) + "@S_sc.tmp");
  }

  // The lines of the run, which are all written by the end.
  NativeString Run(int pairs = kPairs) {
    RecordingConsole console;
    unsigned processed = 0;
    g_seam.armed = true;
    {
      PairQueue queue(console, processed, NativeString());
      for (int k = 1; k <= pairs; ++k) {
        queue.Add({NativeOf("cache/C" + std::to_string(k) + "@S.tmp"), Settings(k), Settings(k)});
      }
      queue.Finish();
    }
    g_seam.armed = false;
    return console.text_;
  }

  static NativeString Line(int k, bool placed) {
    return StatusLine(placed ? kConverted : kCannotCreateOutputFile, NativeString(), Settings(k),
                      NativeOf(".\\" + Output(k)));
  }
};

// Every new file is written, then all are flushed at once, then renamed in
// the order of the pairs, then the folder is flushed, and only then is any
// line written.
TEST_F(GroupCommitTest, ARunsOutputsReachTheDiskTogetherBeforeTheirLines) {
  const NativeString lines = Run();
  std::string writes;
  std::string renames;
  std::string line_calls;
  NativeString expected_lines;
  for (int k = 1; k <= kPairs; ++k) {
    writes += "write " + Output(k) + " ";
    renames += "rename " + Output(k) + "." + std::to_string(getpid()) + "-";
    line_calls += "line ";
    expected_lines += Line(k, true);
    EXPECT_EQ(ReadBytes(Output(k)), Utf16Of(Layout(k)));
  }
  EXPECT_EQ(lines, expected_lines);
  // The new files' names without their counters: "ui.101.xml.PID-".
  std::string seen = g_seam.calls;
  for (std::size_t at = seen.find(".part "); at != std::string::npos; at = seen.find(".part ")) {
    const std::size_t dash = seen.rfind('-', at);
    seen.erase(dash + 1, at + std::string_view(".part ").size() - dash - 1);
  }
  EXPECT_EQ(seen, writes + "syncfs " + renames + "fsync folder " + line_calls);
}

// A signal at the first rename of a group ends the program with every new
// file of the group removed, and every earlier layout as it was.
TEST_F(GroupCommitTest, ASignalRemovesEveryNewFileOfTheGroup) {
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    const rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    WatchNewFiles({NewFileMade, NewFileGone});
    SystemPlatform().SetUpSignals();
    g_seam.signal_at_rename = SIGTERM;
    Run();
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
  std::string listing = "cache";
  for (int k = 1; k <= kPairs; ++k) {
    EXPECT_EQ(ReadBytes(Output(k)), Earlier(k));
    listing += " " + Output(k);
  }
  EXPECT_EQ(ListFolder("."), listing);
}

// Under a limit on open files that a group of ten new files would pass, the
// groups are smaller, and every pair still gets its layout.
TEST_F(GroupCommitTest, ALowLimitOnOpenFilesMakesSmallerGroups) {
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    int open_files = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
      (void)entry;
      ++open_files;
    }
    const rlim_t limit = static_cast<rlim_t>(open_files) + 4;
    const rlimit few = {limit, limit};
    setrlimit(RLIMIT_NOFILE, &few);
    NativeString expected;
    for (int k = 1; k <= kPairs; ++k) expected += Line(k, true);
    _exit(Run() == expected ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  for (int k = 1; k <= kPairs; ++k) {
    EXPECT_EQ(ReadBytes(Output(k)), Utf16Of(Layout(k)));
  }
}

// Where a flush takes a while, the run puts its outputs in place in larger
// groups after the first, which need fewer flushes; where a flush costs
// next to nothing, the groups stay small.
TEST_F(GroupCommitTest, GroupsGrowOnADiskWhoseFlushesTakeTime) {
  constexpr int kManyPairs = 300;
  for (int k = kPairs + 1; k <= kManyPairs; ++k) {
    WriteBytes("cache/C" + std::to_string(k) + "@S.tmp",
               CharacterFile(static_cast<std::uint64_t>(100 + k)));
    WriteBytes("cache/C" + std::to_string(k) + "@S_sc.tmp", SettingsFile(Layout(k)));
  }
  const SettleClock saved_clock = CurrentSettleClock();
  const FileFacts saved_facts = CurrentFileFacts();
  // Old files on a trusted drive are taken at their first look.
  UsePretendClock();
  CurrentSettleClock().file_time_age_ns = [](std::int64_t file_time) {
    return NanosecondsSince(file_time) + 3'600'000'000'000;
  };
  CurrentFileFacts().trust = [](const InputFile&) { return StampTrust::kTrusted; };
  const auto flushes_with = [&](std::int64_t sync_ns) {
    g_seam.sync_ns = sync_ns;
    g_seam.calls.clear();
    Run(kManyPairs);
    std::size_t count = 0;
    for (std::size_t at = g_seam.calls.find("syncfs"); at != std::string::npos;
         at = g_seam.calls.find("syncfs", at + 1)) {
      ++count;
    }
    return count;
  };
  EXPECT_EQ(flushes_with(0), 3u);                 // 128, 128, 44
  EXPECT_EQ(flushes_with(2 * kSlowFlushNs), 2u);  // 128, then 172
  CurrentSettleClock() = saved_clock;
  CurrentFileFacts() = saved_facts;
  for (int k = 1; k <= kManyPairs; ++k) {
    EXPECT_EQ(ReadBytes(Output(k)), Utf16Of(Layout(k)));
  }
}

struct GroupFault {
  const char* name;
  int sync_error = 0;
  int failing_rename = 0;
  int full_disk_at = 0;
  std::vector<int> failed;  ///< The pairs that get the failure line.
};

class GroupFaultTest : public GroupCommitTest, public ::testing::WithParamInterface<GroupFault> {};

// Each pair that a fault touches fails, with its earlier layout kept byte for
// byte; every other pair gets its new layout; no new file is left.
TEST_P(GroupFaultTest, FailsOnlyThePairsItTouches) {
  const GroupFault& fault = GetParam();
  g_seam.sync_error = fault.sync_error;
  g_seam.failing_rename = fault.failing_rename;
  g_seam.full_disk_at = fault.full_disk_at;
  const NativeString lines = Run();
  NativeString expected_lines;
  std::string listing = "cache";
  for (int k = 1; k <= kPairs; ++k) {
    const bool failed =
        std::find(fault.failed.begin(), fault.failed.end(), k) != fault.failed.end();
    expected_lines += Line(k, !failed);
    EXPECT_EQ(ReadBytes(Output(k)), failed ? Earlier(k) : Utf16Of(Layout(k))) << Output(k);
    listing += " " + Output(k);
  }
  EXPECT_EQ(lines, expected_lines);
  EXPECT_EQ(ListFolder("."), listing);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, GroupFaultTest,
    ::testing::Values(GroupFault{"FailedFlush", EIO, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
                      GroupFault{"FailedRenameMidGroup", 0, 4, 0, {4}},
                      GroupFault{"DiskFullOnTheFifthOutput", 0, 0, 5, {5}}),
    CaseName());

class SignalAtTheRename : public InterruptedWriteTest,
                          public ::testing::WithParamInterface<SignalCase> {};

// In a child process, set up as the program sets itself up, so that the
// signal can end it.
TEST_P(SignalAtTheRename, EndsTheProgramWithoutLeavingTheNewFile) {
  const int signal_number = GetParam().signal;
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    const rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    WatchNewFiles({NewFileMade, NewFileGone});
    SystemPlatform().SetUpSignals();
    g_seam.signal_at_rename = signal_number;
    Convert();
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << "status " << status;
  EXPECT_EQ(ReadBytes("ui.7.xml"), "an earlier layout");
  EXPECT_EQ(ListFolder("."), "A@S.tmp A@S_sc.tmp ui.7.xml");
}

// As under nohup: a hang-up that the caller ignores must not end the run.
TEST_F(InterruptedWriteTest, ASignalTheCallerIgnoresStaysIgnored) {
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    std::signal(SIGHUP, SIG_IGN);
    WatchNewFiles({NewFileMade, NewFileGone});
    SystemPlatform().SetUpSignals();
    g_seam.signal_at_rename = SIGHUP;
    _exit(Convert() == kConverted ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_EQ(ReadBytes("ui.7.xml"), Utf16Of("<ui>new</ui>"));
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalAtTheRename, ::testing::ValuesIn(kEndingSignals),
                         CaseName());

}  // namespace
