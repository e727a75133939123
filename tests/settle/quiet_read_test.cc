#include "settle/quiet_read.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <chrono>
#include <filesystem>
#include <span>
#include <string>
#include <utility>

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
std::int64_t g_started_ns = 0;
std::string g_content;
// Each wait saves the file again with the same bytes when not negative, and
// counts the saves.
int g_resaves = -1;

// How much older than the system's clock tells the file looks: the test's
// own file times cannot be dated back as a whole, since the change time
// moves with every change. The file ages with the pretend clock too, from
// `g_written_at_ns` on.
std::int64_t g_age_added_ns = 0;
std::int64_t g_written_at_ns = 0;

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
  g_written_at_ns = g_pretend_now_ns;
}

// Each version one byte longer: the file system's clock may not tick
// between two writes.
void RewriteFile() {
  WriteFile("version " + std::string(static_cast<std::size_t>(++g_writes_while_asleep), '+'));
}

// What the system is made to say of the file: its file system's trust, and
// whether a census finds a writer holding it open (until the pretend clock
// reaches `g_writer_gone_ns`), and whether its reads end as a whole layout
// ends.
StampTrust g_trust = StampTrust::kTrusted;
WriterCheck g_writer_check = WriterCheck::kNone;
std::int64_t g_writer_gone_ns = 0;
int g_censuses = 0;
bool g_ended = true;
bool g_end_shown = true;  ///< An ended read shows its own end; the character file's does not.

OpenWriters CensusOfTheFile() {
  ++g_censuses;
  OpenWriters writers;
  if (g_writer_check == WriterCheck::kOpen || g_pretend_now_ns < g_writer_gone_ns) {
    InputFile file;
    if (file.Open(NativeOf("file"))) writers.files.push_back(file.Identity());
  }
  return writers;
}

class LookAtFileTest : public InTempDirTest {
 protected:
  void SetUp() override {
    InTempDirTest::SetUp();
    g_slept_ns = 0;
    g_writes_while_asleep = -1;
    g_rewrite_dated_back = false;
    g_resaves = -1;
    g_trust = StampTrust::kTrusted;
    g_writer_check = WriterCheck::kNone;
    g_writer_gone_ns = 0;
    g_censuses = 0;
    g_ended = true;
    g_end_shown = true;
    CurrentSettleClock() = {[] { return g_pretend_now_ns; },
                            [](std::int64_t duration) {
                              g_pretend_now_ns += duration;
                              g_slept_ns += duration;
                              if (g_writes_while_asleep >= 0) RewriteFile();
                              if (g_resaves >= 0) {
                                WriteFile("version 0");
                                ++g_resaves;
                              }
                              if (g_rewrite_dated_back) {
                                g_rewrite_dated_back = false;
                                WriteFile("another version");
                                SetWriteTimeBack(std::chrono::hours(1));
                              }
                            },
                            [](std::int64_t file_time) {
                              return NanosecondsSince(file_time) + g_age_added_ns +
                                     g_pretend_now_ns - g_written_at_ns;
                            }};
    saved_facts_ = CurrentFileFacts();
    CurrentFileFacts().trust = [](const InputFile&) { return g_trust; };
    CurrentFileFacts().find_open_writers = CensusOfTheFile;
    CurrentFileFacts().writers_taken_ns = -1;
    WriteFile("version 0");
  }
  void TearDown() override {
    UsePretendClock();
    CurrentFileFacts() = saved_facts_;
    InTempDirTest::TearDown();
  }

  // Makes the file look last written or changed `age` ago (ahead when
  // negative), as if the system's clock had moved on.
  static void LooksWrittenAgo(std::chrono::nanoseconds age) { g_age_added_ns = age.count(); }

  // Looks at the file as a conversion does, opening it for every look and
  // waiting in between, until it is taken or given up, which `outcome_` tells.
  static bool LookUntilDone(const ReadOnce& read) {
    FileLooks looks;
    for (;;) {
      InputFile file;
      if (!file.Open(NativeOf("file"))) {
        ADD_FAILURE() << "cannot open";
        return false;
      }
      std::int64_t due_ns = 0;
      outcome_ = LookAtFile(file, looks, read, due_ns);
      if (outcome_ != LookOutcome::kAgain) {
        return outcome_ == LookOutcome::kTaken;
      }
      last_wait_ = {looks.reason, looks.until_ns};
      EXPECT_GE(due_ns, g_pretend_now_ns);
      CurrentSettleClock().sleep_ns(due_ns - g_pretend_now_ns);
    }
  }

  // Reads the whole file as the conversion does, `reads` counting the calls.
  static bool Read(int& reads, std::string& content) {
    return LookUntilDone([&](std::int64_t size, ReadResult& got) {
      ++reads;
      got.ended = g_ended;
      got.end_shown = g_ended && g_end_shown;
      return ReadContent(size, content, got);
    });
  }
  static bool Read(int& reads) {
    std::string content;
    return Read(reads, content);
  }

  // Reads `size` bytes of the file into `content`, as the conversion does.
  static ReadAttempt ReadContent(std::int64_t size, std::string& content, ReadResult& got) {
    InputFile file;
    if (!file.Open(NativeOf("file"))) return ReadAttempt::kFailed;
    content.assign(static_cast<std::size_t>(size), '\0');
    const std::int64_t read = file.ReadAt(0, content.data(), content.size());
    if (read < 0) return ReadAttempt::kFailed;
    got.bytes = std::span(reinterpret_cast<const unsigned char*>(content.data()),
                          static_cast<std::size_t>(read));
    return read == size ? ReadAttempt::kDone : ReadAttempt::kEndedEarly;
  }

  FileFacts saved_facts_{};
  static inline LookOutcome outcome_ = LookOutcome::kAgain;
  /// Why the last look that did not take the file waited, and until when.
  static inline std::pair<WaitReason, std::int64_t> last_wait_{WaitReason::kNone, 0};
};

struct AgeCase {
  std::string name;
  std::chrono::nanoseconds age;
  int reads;
};

class FileOfAge : public LookAtFileTest, public ::testing::WithParamInterface<AgeCase> {};

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

constexpr std::int64_t kSeconds = 1'000'000'000;

struct RuleCase {
  std::string name;
  StampTrust trust;
  std::chrono::nanoseconds age;
  WriterCheck writer;
  bool ended;
  std::int64_t slept_ns;
  bool taken = true;  ///< Else given up, though the file held still.
};

class TakingRule : public LookAtFileTest, public ::testing::WithParamInterface<RuleCase> {};

// How long a file must hold still before it is taken: barely when its read
// ends as a whole layout ends and no writer is seen holding it (a census
// sees none where it may not look), kLongStillNs otherwise; never while a writer
// is seen holding a file whose read is not ended, which is given up at the
// deadline instead. Its stamp tells how long it has held still on a trusted
// file system; elsewhere, and for a file changed within one clock step,
// only reads that agree over the time do. The file is read every
// kSettleIntervalNs meanwhile.
TEST_P(TakingRule, WaitsAsLongAsTheFileMustHoldStill) {
  const RuleCase& rule = GetParam();
  LooksWrittenAgo(rule.age);
  g_trust = rule.trust;
  g_writer_check = rule.writer;
  g_ended = rule.ended;
  const std::int64_t started = g_pretend_now_ns;
  last_wait_ = {WaitReason::kNone, 0};
  int reads = 0;
  EXPECT_EQ(Read(reads), rule.taken);
  EXPECT_EQ(outcome_, rule.taken ? LookOutcome::kTaken : LookOutcome::kGivenUp);
  EXPECT_EQ(g_slept_ns, rule.slept_ns);
  EXPECT_EQ(reads, 1 + rule.slept_ns / kSettleIntervalNs);
  // The last wait told why, and when the file would be taken: when it was.
  if (rule.slept_ns > 0 && rule.taken) {
    const WaitReason reason = rule.writer == WriterCheck::kOpen ? WaitReason::kWriterHolds
                              : !rule.ended                     ? WaitReason::kLayoutNotEnded
                                                                : WaitReason::kYoung;
    EXPECT_EQ(last_wait_.first, reason);
    EXPECT_EQ(last_wait_.second - started, rule.slept_ns);
  }
}

constexpr auto kTrusted = StampTrust::kTrusted;
constexpr auto kUntrusted = StampTrust::kUntrusted;
constexpr auto kOld = std::chrono::hours(1);
// Old enough to be taken on its stamp, not to have held still long.
constexpr auto kFiveSeconds = std::chrono::seconds(5);
constexpr auto kJustWritten = std::chrono::seconds(0);
// A file five seconds old has held still by its stamp for three (one clock
// step is not counted): nine more make the long stillness.
constexpr std::int64_t kStampReachesLongNs = 9 * kSeconds;
// The last read that begins before the deadline of the long wait.
constexpr std::int64_t kGivenUpNs = kMaxLongWaitNs / kSettleIntervalNs * kSettleIntervalNs;

INSTANTIATE_TEST_SUITE_P(
    Cases, TakingRule,
    ::testing::Values(
        RuleCase{"TrustedOldEnded", kTrusted, kOld, WriterCheck::kNone, true, 0},
        RuleCase{"TrustedOldNotEnded", kTrusted, kOld, WriterCheck::kNone, false, 0},
        RuleCase{"TrustedOldWriterHeld", kTrusted, kOld, WriterCheck::kOpen, true, 0},
        RuleCase{"TrustedOldWriterHeldNotEnded", kTrusted, kOld, WriterCheck::kOpen, false,
                 kGivenUpNs, false},
        RuleCase{"TrustedFiveSecondsEnded", kTrusted, kFiveSeconds, WriterCheck::kNone, true, 0},
        RuleCase{"TrustedFiveSecondsNotEnded", kTrusted, kFiveSeconds, WriterCheck::kNone, false,
                 kStampReachesLongNs},
        RuleCase{"TrustedFiveSecondsWriterHeld", kTrusted, kFiveSeconds, WriterCheck::kOpen, true,
                 kStampReachesLongNs},
        RuleCase{"YoungEnded", kTrusted, kJustWritten, WriterCheck::kNone, true, kSettleIntervalNs},
        RuleCase{"YoungNotEnded", kTrusted, kJustWritten, WriterCheck::kNone, false, kLongStillNs},
        RuleCase{"YoungWriterHeld", kTrusted, kJustWritten, WriterCheck::kOpen, true, kLongStillNs},
        RuleCase{"YoungWriterHeldNotEnded", kTrusted, kJustWritten, WriterCheck::kOpen, false,
                 kGivenUpNs, false},
        RuleCase{"UntrustedEnded", kUntrusted, kOld, WriterCheck::kNone, true, kSettleIntervalNs},
        RuleCase{"UntrustedNotEnded", kUntrusted, kOld, WriterCheck::kNone, false, kLongStillNs},
        RuleCase{"UntrustedWriterHeld", kUntrusted, kOld, WriterCheck::kOpen, true, kLongStillNs},
        RuleCase{"UntrustedWriterHeldNotEnded", kUntrusted, kOld, WriterCheck::kOpen, false,
                 kGivenUpNs, false}),
    CaseName());

class WriterGone : public LookAtFileTest, public ::testing::WithParamInterface<StampTrust> {};

// The writer closed the file 2 s after the first read: the read after that
// is taken, as the file has held still for the interval since, whether its
// stamp or only its reads tell so. The census that saw the writer is not
// believed past the look it was taken for.
TEST_P(WriterGone, AWriterThatClosedTheFileHoldsItUpNoLonger) {
  g_trust = GetParam();
  g_writer_gone_ns = g_pretend_now_ns + 2 * kSeconds;
  int reads = 0;
  EXPECT_TRUE(Read(reads));
  EXPECT_EQ(reads, 3);
  EXPECT_EQ(g_slept_ns, 2 * kSettleIntervalNs);
}

INSTANTIATE_TEST_SUITE_P(Cases, WriterGone, ::testing::Values(kTrusted, kUntrusted),
                         [](const auto& param_info) {
                           return param_info.param == kTrusted ? "Trusted" : "Untrusted";
                         });

// While a writer holds the file, one census serves every file looked at
// after it; each look asks again, not each file.
TEST_F(LookAtFileTest, AWriterStillThereIsAskedAboutOncePerLook) {
  g_writer_check = WriterCheck::kOpen;
  int reads = 0;
  EXPECT_TRUE(Read(reads));
  EXPECT_EQ(g_slept_ns, kLongStillNs);
  // Once in each look after the first.
  EXPECT_EQ(g_censuses, static_cast<int>(kLongStillNs / kSettleIntervalNs));
}

// The last read that begins before the deadline of the short wait.
constexpr std::int64_t kShortGivenUpNs = kMaxSettleWaitNs / kSettleIntervalNs * kSettleIntervalNs;

struct ResaveCase {
  std::string name;
  bool ended;
  bool end_shown;
  WriterCheck writer;
  std::int64_t slept_ns;  ///< Taken after one interval; given up otherwise.
};

class SameBytesSavedAgain : public LookAtFileTest,
                            public ::testing::WithParamInterface<ResaveCase> {};

// A game that saves the same layout every second: each save leaves new
// times on the same bytes. That is one version when its end shows in its
// bytes and no writer is seen; a cut one may be a save under way, and bytes
// that show no end (an ID) may be a rewrite caught twice at the same point.
// A writer seen that keeps saving is not outwaited by the long stillness.
TEST_P(SameBytesSavedAgain, IsOneVersionOnlyWhereItsEndShows) {
  const ResaveCase& c = GetParam();
  g_trust = kUntrusted;
  g_ended = c.ended;
  g_end_shown = c.end_shown;
  g_writer_check = c.writer;
  g_resaves = 0;
  CurrentFileFacts().stamp = [](const InputFile& file, bool as_opened) {
    FileStamp stamp = as_opened ? file.OpenedStamp() : file.CurrentStamp();
    stamp.modified += g_resaves;
    return stamp;
  };
  int reads = 0;
  EXPECT_EQ(Read(reads), c.slept_ns == kSettleIntervalNs);
  EXPECT_EQ(g_slept_ns, c.slept_ns);
  EXPECT_GE(g_resaves, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SameBytesSavedAgain,
    ::testing::Values(ResaveCase{"Ended", true, true, WriterCheck::kNone, kSettleIntervalNs},
                      ResaveCase{"NotEnded", false, false, WriterCheck::kNone, kGivenUpNs},
                      ResaveCase{"EndNotShown", true, false, WriterCheck::kNone, kShortGivenUpNs},
                      ResaveCase{"EndedWriterHeld", true, true, WriterCheck::kOpen, kGivenUpNs}),
    CaseName());

// A census is taken only when a read would be taken but for a writer.
TEST_F(LookAtFileTest, NoCensusIsTakenForAFileThatMustWaitAnyway) {
  int reads = 0;
  EXPECT_TRUE(Read(reads));
  EXPECT_EQ(g_censuses, 1);
  LooksWrittenAgo(std::chrono::hours(1));
  CurrentFileFacts().writers_taken_ns = -1;
  g_censuses = 0;
  EXPECT_TRUE(Read(reads));
  EXPECT_EQ(g_censuses, 0);
}

// Two reads that agree count only as far apart as they lie: a caller that
// looks again before the time it was given gets no quicker answer.
TEST_F(LookAtFileTest, AReadBeforeItsTimeDoesNotCountAsTheInterval) {
  FileLooks looks;
  std::int64_t due_ns = 0;
  std::string content;
  const auto read = [&](std::int64_t size, ReadResult& got) {
    return ReadContent(size, content, got);
  };
  for (int look = 0; look < 2; ++look) {
    InputFile file;
    ASSERT_TRUE(file.Open(NativeOf("file")));
    EXPECT_EQ(LookAtFile(file, looks, read, due_ns), LookOutcome::kAgain) << "look " << look;
    g_pretend_now_ns += kSettleIntervalNs / 2;
  }
}

// The age is judged before the read: a file 1.9 s old whose read takes
// 0.2 s was young when the read began, and a write during it could have left
// the stamp as it was.
TEST_F(LookAtFileTest, TheFileIsJudgedOldOrYoungBeforeItsRead) {
  const std::int64_t started = g_pretend_now_ns;
  CurrentSettleClock().file_time_age_ns = [](std::int64_t file_time) {
    return NanosecondsSince(file_time) + 1'900'000'000 + (g_pretend_now_ns - g_started_ns);
  };
  g_started_ns = started;
  int reads = 0;
  EXPECT_TRUE(LookUntilDone([&](std::int64_t size, ReadResult& got) {
    ++reads;
    g_pretend_now_ns += 200'000'000;
    return ReadContent(size, g_content, got);
  }));
  EXPECT_EQ(reads, 2);
}

// A restore tool rewrites an old file during its read, at the same size, and
// dates its write time back to what it was: only the change time tells.
TEST_F(LookAtFileTest, ARewriteDuringTheReadThatOnlyTheChangeTimeShowsIsReadAgain) {
  WriteFile("the old version");
  LooksWrittenAgo(std::chrono::hours(1));
  const auto written = fs::last_write_time("file");
  int reads = 0;
  std::string content;
  EXPECT_TRUE(LookUntilDone([&](std::int64_t size, ReadResult& got) {
    const ReadAttempt attempt = ReadContent(size, content, got);
    if (++reads == 1) {
      WriteBytes("file", "the new version");
      fs::last_write_time("file", written);
    }
    return attempt;
  }));
  EXPECT_EQ(content, "the new version");
  EXPECT_EQ(reads, 2);
}

// As a restore or sync tool leaves a file it has just written: the write
// time set back, the change time fresh.
TEST_F(LookAtFileTest, AChangeTimeNewerThanTheWriteTimeMakesTheFileYoung) {
  WriteFile("a restored version");
  SetWriteTimeBack(std::chrono::hours(1));
  int reads = 0;
  EXPECT_TRUE(Read(reads));
  EXPECT_EQ(reads, 2);
  EXPECT_EQ(g_slept_ns, kSettleIntervalNs);
}

// The same rewrite while the program waits between the two reads.
TEST_F(LookAtFileTest, ARewriteDatedBackWhileWaitingStartsTheWaitOver) {
  g_rewrite_dated_back = true;
  int reads = 0;
  EXPECT_TRUE(Read(reads));
  EXPECT_EQ(reads, 3);
  EXPECT_EQ(g_slept_ns, 2 * kSettleIntervalNs);
}

// What a coarse clock leaves: the stamp holds while the bytes change, and
// the size with them, so only the bytes tell.
TEST_F(LookAtFileTest, TwoReadsThatDifferStartTheWaitOver) {
  const std::string same_size[] = {"the torn one!", "the whole one", "the whole one"};
  int reads = 0;
  EXPECT_TRUE(LookUntilDone([&](std::int64_t, ReadResult& got) {
    const std::string& version = same_size[reads++];
    got.bytes = std::span(reinterpret_cast<const unsigned char*>(version.data()), version.size());
    return ReadAttempt::kDone;
  }));
  EXPECT_EQ(reads, 3);
  EXPECT_EQ(g_slept_ns, 2 * kSettleIntervalNs);
}

class NeverStill : public LookAtFileTest, public ::testing::WithParamInterface<bool> {};

// A read every interval, until the next would begin past the bound: the
// longer one for a file whose reads do not end as a layout ends.
TEST_P(NeverStill, AFileThatNeverHoldsStillIsNotRead) {
  g_ended = GetParam();
  const std::int64_t bound = g_ended ? kMaxSettleWaitNs : kMaxLongWaitNs;
  g_writes_while_asleep = 0;
  int reads = 0;
  EXPECT_FALSE(Read(reads));
  // Not given up as a file that held still: it never did.
  EXPECT_EQ(outcome_, LookOutcome::kFailed);
  EXPECT_EQ(reads, 1 + static_cast<int>(bound / kSettleIntervalNs));
  EXPECT_LE(g_slept_ns, bound);
  EXPECT_GE(g_slept_ns, bound - 2 * kSettleIntervalNs);
}

INSTANTIATE_TEST_SUITE_P(Cases, NeverStill, ::testing::Values(true, false),
                         [](const auto& param_info) {
                           return param_info.param ? "Ended" : "NotEnded";
                         });

// Each read takes longer than the settle interval and sees the file change:
// the deadline still ends the wait, at most one read past it.
TEST_F(LookAtFileTest, SlowReadsOfAChangingFileGiveUpWithinTheBound) {
  constexpr std::int64_t kReadNs = kSettleIntervalNs + 100'000'000;
  const std::int64_t started = g_pretend_now_ns;
  int reads = 0;
  std::string content;
  // Past a hundred reads the file holds still, so that a wait that missed
  // its deadline ends all the same and fails the test instead of hanging.
  EXPECT_FALSE(LookUntilDone([&](std::int64_t size, ReadResult& got) {
    g_pretend_now_ns += kReadNs;
    if (++reads < 100) RewriteFile();
    return ReadContent(size, content, got);
  }));
  EXPECT_LE(g_pretend_now_ns - started, kMaxSettleWaitNs + kReadNs);
}

TEST_F(LookAtFileTest, AFileThatChangedAcrossTheReadIsReadAgain) {
  LooksWrittenAgo(std::chrono::hours(1));
  int reads = 0;
  std::string content;
  EXPECT_TRUE(LookUntilDone([&](std::int64_t size, ReadResult& got) {
    if (++reads == 1) WriteFile("a longer version");
    EXPECT_EQ(size, reads == 1 ? 9 : 16);
    return ReadContent(size, content, got);
  }));
  EXPECT_EQ(reads, 3);
  EXPECT_EQ(content, "a longer version");
  EXPECT_EQ(g_slept_ns, 2 * kSettleIntervalNs);
}

TEST_F(LookAtFileTest, AnOldFileEndingBeforeItsStampedSizeIsAnError) {
  LooksWrittenAgo(std::chrono::hours(1));
  int reads = 0;
  EXPECT_FALSE(LookUntilDone([&](std::int64_t, ReadResult&) {
    ++reads;
    return ReadAttempt::kEndedEarly;
  }));
  EXPECT_EQ(reads, 1);
}

// A young file may be cut short by a rewrite its stamp cannot show yet.
TEST_F(LookAtFileTest, AYoungFileEndingEarlyIsReadAgain) {
  int reads = 0;
  std::string content;
  EXPECT_TRUE(LookUntilDone([&](std::int64_t size, ReadResult& got) {
    const ReadAttempt attempt = ReadContent(size, content, got);
    return ++reads == 1 ? ReadAttempt::kEndedEarly : attempt;
  }));
  EXPECT_EQ(reads, 3);
}

}  // namespace
