#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>

#include "convert/file_io.h"
#include "convert/quiet_read.h"
#include "fixtures.h"
#include "pretend_clock.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

// Far below the kernel's lease-break time (45 s by default), for which a
// lease that is never given up holds a writer back.
constexpr auto kPromptly = std::chrono::seconds(5);

// Runs `work` in a second process, a copy of this one, which exits with
// what `work` returns. The test process has one thread, so the copy may
// call anything.
template <typename Work>
pid_t RunInOtherProcess(Work work) {
  const pid_t child = fork();
  if (child == 0) {
    _exit(work());
  }
  return child;
}

// The exit status of `child`; -1 when a signal ended it.
int ExitStatusOf(pid_t child) {
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A second process that opens `path` for writing, writes `bytes` at its
// start, and holds it open until the test closes `release`; returned once
// the file is open. `pid` is 0 when it could not be started.
struct Holder {
  pid_t pid = 0;
  int release = -1;
};

Holder HoldOpenForWriting(const std::string& path, std::string_view bytes) {
  int ready[2];
  int release[2];
  if (pipe(ready) != 0 || pipe(release) != 0) return {};
  const pid_t pid = RunInOtherProcess([&] {
    close(ready[0]);
    close(release[1]);
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    char byte = 'w';
    if (fd < 0 || pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()) ||
        write(ready[1], &byte, 1) != 1) {
      return 1;
    }
    while (read(release[0], &byte, 1) > 0) {
    }
    close(fd);
    return 0;
  });
  close(ready[1]);
  close(release[0]);
  char byte = 0;
  const bool open = read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  if (!open) {
    close(release[1]);
    ExitStatusOf(pid);
    return {};
  }
  return {pid, release[1]};
}

// The lease break's signal held back from this process until Release, or
// until the end of the scope.
class BreakSignalHeldBack {
 public:
  BreakSignalHeldBack() {
    sigemptyset(&signal_);
    sigaddset(&signal_, SIGIO);
    sigprocmask(SIG_BLOCK, &signal_, nullptr);
  }
  ~BreakSignalHeldBack() { Release(); }
  void Release() { sigprocmask(SIG_UNBLOCK, &signal_, nullptr); }
  bool Pending() const {
    sigset_t pending;
    return sigpending(&pending) == 0 && sigismember(&pending, SIGIO) == 1;
  }

 private:
  sigset_t signal_;
};

// On tmpfs, which grants read leases, like the local disks of players.
class WriterWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/dev/shm/tarnwick-test-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
      GTEST_SKIP() << "no tmpfs at /dev/shm: " << std::strerror(errno);
    }
    folder_ = folder;
    path_ = (folder_ / "CHAR@SERVER_sc.tmp").string();
    WriteBytes(path_, "old bytes");
  }
  void TearDown() override {
    if (HasFailure()) {
      std::cerr << "Files of the failed test kept in " << folder_.string() << "\n";
      return;
    }
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  fs::path folder_;
  std::string path_;
};

TEST_F(WriterWatchTest, TellsAProcessThatHoldsTheFileOpenForWriting) {
  InputFile file;
  ASSERT_TRUE(file.Open(path_));
  EXPECT_EQ(file.StartWriterWatch(), WriterCheck::kNone);
  EXPECT_TRUE(file.EndWriterWatch());

  const Holder writer = HoldOpenForWriting(path_, "");
  ASSERT_NE(writer.pid, 0);
  EXPECT_EQ(file.StartWriterWatch(), WriterCheck::kOpen);
  close(writer.release);
  EXPECT_EQ(ExitStatusOf(writer.pid), 0);

  EXPECT_EQ(file.StartWriterWatch(), WriterCheck::kNone);
  EXPECT_TRUE(file.EndWriterWatch());
}

// What the writer does, in its own process: 0 when every call succeeded.
struct WriteCase {
  std::string name;
  int (*write)(const char* path);
  std::string left;  ///< The file's bytes afterwards.
};

void PrintTo(const WriteCase& c, std::ostream* out) { *out << c.name; }

int WriteNewBytes(const char* path, int flags) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC | flags);
  if (fd < 0) return 1;
  const bool written = write(fd, "new", 3) == 3;
  return close(fd) == 0 && written ? 0 : 2;
}

const WriteCase kWriteCases[] = {
    {"OpenForWriting", [](const char* path) { return WriteNewBytes(path, 0); }, "new bytes"},
    {"OpenTruncating", [](const char* path) { return WriteNewBytes(path, O_TRUNC); }, "new"},
    {"TruncateByPath", [](const char* path) { return truncate(path, 0) == 0 ? 0 : 3; }, ""},
};

class WriterDuringWatchTest : public WriterWatchTest,
                              public ::testing::WithParamInterface<WriteCase> {};

TEST_P(WriterDuringWatchTest, GoesOnAtOnceAndEndsTheWatchDisturbed) {
  InputFile file;
  ASSERT_TRUE(file.Open(path_));
  ASSERT_EQ(file.StartWriterWatch(), WriterCheck::kNone);

  int report[2];
  ASSERT_EQ(pipe(report), 0);
  const auto started = std::chrono::steady_clock::now();
  const pid_t writer = RunInOtherProcess([&] {
    close(report[0]);
    // So that the test waits in its read below when the break comes.
    usleep(50 * 1000);
    const char result = static_cast<char>(GetParam().write(path_.c_str()));
    return write(report[1], &result, 1) == 1 ? 0 : 4;
  });
  close(report[1]);
  char result = -1;
  // Read once, not again on EINTR: a break must not interrupt the program's
  // own calls, such as a write to the console.
  EXPECT_EQ(read(report[0], &result, 1), 1) << std::strerror(errno);
  const auto took = std::chrono::steady_clock::now() - started;
  close(report[0]);
  EXPECT_EQ(result, 0);
  EXPECT_LT(took, kPromptly);
  EXPECT_EQ(ExitStatusOf(writer), 0);
  EXPECT_EQ(ReadBytes(path_), GetParam().left);
  EXPECT_FALSE(file.EndWriterWatch());

  EXPECT_EQ(file.StartWriterWatch(), WriterCheck::kNone);
  EXPECT_TRUE(file.EndWriterWatch());
}

INSTANTIATE_TEST_SUITE_P(Writes, WriterDuringWatchTest, ::testing::ValuesIn(kWriteCases),
                         CaseName());

TEST_F(WriterWatchTest, ABreakSignalThatComesAfterItsFileClosedLeavesTheNextWatchAlone) {
  InputFile file;
  ASSERT_TRUE(file.Open(path_));
  ASSERT_EQ(file.StartWriterWatch(), WriterCheck::kNone);
  BreakSignalHeldBack held_back;
  const pid_t writer = RunInOtherProcess([&] {
    // Refused at once while the lease stands; the break is under way.
    const int fd = open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    return fd < 0 && errno == EWOULDBLOCK ? 0 : 1;
  });
  ASSERT_EQ(ExitStatusOf(writer), 0);
  EXPECT_FALSE(file.EndWriterWatch());
  ASSERT_TRUE(held_back.Pending());

  // Closed and opened again, most likely under the same number.
  ASSERT_TRUE(file.Open(path_));
  ASSERT_EQ(file.StartWriterWatch(), WriterCheck::kNone);
  held_back.Release();
  EXPECT_TRUE(file.EndWriterWatch());

  // Nor does one with no watch on at all.
  raise(SIGIO);
}

TEST_F(WriterWatchTest, AFileClosedDuringItsWatchEndsTheWatch) {
  for (int round = 0; round < 32; ++round) {
    InputFile file;
    ASSERT_TRUE(file.Open(path_));
    ASSERT_EQ(file.StartWriterWatch(), WriterCheck::kNone) << "round " << round;
  }
  InputFile reopened;
  for (int round = 0; round < 32; ++round) {
    ASSERT_TRUE(reopened.Open(path_));
    ASSERT_EQ(reopened.StartWriterWatch(), WriterCheck::kNone) << "round " << round;
  }
}

TEST_F(WriterWatchTest, ALeaseTheSystemRefusesLeavesTheWriterUnknown) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root, to read the file as a user who neither owns it nor may lease it";
  }
  fs::permissions(folder_, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
  fs::permissions(path_, fs::perms::others_read, fs::perm_options::add);
  constexpr int kCannotChangeUser = 100;
  const pid_t reader = RunInOtherProcess([&] {
    if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) {
      return kCannotChangeUser;
    }
    InputFile file;
    if (!file.Open(path_)) return kCannotChangeUser + 1;
    const WriterCheck check = file.StartWriterWatch();
    return file.EndWriterWatch() ? static_cast<int>(check) : kCannotChangeUser + 2;
  });
  const int status = ExitStatusOf(reader);
  if (status == kCannotChangeUser) {
    GTEST_SKIP() << "cannot become the user nobody here";
  }
  EXPECT_EQ(status, static_cast<int>(WriterCheck::kUnknown));
}

struct HeldOpenCase {
  std::string name;
  std::int64_t age_added_ns;  ///< How much older than it is the file looks.
};

std::int64_t g_age_added_ns = 0;
int g_sleeps = 0;
int g_release_fd = -1;
pid_t g_holder = 0;
int g_holder_status = -2;

class HeldOpenTest : public WriterWatchTest, public ::testing::WithParamInterface<HeldOpenCase> {
 protected:
  void TearDown() override {
    UsePretendClock();
    WriterWatchTest::TearDown();
  }
};

// A second process rewrites the file at the same size and keeps it open;
// after the second wait it closes it. However old the file looks and however
// well two reads agree, it is taken only once the writer is gone.
TEST_P(HeldOpenTest, IsNotTakenWhileItsWriterHoldsIt) {
  WriteBytes(path_, "version A");
  const Holder holder = HoldOpenForWriting(path_, "version B");
  ASSERT_NE(holder.pid, 0);
  g_holder = holder.pid;
  g_release_fd = holder.release;
  g_holder_status = -2;
  g_sleeps = 0;
  g_age_added_ns = GetParam().age_added_ns;
  CurrentSettleClock() = {
      [] { return g_pretend_now_ns; },
      [](std::int64_t duration) {
        g_pretend_now_ns += duration;
        if (++g_sleeps == 2) {
          close(g_release_fd);
          g_holder_status = ExitStatusOf(g_holder);
        }
      },
      [](std::int64_t file_time) { return NanosecondsSince(file_time) + g_age_added_ns; }};
  FileLooks looks;
  std::string content(9, '\0');
  LookOutcome outcome = LookOutcome::kAgain;
  while (outcome == LookOutcome::kAgain) {
    InputFile file;
    ASSERT_TRUE(file.Open(path_));
    std::int64_t due_ns = 0;
    outcome = LookAtFile(
        file, looks,
        [&](std::int64_t size, std::span<const unsigned char>& bytes) {
          content.resize(static_cast<std::size_t>(size));
          const std::int64_t got = file.ReadAt(0, content.data(), content.size());
          bytes = std::span(reinterpret_cast<const unsigned char*>(content.data()),
                            static_cast<std::size_t>(std::max<std::int64_t>(got, 0)));
          return got == size ? ReadAttempt::kDone : ReadAttempt::kFailed;
        },
        due_ns);
    if (outcome == LookOutcome::kAgain) {
      CurrentSettleClock().sleep_ns(due_ns - g_pretend_now_ns);
    }
  }
  if (g_sleeps < 2) {
    close(g_release_fd);
    ExitStatusOf(g_holder);
  }
  EXPECT_EQ(outcome, LookOutcome::kTaken);
  EXPECT_EQ(g_holder_status, 0) << "taken while the writer still held the file";
  EXPECT_EQ(content, "version B");
}

INSTANTIATE_TEST_SUITE_P(Ages, HeldOpenTest,
                         ::testing::Values(HeldOpenCase{"JustWritten", 0},
                                           HeldOpenCase{"LooksAnHourOld", 3'600'000'000'000}),
                         [](const auto& test) { return test.param.name; });

}  // namespace
