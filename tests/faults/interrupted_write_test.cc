// The replace of an output file under a power cut or a signal. The test
// binary supplies its own fsync and rename, which the conversion's replace
// goes through: they record the order of the calls, and can fail the flush
// or raise a signal just before the rename.

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>

#include "convert/convert.h"
#include "convert/pair_queue.h"
#include "convert/replace_file.h"
#include "fixtures.h"
#include "platform/new_files.h"
#include "platform/platform.h"
#include "temp_dir.h"

namespace {

struct ReplaceSeam {
  bool armed = false;
  std::string calls;    ///< "fsync " and "rename FROM " in order.
  int flush_error = 0;  ///< Fails fsync with this errno.
  int signal_at_rename = 0;
  bool locked_at_rename = false;  ///< Another run sees the writer's lock on the new file.
};

ReplaceSeam g_seam;

}  // namespace

extern "C" int fsync(int fd) {
  static const auto real_fsync = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
  if (g_seam.armed) {
    g_seam.calls += "fsync ";
    if (g_seam.flush_error != 0) {
      errno = g_seam.flush_error;
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
  EXPECT_TRUE(g_seam.calls.starts_with("fsync rename " + new_file)) << g_seam.calls;
  EXPECT_TRUE(g_seam.calls.ends_with(".part ")) << g_seam.calls;
  EXPECT_TRUE(g_seam.locked_at_rename);
  EXPECT_EQ(ReadBytes("ui.7.xml"), Utf16Of("<ui>new</ui>"));
}

TEST_F(InterruptedWriteTest, AFailedFlushKeepsTheEarlierLayout) {
  g_seam.flush_error = EIO;
  EXPECT_EQ(Convert(), kCannotCreateOutputFile);
  EXPECT_EQ(ReadBytes("ui.7.xml"), "an earlier layout");
  EXPECT_EQ(ListFolder("."), "A@S.tmp A@S_sc.tmp ui.7.xml");
}

// A file system with no disk behind it cannot flush, and need not.
TEST_F(InterruptedWriteTest, AFileSystemThatCannotFlushStillGetsTheLayout) {
  g_seam.flush_error = EINVAL;
  EXPECT_EQ(Convert(), kConverted);
  EXPECT_EQ(ReadBytes("ui.7.xml"), Utf16Of("<ui>new</ui>"));
}

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
