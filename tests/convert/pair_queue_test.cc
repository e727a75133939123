#include "convert/pair_queue.h"

#include <gtest/gtest.h>

#include <string>

#include "fixtures.h"
#include "pretend_clock.h"
#include "temp_dir.h"

namespace {

class StringConsole : public ConsoleSink {
 public:
  void Write(const NativeString& text) override { text_ += text; }
  NativeString text_;
};

std::int64_t g_slept_ns = 0;
int g_sleeps = 0;

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
  }
  void TearDown() override {
    UsePretendClock();
    InTempDirTest::TearDown();
  }

  static std::string Name(int k) { return "C" + std::to_string(k) + "@S"; }

  // Writes pair `k`, whose layout names it, and returns it as the driver
  // hands it over.
  static FilePair YoungPair(int k) {
    WriteBytes("cache/" + Name(k) + ".tmp", CharacterFile(static_cast<std::uint64_t>(100 + k)));
    WriteBytes("cache/" + Name(k) + "_sc.tmp", SettingsFile("<ui>" + Name(k) + "</ui>"));
    return Pair(k);
  }
  static FilePair Pair(int k) {
    const NativeString settings = NativeOf("cache/" + Name(k) + "_sc.tmp");
    return {NativeOf("cache/" + Name(k) + ".tmp"), settings, settings, NativeOf("out")};
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
  PairQueue queue(console, processed);
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
}

// A pair that is done at once waits for the lines before it; so does a line
// of the run's own.
TEST_F(PairQueueTest, LinesKeepTheOrderOfThePairs) {
  StringConsole console;
  unsigned processed = 0;
  PairQueue queue(console, processed);
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

}  // namespace
