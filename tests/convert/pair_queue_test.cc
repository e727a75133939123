#include "convert/pair_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "fixtures.h"
#include "pretend_clock.h"
#include "string_console.h"
#include "temp_dir.h"

namespace {

std::int64_t g_slept_ns = 0;
int g_sleeps = 0;
int g_censuses = 0;

// Every file here was written a moment ago, so each needs a second look.
class PairQueueTest : public InTempDirTest {
 protected:
  void SetUp() override {
    InTempDirTest::SetUp();
    std::filesystem::create_directory("out");
    g_slept_ns = 0;
    g_sleeps = 0;
    CurrentSettleClock() = {[] { return g_pretend_now_ns; },
                            [](std::int64_t duration) {
                              g_pretend_now_ns += duration;
                              g_slept_ns += duration;
                              ++g_sleeps;
                            },
                            NanosecondsSince};
    g_censuses = 0;
    saved_facts_ = CurrentFileFacts();
    CurrentFileFacts().find_open_writers = [] {
      ++g_censuses;
      return OpenWriters{{}, true};
    };
    CurrentFileFacts().writers_taken_ns = -1;
  }
  void TearDown() override {
    UsePretendClock();
    CurrentFileFacts() = saved_facts_;
    InTempDirTest::TearDown();
  }

  FileFacts saved_facts_{};

  static std::string Name(int k) { return "C" + std::to_string(k) + "@S"; }

  // Writes pair `k`, whose layout names it, and returns it as the driver
  // hands it over.
  static FilePair YoungPair(int k, const std::string& end_tag = "</ui>") {
    WriteBytes("cache/" + Name(k) + ".tmp", CharacterFile(static_cast<std::uint64_t>(100 + k)));
    WriteBytes("cache/" + Name(k) + "_sc.tmp", SettingsFile("<ui>" + Name(k) + end_tag));
    return Pair(k);
  }
  static FilePair Pair(int k) {
    const NativeString settings = NativeOf("cache/" + Name(k) + "_sc.tmp");
    return {NativeOf("cache/" + Name(k) + ".tmp"), settings, settings};
  }
  static NativeString Success(int k) {
    return StatusLine(kConverted, NativeString(), Pair(k).settings_shown,
                      Native(".\\ui.") + NativeDecimal(100 + k) + Native(".xml"));
  }
};

// Each file is read, all of them, then read again once the interval has
// passed since the first: one wait for the run, not one per file.
TEST_F(PairQueueTest, PairsThatAllNeedASecondLookShareOneWait) {
  constexpr int kPairs = 20;
  StringConsole console;
  unsigned processed = 0;
  PairQueue queue(console, processed, NativeOf("out"));
  NativeString expected;
  for (int k = 0; k < kPairs; ++k) {
    queue.Add(YoungPair(k));
    expected += Success(k);
  }
  EXPECT_EQ(console.text_, NativeString());
  queue.Finish();
  EXPECT_EQ(console.text_, expected);
  EXPECT_EQ(processed, static_cast<unsigned>(kPairs));
  EXPECT_EQ(g_slept_ns, kSettleIntervalNs);
  EXPECT_EQ(ReadBytes("out/ui.119.xml"), Utf16Of("<ui>" + Name(19) + "</ui>"));
  // Whether a writer holds any of them open is asked once for all.
  EXPECT_EQ(g_censuses, 1);
}

// Layouts without their end tag, saved a moment ago, may be saves that
// paused: they wait for the long stillness, all of them together, and are
// then written as they are.
TEST_F(PairQueueTest, LayoutsWithoutTheirEndShareOneLongWait) {
  constexpr int kPairs = 10;
  StringConsole console;
  unsigned processed = 0;
  PairQueue queue(console, processed, NativeOf("out"));
  for (int k = 0; k < kPairs; ++k) {
    queue.Add(YoungPair(k, "</ui"));
  }
  queue.Finish();
  EXPECT_EQ(processed, static_cast<unsigned>(kPairs));
  EXPECT_EQ(g_slept_ns, kLongStillNs);
  EXPECT_EQ(ReadBytes("out/ui.109.xml"), Utf16Of("<ui>" + Name(9) + "</ui"));
}

// A pair that is done at once waits for the lines before it; so does a line
// of the run's own.
TEST_F(PairQueueTest, LinesKeepTheOrderOfThePairs) {
  StringConsole console;
  unsigned processed = 0;
  PairQueue queue(console, processed, NativeOf("out"));
  queue.Add(YoungPair(1));
  queue.Add(Pair(2));  // No files: done at once.
  queue.AddLine(Native("a line of the run\n"));
  queue.Add(YoungPair(3));
  EXPECT_EQ(console.text_, NativeString());
  queue.Finish();
  EXPECT_EQ(console.text_, Success(1) +
                               StatusLine(kCannotOpenCharacterFile, Pair(2).character_path,
                                          Pair(2).settings_shown, NativeString()) +
                               Native("a line of the run\n") + Success(3));
  EXPECT_EQ(processed, 2u);
}

// Both files of a pair are looked at in the same looks.
TEST_F(PairQueueTest, APairSavedAMomentAgoWaitsOnce) {
  YoungPair(1);
  NativeString output_name;
  EXPECT_EQ(
      ConvertFilePair(Pair(1).character_path, Pair(1).settings_path, NativeOf("out"), output_name),
      kConverted);
  EXPECT_EQ(g_sleeps, 1);
  EXPECT_EQ(g_slept_ns, kSettleIntervalNs);
}

// A dropped file is opened by its full path and shown as the user gave it;
// the output goes into the program folder, whatever the working directory.
TEST_F(PairQueueTest, OpensOnePathShowsTheOtherAndWritesIntoTheOutputFolder) {
  WriteBytes("cache/A.tmp", CharacterFile(7));
  WriteBytes("full/A_sc.tmp", SettingsFile("<ui>a</ui>"));
  WriteBytes("A_sc.tmp", "not the file to open");
  const FilePair pair{Native("cache/A.tmp"), Native("full/A_sc.tmp"), Native("A_sc.tmp")};
  StringConsole console;
  unsigned processed = 0;
  PairQueue queue(console, processed, NativeOf("out"));
  queue.Add(pair);
  queue.Finish();
  EXPECT_EQ(console.text_, Native("[SUCCESS] \"A_sc.tmp\" >> \".\\ui.7.xml\".\n"));
  EXPECT_EQ(processed, 1u);
  EXPECT_EQ(ReadBytes("out/ui.7.xml"), Utf16Of("<ui>a</ui>"));
  EXPECT_EQ(ListFolder("."), "A_sc.tmp cache full out");
}

// Files that have held still an hour, on a file system whose stamps are
// trusted, are taken at their first look.
void MakeEveryFileOld() {
  CurrentSettleClock().file_time_age_ns = [](std::int64_t file_time) {
    return NanosecondsSince(file_time) + 3'600'000'000'000;
  };
  CurrentFileFacts().trust = [](const InputFile&) { return StampTrust::kTrusted; };
}

// A converted pair's output is put in place, and its line written, with its
// group: once the group is full, once its oldest output has waited long
// enough, and at the end; never before.
TEST_F(PairQueueTest, LinesComeOutOnceTheirGroupIsInPlace) {
  MakeEveryFileOld();
  StringConsole console;
  unsigned processed = 0;
  PairQueue queue(console, processed, NativeOf("out"));
  NativeString expected;
  const int full = static_cast<int>(kMaxOutputGroup);
  for (int k = 0; k < full - 1; ++k) {
    queue.Add(YoungPair(k));
    expected += Success(k);
  }
  EXPECT_EQ(console.text_, NativeString());
  EXPECT_FALSE(std::filesystem::exists("out/ui.100.xml"));
  queue.Add(YoungPair(full - 1));
  expected += Success(full - 1);
  EXPECT_EQ(console.text_, expected);
  EXPECT_EQ(ReadBytes("out/ui.100.xml"), Utf16Of("<ui>" + Name(0) + "</ui>"));

  queue.Add(YoungPair(full));
  g_pretend_now_ns += kOutputGroupAgeNs - 1;
  queue.Add(YoungPair(full + 1));
  EXPECT_EQ(console.text_, expected);
  g_pretend_now_ns += 1;
  queue.Add(YoungPair(full + 2));
  expected += Success(full) + Success(full + 1) + Success(full + 2);
  EXPECT_EQ(console.text_, expected);

  queue.Add(YoungPair(full + 3));
  queue.Finish();
  EXPECT_EQ(console.text_, expected + Success(full + 3));
  EXPECT_EQ(processed, static_cast<unsigned>(full + 4));
  EXPECT_EQ(g_sleeps, 0);
}

// Outputs that hold kMaxOutputGroupBytes are put in place at once.
TEST_F(PairQueueTest, AGroupOfLargeOutputsIsPutInPlaceOnceItHoldsItsBytes) {
  MakeEveryFileOld();
  StringConsole console;
  unsigned processed = 0;
  PairQueue queue(console, processed, NativeOf("out"));
  // Each output holds two bytes a character: half the bytes and a little.
  const std::string filler(kMaxOutputGroupBytes / 4, 'x');
  queue.Add(YoungPair(1, filler + "</ui>"));
  EXPECT_EQ(console.text_, NativeString());
  queue.Add(YoungPair(2, filler + "</ui>"));
  EXPECT_EQ(console.text_, Success(1) + Success(2));
  queue.Finish();
}

// Before the queue sleeps for the pairs that wait, the outputs done so far
// are put in place and their lines written.
const StringConsole* g_watched_console = nullptr;
NativeString g_text_before_sleep;

TEST_F(PairQueueTest, NoLineIsHeldBackWhileTheQueueSleeps) {
  StringConsole console;
  unsigned processed = 0;
  PairQueue queue(console, processed, NativeOf("out"));
  MakeEveryFileOld();
  queue.Add(YoungPair(1));
  CurrentSettleClock().file_time_age_ns = NanosecondsSince;
  queue.Add(YoungPair(2));
  EXPECT_EQ(console.text_, NativeString());
  g_watched_console = &console;
  CurrentSettleClock().sleep_ns = [](std::int64_t duration) {
    g_text_before_sleep = g_watched_console->text_;
    g_pretend_now_ns += duration;
  };
  queue.Finish();
  EXPECT_EQ(g_text_before_sleep, Success(1));
  EXPECT_EQ(console.text_, Success(1) + Success(2));
}

// Two pairs of one group that write one output: the later pair's layout is
// renamed last, so it stays.
TEST_F(PairQueueTest, OfTwoOutputsOfOneNameInAGroupTheLaterStays) {
  MakeEveryFileOld();
  WriteBytes("cache/C@S.tmp", CharacterFile(7));
  WriteBytes("cache/C@S_sc.tmp", SettingsFile("<ui>the earlier pair</ui>"));
  WriteBytes("backup/C@S_sc.tmp", SettingsFile("<ui>the later pair</ui>"));
  StringConsole console;
  unsigned processed = 0;
  PairQueue queue(console, processed, NativeOf("out"));
  const NativeString character = NativeOf("cache/C@S.tmp");
  queue.Add({character, NativeOf("cache/C@S_sc.tmp"), NativeOf("cache/C@S_sc.tmp")});
  queue.Add({character, NativeOf("backup/C@S_sc.tmp"), NativeOf("backup/C@S_sc.tmp")});
  EXPECT_EQ(console.text_, NativeString());
  queue.Finish();
  EXPECT_EQ(processed, 2u);
  EXPECT_EQ(ReadBytes("out/ui.7.xml"), Utf16Of("<ui>the later pair</ui>"));
  EXPECT_EQ(ListFolder("out"), "ui.7.xml");
}

std::int64_t g_marker_time = 0;

// Two settings files that pair with one character file write one output.
// The first was saved a moment ago and waits; the second, old, could be
// converted at once, but then the first would overwrite it: the layout of
// the later pair must be the one that stays.
TEST_F(PairQueueTest, ALaterPairWithTheSameCharacterFileWritesAfterTheEarlierOne) {
  WriteBytes("cache/C@S.tmp", CharacterFile(7));
  WriteBytes("backup/C@S_sc.tmp", SettingsFile("<ui>the later pair</ui>"));
  // Files written before the marker look an hour old.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  WriteBytes("marker", "");
  {
    InputFile marker;
    ASSERT_TRUE(marker.Open(NativeOf("marker")));
    g_marker_time = marker.OpenedStamp().modified;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  WriteBytes("cache/C@S_sc.tmp", SettingsFile("<ui>the earlier pair</ui>"));
  CurrentSettleClock().file_time_age_ns = [](std::int64_t file_time) {
    return NanosecondsSince(file_time) + (file_time < g_marker_time ? 3'600'000'000'000 : 0);
  };
  StringConsole console;
  unsigned processed = 0;
  PairQueue queue(console, processed, NativeOf("out"));
  const NativeString character = NativeOf("cache/C@S.tmp");
  const NativeString young = NativeOf("cache/C@S_sc.tmp");
  const NativeString old = NativeOf("backup/C@S_sc.tmp");
  queue.Add({character, young, young});
  queue.Add({character, old, old});
  queue.Finish();
  const NativeString output = Native(".\\ui.7.xml");
  EXPECT_EQ(console.text_, StatusLine(kConverted, character, young, output) +
                               StatusLine(kConverted, character, old, output));
  EXPECT_EQ(ReadBytes("out/ui.7.xml"), Utf16Of("<ui>the later pair</ui>"));
}

}  // namespace
