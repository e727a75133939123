#include "convert/quiet_read.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <chrono>
#include <filesystem>
#include <span>
#include <string>

#include "fixtures.h"
#include "pretend_clock.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

// The pretend clock, counting its sleeps; a sleep may also play the game
// writing the file meanwhile.
std::int64_t g_slept_ns = 0;
int g_writes_while_asleep = 0;
bool g_rewrite_dated_back = false;

// How much older than the system's clock tells the file looks: the test's
// own file times cannot be dated back as a whole, since the change time
// moves with every change.
std::int64_t g_age_added_ns = 0;

// Dates the file's last write `age` back; its change time stays now.
void SetWriteTimeBack(std::chrono::nanoseconds age) {
#ifdef _WIN32
  // The C++ library of MinGW sets file times in whole seconds only.
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER time;
  time.LowPart = now.dwLowDateTime;
  time.HighPart = now.dwHighDateTime;
  time.QuadPart -= static_cast<ULONGLONG>(age.count() / 100);
  const FILETIME written{time.LowPart, time.HighPart};
  const HANDLE file = CreateFileW(L"file", FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &written));
  CloseHandle(file);
#else
  fs::last_write_time("file", fs::file_time_type::clock::now() - age);
#endif
}

// A file written now looks its true age again.
void WriteFile(const std::string& bytes) {
  WriteBytes("file", bytes);
  g_age_added_ns = 0;
}

// Each version one byte longer: the file system's clock may not tick
// between two writes.
void RewriteFile() {
  WriteFile("version " + std::string(static_cast<std::size_t>(++g_writes_while_asleep), '+'));
}

class ReadWhenQuietTest : public InTempDirTest {
 protected:
  void SetUp() override {
    InTempDirTest::SetUp();
    g_slept_ns = 0;
    g_writes_while_asleep = -1;
    g_rewrite_dated_back = false;
    CurrentSettleClock() = {
        [] { return g_pretend_now_ns; },
        [](std::int64_t duration) {
          g_pretend_now_ns += duration;
          g_slept_ns += duration;
          if (g_writes_while_asleep >= 0) RewriteFile();
          if (g_rewrite_dated_back) {
            g_rewrite_dated_back = false;
            WriteFile("another version");
            SetWriteTimeBack(std::chrono::hours(1));
          }
        },
        [](std::int64_t file_time) { return NanosecondsSince(file_time) + g_age_added_ns; }};
    WriteFile("version 0");
  }
  void TearDown() override {
    UsePretendClock();
    InTempDirTest::TearDown();
  }

  // Makes the file look last written or changed `age` ago (ahead when
  // negative), as if the system's clock had moved on.
  static void LooksWrittenAgo(std::chrono::nanoseconds age) { g_age_added_ns = age.count(); }

  // Reads the file as the conversion does, `reads` counting the calls.
  bool Read(int& reads) {
    InputFile file;
    if (!file.Open(NativeOf("file"))) {
      ADD_FAILURE() << "cannot open";
      return false;
    }
    std::string content;
    return ReadWhenQuiet(file, [&](std::int64_t size, std::span<const unsigned char>& bytes) {
      ++reads;
      return ReadContent(file, size, content, bytes);
    });
  }

  // Reads `size` bytes of `file` into `content`, as the conversion does.
  static ReadAttempt ReadContent(InputFile& file, std::int64_t size, std::string& content,
                                 std::span<const unsigned char>& bytes) {
    content.assign(static_cast<std::size_t>(size), '\0');
    const std::int64_t got = file.ReadAt(0, content.data(), content.size());
    if (got < 0) return ReadAttempt::kFailed;
    bytes = std::span(reinterpret_cast<const unsigned char*>(content.data()),
                      static_cast<std::size_t>(got));
    return got == size ? ReadAttempt::kDone : ReadAttempt::kEndedEarly;
  }
};

struct AgeCase {
  std::string name;
  std::chrono::nanoseconds age;
  int reads;
};

class FileOfAge : public ReadWhenQuietTest, public ::testing::WithParamInterface<AgeCase> {};

// A file changed more lately than one step of the coarsest file system
// clock may have changed again under the same stamp, so one read proves
// nothing: two reads the settle interval apart must agree. A file dated
// ahead proves nothing either. An older file costs one read and no wait.
TEST_P(FileOfAge, IsReadOnceWhenOldAndOtherwiseTwiceTheIntervalApart) {
  LooksWrittenAgo(GetParam().age);
  int reads = 0;
  EXPECT_TRUE(Read(reads));
  EXPECT_EQ(reads, GetParam().reads);
  EXPECT_EQ(g_slept_ns, GetParam().reads == 1 ? 0 : kSettleIntervalNs);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FileOfAge,
    ::testing::Values(AgeCase{"AnHour", std::chrono::hours(1), 1},
                      AgeCase{"PastOneStep", std::chrono::milliseconds(2100), 1},
                      AgeCase{"WithinOneStep", std::chrono::milliseconds(1900), 2},
                      AgeCase{"None", std::chrono::nanoseconds(0), 2},
                      AgeCase{"InTheFuture", -std::chrono::hours(1), 2}),
    CaseName());

// As a restore or sync tool leaves a file it has just written: the write
// time set back, the change time fresh.
TEST_F(ReadWhenQuietTest, AChangeTimeNewerThanTheWriteTimeMakesTheFileYoung) {
  WriteFile("a restored version");
  SetWriteTimeBack(std::chrono::hours(1));
  int reads = 0;
  EXPECT_TRUE(Read(reads));
  EXPECT_EQ(reads, 2);
  EXPECT_EQ(g_slept_ns, kSettleIntervalNs);
}

// The same rewrite while the program waits between the two reads.
TEST_F(ReadWhenQuietTest, ARewriteDatedBackWhileWaitingStartsTheWaitOver) {
  g_rewrite_dated_back = true;
  int reads = 0;
  EXPECT_TRUE(Read(reads));
  EXPECT_EQ(reads, 3);
  EXPECT_EQ(g_slept_ns, 2 * kSettleIntervalNs);
}

// What a coarse clock leaves: the stamp holds while the bytes change.
TEST_F(ReadWhenQuietTest, TwoReadsThatDifferStartTheWaitOver) {
  const std::string versions[] = {"a torn version", "the whole one", "the whole one"};
  int reads = 0;
  InputFile file;
  ASSERT_TRUE(file.Open(NativeOf("file")));
  EXPECT_TRUE(ReadWhenQuiet(file, [&](std::int64_t, std::span<const unsigned char>& bytes) {
    const std::string& version = versions[reads++];
    bytes = std::span(reinterpret_cast<const unsigned char*>(version.data()), version.size());
    return ReadAttempt::kDone;
  }));
  EXPECT_EQ(reads, 3);
  EXPECT_EQ(g_slept_ns, 2 * kSettleIntervalNs);
}

TEST_F(ReadWhenQuietTest, AFileThatNeverHoldsStillIsNotRead) {
  g_writes_while_asleep = 0;
  int reads = 0;
  EXPECT_FALSE(Read(reads));
  EXPECT_EQ(reads, static_cast<int>(kMaxSettleWaitNs / kSettleIntervalNs));
  EXPECT_LE(g_slept_ns, kMaxSettleWaitNs);
  EXPECT_GE(g_slept_ns, kMaxSettleWaitNs - kSettleIntervalNs);
}

// Each read takes longer than the settle interval and sees the file change:
// the deadline still ends the wait, at most one read past it.
TEST_F(ReadWhenQuietTest, SlowReadsOfAChangingFileGiveUpWithinTheBound) {
  constexpr std::int64_t kReadNs = kSettleIntervalNs + 100'000'000;
  const std::int64_t started = g_pretend_now_ns;
  int reads = 0;
  InputFile file;
  ASSERT_TRUE(file.Open(NativeOf("file")));
  std::string content;
  // Past a hundred reads the file holds still, so that a wait that missed
  // its deadline ends all the same and fails the test instead of hanging.
  EXPECT_FALSE(ReadWhenQuiet(file, [&](std::int64_t size, std::span<const unsigned char>& bytes) {
    g_pretend_now_ns += kReadNs;
    if (++reads < 100) RewriteFile();
    return ReadContent(file, size, content, bytes);
  }));
  EXPECT_LE(g_pretend_now_ns - started, kMaxSettleWaitNs + kReadNs);
}

TEST_F(ReadWhenQuietTest, AFileThatChangedAcrossTheReadIsReadAgain) {
  LooksWrittenAgo(std::chrono::hours(1));
  int reads = 0;
  InputFile file;
  ASSERT_TRUE(file.Open(NativeOf("file")));
  std::string content;
  EXPECT_TRUE(ReadWhenQuiet(file, [&](std::int64_t size, std::span<const unsigned char>& bytes) {
    if (++reads == 1) WriteFile("a longer version");
    EXPECT_EQ(size, reads == 1 ? 9 : 16);
    return ReadContent(file, size, content, bytes);
  }));
  EXPECT_EQ(reads, 3);
  EXPECT_EQ(content, "a longer version");
  EXPECT_EQ(g_slept_ns, 2 * kSettleIntervalNs);
}

TEST_F(ReadWhenQuietTest, AnOldFileEndingBeforeItsStampedSizeIsAnError) {
  LooksWrittenAgo(std::chrono::hours(1));
  int reads = 0;
  InputFile file;
  ASSERT_TRUE(file.Open(NativeOf("file")));
  EXPECT_FALSE(ReadWhenQuiet(file, [&](std::int64_t, std::span<const unsigned char>&) {
    ++reads;
    return ReadAttempt::kEndedEarly;
  }));
  EXPECT_EQ(reads, 1);
}

// A young file may be cut short by a rewrite its stamp cannot show yet.
TEST_F(ReadWhenQuietTest, AYoungFileEndingEarlyIsReadAgain) {
  int reads = 0;
  InputFile file;
  ASSERT_TRUE(file.Open(NativeOf("file")));
  EXPECT_TRUE(ReadWhenQuiet(file, [&](std::int64_t, std::span<const unsigned char>&) {
    return ++reads == 1 ? ReadAttempt::kEndedEarly : ReadAttempt::kDone;
  }));
  EXPECT_EQ(reads, 3);
}

}  // namespace
