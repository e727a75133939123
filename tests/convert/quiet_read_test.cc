#include "convert/quiet_read.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <chrono>
#include <filesystem>
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

// Each version one byte longer: the file system's clock may not tick
// between two writes.
void RewriteFile() {
  WriteBytes("file",
             "version " + std::string(static_cast<std::size_t>(++g_writes_while_asleep), '+'));
}

class ReadWhenQuietTest : public InTempDirTest {
 protected:
  void SetUp() override {
    InTempDirTest::SetUp();
    g_slept_ns = 0;
    g_writes_while_asleep = -1;
    g_rewrite_dated_back = false;
    CurrentSettleClock() = {[] { return g_pretend_now_ns; },
                            [](std::int64_t duration) {
                              g_pretend_now_ns += duration;
                              g_slept_ns += duration;
                              if (g_writes_while_asleep >= 0) RewriteFile();
                              if (g_rewrite_dated_back) {
                                g_rewrite_dated_back = false;
                                WriteBytes("file", "another version");
                                WrittenAgo(std::chrono::hours(1));
                              }
                            }};
    WriteBytes("file", "version 0");
  }
  void TearDown() override {
    UsePretendClock();
    InTempDirTest::TearDown();
  }

  // Dates the file's last write `age` back (forward when negative).
  static void WrittenAgo(std::chrono::nanoseconds age) {
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

  // Reads the file as the conversion does, `reads` counting the calls.
  bool Read(int& reads) {
    InputFile file;
    if (!file.Open(NativeOf("file"))) {
      ADD_FAILURE() << "cannot open";
      return false;
    }
    return ReadWhenQuiet(file, [&](std::int64_t) {
      ++reads;
      return ReadAttempt::kDone;
    });
  }
};

TEST_F(ReadWhenQuietTest, AnOldFileIsReadWithoutAWait) {
  WrittenAgo(std::chrono::hours(1));
  int reads = 0;
  EXPECT_TRUE(Read(reads));
  EXPECT_EQ(reads, 1);
  EXPECT_EQ(g_slept_ns, 0);
}

TEST_F(ReadWhenQuietTest, AFileWrittenAMomentAgoWaitsOnlyTheRestOfTheInterval) {
  WrittenAgo(std::chrono::milliseconds(300));
  int reads = 0;
  EXPECT_TRUE(Read(reads));
  EXPECT_EQ(reads, 1);
  // The real clock moves on a little between the write and the look.
  EXPECT_LE(g_slept_ns, kSettleIntervalNs - 300'000'000);
  EXPECT_GT(g_slept_ns, 0);
}

// A file from a machine whose clock runs ahead: its date proves nothing,
// but it is read once it has held still for the interval.
TEST_F(ReadWhenQuietTest, AWriteTimeInTheFutureWaitsOneInterval) {
  WrittenAgo(-std::chrono::hours(1));
  int reads = 0;
  EXPECT_TRUE(Read(reads));
  EXPECT_EQ(reads, 1);
  EXPECT_EQ(g_slept_ns, kSettleIntervalNs);
}

// As a program that copies a file with its times leaves it: the change
// time still says that the change has just happened.
TEST_F(ReadWhenQuietTest, ARewriteDatedBackStillWaitsAWholeInterval) {
  g_rewrite_dated_back = true;
  int reads = 0;
  EXPECT_TRUE(Read(reads));
  EXPECT_EQ(reads, 1);
  EXPECT_GE(g_slept_ns, kSettleIntervalNs + kSettleIntervalNs - 100'000'000);
}

TEST_F(ReadWhenQuietTest, AFileThatNeverHoldsStillIsNotRead) {
  g_writes_while_asleep = 0;
  int reads = 0;
  EXPECT_FALSE(Read(reads));
  EXPECT_EQ(reads, 0);
  EXPECT_LE(g_slept_ns, kMaxSettleWaitNs);
  EXPECT_GT(g_slept_ns, kMaxSettleWaitNs - kSettleIntervalNs);
}

TEST_F(ReadWhenQuietTest, AFileThatChangedAcrossTheReadIsReadAgain) {
  WrittenAgo(std::chrono::hours(1));
  int reads = 0;
  InputFile file;
  ASSERT_TRUE(file.Open(NativeOf("file")));
  EXPECT_TRUE(ReadWhenQuiet(file, [&](std::int64_t size) {
    if (++reads == 1) WriteBytes("file", "a longer version");
    EXPECT_EQ(size, reads == 1 ? 9 : 16);
    return ReadAttempt::kDone;
  }));
  EXPECT_EQ(reads, 2);
  EXPECT_EQ(g_slept_ns, kSettleIntervalNs);
}

TEST_F(ReadWhenQuietTest, AFileEndingBeforeItsStampedSizeIsAnError) {
  WrittenAgo(std::chrono::hours(1));
  int reads = 0;
  InputFile file;
  ASSERT_TRUE(file.Open(NativeOf("file")));
  EXPECT_FALSE(ReadWhenQuiet(file, [&](std::int64_t) {
    ++reads;
    return ReadAttempt::kEndedEarly;
  }));
  EXPECT_EQ(reads, 1);
}

}  // namespace
