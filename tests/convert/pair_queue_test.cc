#include "convert/pair_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

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
      return OpenWriters{};
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

// The census of writers that the second looks ask for is taken while the
// run waits for them: under Wine it may take a second, which the run does
// not spend on top of the wait.
TEST_F(PairQueueTest, ASlowCensusIsTakenWhileTheRunWaits) {
  CurrentFileFacts().find_open_writers = [] {
    ++g_censuses;
    g_pretend_now_ns += 1'000'000'000;
    return OpenWriters{};
  };
  StringConsole console;
  unsigned processed = 0;
  PairQueue queue(console, processed, NativeOf("out"));
  for (int k = 0; k < 3; ++k) {
    queue.Add(YoungPair(k));
  }
  const std::int64_t started = g_pretend_now_ns;
  queue.Finish();
  EXPECT_EQ(processed, 3u);
  EXPECT_EQ(g_censuses, 1);
  EXPECT_EQ(g_pretend_now_ns - started, kSettleIntervalNs);
}

// Layouts without their end tag, saved a moment ago, may be saves that
// paused: they wait for the long stillness, all of them together, and are
// then told to be cut, none of them written.
TEST_F(PairQueueTest, LayoutsWithoutTheirEndShareOneLongWait) {
  constexpr int kPairs = 10;
  StringConsole console;
  unsigned processed = 0;
  PairQueue queue(console, processed, NativeOf("out"));
  NativeString expected;
  for (int k = 0; k < kPairs; ++k) {
    queue.Add(YoungPair(k, "</ui"));
    expected += StatusLine(kUiBlockCut, NativeString(), Pair(k).settings_shown, NativeString());
  }
  queue.Finish();
  EXPECT_EQ(console.text_, expected);
  EXPECT_EQ(processed, 0u);
  EXPECT_EQ(g_slept_ns, kLongStillNs);
  EXPECT_EQ(ListFolder("out"), "");
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

struct ToldWait {
  NativeString shown_path;
  WaitReason reason;
  std::int64_t left_ns;
  std::size_t others;
};

// The watcher hears of the first pair that waits, why and until when, and
// of the others; the run sleeps no more than it did, in steps of a second
// at most, and says when it no longer waits.
TEST_F(PairQueueTest, AWatcherIsToldWhatTheRunWaitsForAboutOnceASecond) {
  StringConsole console;
  unsigned processed = 0;
  PairQueue queue(console, processed, NativeOf("out"));
  std::vector<ToldWait> told;
  int ends = 0;
  std::int64_t longest_sleep = 0;
  std::int64_t slept_before = 0;
  queue.WatchWaits([&](const QueueWait* wait) {
    longest_sleep = std::max(longest_sleep, g_slept_ns - slept_before);
    slept_before = g_slept_ns;
    if (wait == nullptr) {
      ++ends;
      return;
    }
    told.push_back({wait->shown_path, wait->reason, wait->until_ns - wait->now_ns, wait->others});
  });
  queue.Add(YoungPair(1));
  queue.Add(YoungPair(2, "</ui"));
  queue.Add(YoungPair(3));
  queue.Finish();
  // The layout without its end is given up once it has held still.
  EXPECT_EQ(processed, 2u);
  EXPECT_EQ(g_slept_ns, kLongStillNs);
  EXPECT_LE(longest_sleep, kWaitStepNs);
  EXPECT_EQ(ends, 1);
  ASSERT_GE(told.size(), 3u);
  EXPECT_EQ(told[0].shown_path, Pair(1).settings_shown);
  EXPECT_EQ(told[0].reason, WaitReason::kYoung);
  EXPECT_EQ(told[0].left_ns, kSettleIntervalNs);
  EXPECT_EQ(told[0].others, 2u);
  EXPECT_EQ(told[1].left_ns, kSettleIntervalNs - kWaitStepNs);
  // Once the young ones are taken, the layout without its end waits on.
  EXPECT_EQ(told[2].shown_path, Pair(2).settings_shown);
  EXPECT_EQ(told[2].reason, WaitReason::kLayoutNotEnded);
  EXPECT_EQ(told[2].left_ns, kLongStillNs - kSettleIntervalNs);
  EXPECT_EQ(told[2].others, 0u);
  EXPECT_GT(told.back().left_ns, 0);
  EXPECT_LE(told.back().left_ns, kWaitStepNs);
  // The lines that were ready went out while the wait went on.
  EXPECT_EQ(console.text_.substr(0, Success(1).size()), Success(1));
}

std::int64_t g_marker_time = 0;

// Files written before the marker look an hour old.
void PutMarker() {
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  WriteBytes("marker", "");
  InputFile marker;
  ASSERT_TRUE(marker.Open(NativeOf("marker")));
  g_marker_time = marker.OpenedStamp().modified;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  CurrentSettleClock().file_time_age_ns = [](std::int64_t file_time) {
    return NanosecondsSince(file_time) + (file_time < g_marker_time ? 3'600'000'000'000 : 0);
  };
}

// A character file saved a moment ago beside an old settings file: the
// character file is the one waited for.
TEST_F(PairQueueTest, AWaitForTheCharacterFileNamesIt) {
  CurrentFileFacts().trust = [](const InputFile&) { return StampTrust::kTrusted; };
  WriteBytes("cache/C@S_sc.tmp", SettingsFile("<ui>c</ui>"));
  PutMarker();
  WriteBytes("cache/C@S.tmp", CharacterFile(7));
  StringConsole console;
  unsigned processed = 0;
  PairQueue queue(console, processed, NativeOf("out"));
  std::vector<NativeString> told;
  queue.WatchWaits([&](const QueueWait* wait) {
    if (wait != nullptr) told.push_back(wait->shown_path);
  });
  queue.Add({NativeOf("cache/C@S.tmp"), NativeOf("cache/C@S_sc.tmp"), Native("shown_sc.tmp")});
  queue.Finish();
  EXPECT_EQ(processed, 1u);
  ASSERT_FALSE(told.empty());
  EXPECT_EQ(told[0], NativeOf("cache/C@S.tmp"));
}

// Two settings files that pair with one character file write one output.
// The first was saved a moment ago and waits; the second, old, could be
// converted at once, but then the first would overwrite it: the layout of
// the later pair must be the one that stays.
TEST_F(PairQueueTest, ALaterPairWithTheSameCharacterFileWritesAfterTheEarlierOne) {
  WriteBytes("cache/C@S.tmp", CharacterFile(7));
  WriteBytes("backup/C@S_sc.tmp", SettingsFile("<ui>the later pair</ui>"));
  PutMarker();
  WriteBytes("cache/C@S_sc.tmp", SettingsFile("<ui>the earlier pair</ui>"));
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

// A drive mounted over the cache folder while a pair waits (here: the
// folder renamed away and another put at its path) must not give the pair
// its character file from one drive and its settings file from the other:
// both are read from the folder as it was opened when the pair was added.
// The character file is old and taken at the first look; the settings file,
// saved a moment ago, is read again after the swap.
TEST_F(PairQueueTest, APairIsReadFromTheFolderItWasFoundIn) {
  WriteBytes("cache/C@S.tmp", CharacterFile(7));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  WriteBytes("marker", "");
  {
    InputFile marker;
    ASSERT_TRUE(marker.Open(NativeOf("marker")));
    g_marker_time = marker.OpenedStamp().modified;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  WriteBytes("cache/C@S_sc.tmp", SettingsFile("<ui>the disk's layout</ui>"));
  CurrentSettleClock().file_time_age_ns = [](std::int64_t file_time) {
    return NanosecondsSince(file_time) + (file_time < g_marker_time ? 3'600'000'000'000 : 0);
  };
  CurrentFileFacts().trust = [](const InputFile&) { return StampTrust::kTrusted; };
  StringConsole console;
  unsigned processed = 0;
  PairQueue queue(console, processed, NativeOf("out"));
  const NativeString folder = (std::filesystem::path("cache") / "").native();
  const NativeString character = folder + NativeOf("C@S.tmp");
  const NativeString settings = folder + NativeOf("C@S_sc.tmp");
  queue.Add({character, settings, settings});
  ASSERT_EQ(console.text_, NativeString()) << "the pair did not wait";
  std::filesystem::rename("cache", "disk");
  WriteBytes("cache/C@S.tmp", CharacterFile(8));
  WriteBytes("cache/C@S_sc.tmp", SettingsFile("<ui>the stick's layout</ui>"));
  queue.Finish();
  EXPECT_EQ(console.text_, StatusLine(kConverted, character, settings, Native(".\\ui.7.xml")));
  EXPECT_EQ(ReadBytes("out/ui.7.xml"), Utf16Of("<ui>the disk's layout</ui>"));
  EXPECT_FALSE(std::filesystem::exists("out/ui.8.xml"));
}

}  // namespace
