#include "convert/pair_queue.h"

#include <gtest/gtest.h>

#include <chrono>
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
