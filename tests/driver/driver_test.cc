#include "driver/driver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>

#include "fixtures.h"
#include "settle/quiet_read.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

// Stands in for the operating system; the cache folder and the program
// folder are real folders inside the test's temporary directory. The
// working directory never changes: it stays the caller's folder, as when the
// program folder cannot be entered.
class FakePlatform : public Platform {
 public:
  void SetUpConsole() override { console_ready_ = true; }
  void WriteConsole(const NativeString& text) override {
    EXPECT_TRUE(console_ready_);
    EraseLiveLine();
    console_ += text;
    screen_ += text;
  }
  void ShowLiveLine(const LiveLine& line) override {
    screen_ += Native("<live>") + line.head + line.path + line.tail;
    live_line_shown_ = true;
  }
  void EraseLiveLine() override {
    if (live_line_shown_) screen_ += Native("<erased>");
    live_line_shown_ = false;
  }
  bool GetExecutablePath(NativeString& path, NativeString& reason) override {
    path = executable_;
    reason = Native("no executable");
    return !executable_.empty();
  }
  bool SetWorkingDirectory(const NativeString& folder) override {
    working_directory_ = folder;
    return true;
  }
  bool GetDocumentsFolder(NativeString& folder, NativeString& reason) override {
    folder = documents_;
    reason = Native("no documents");
    return !documents_.empty();
  }
  bool GetFullPath(const NativeString& path, NativeString& full) override {
    full = NativeOf(fs::absolute(fs::path(path)));
    return caller_folder_known_;
  }
  bool PathExists(const NativeString& path) override {
    existence_tests_.insert(path);
    return fs::exists(fs::path(path));
  }
  bool ForEachSettingsFile(const NativeString& folder,
                           const std::function<void(const CacheEntry&)>& visit) override {
    enumerated_folder_ = folder;
    for (const CacheEntry& entry : entries_) {
      visit(entry);
    }
    return !entries_.empty();
  }
  void Pause() override { console_ += Native("<pause>"); }
  void SetUpSignals() override { signals_set_up_ = true; }

  NativeString executable_;
  NativeString documents_;
  std::vector<CacheEntry> entries_;
  NativeString console_;
  NativeString screen_;  ///< The console's text, with the live line's comings and goings.
  NativeString working_directory_;
  NativeString enumerated_folder_;
  std::set<NativeString> existence_tests_;
  bool console_ready_ = false;
  bool signals_set_up_ = false;
  bool caller_folder_known_ = true;
  bool live_line_shown_ = false;
};

const NativeString kSep(1, kPathSeparator);

NativeString Banner() { return Native(kBanner); }

class DriverTest : public InTempDirTest {
 protected:
  void SetUp() override {
    InTempDirTest::SetUp();
    root_ = NativeOf(dir_.path());
    platform_.executable_ = root_ + kSep + Native("game") + kSep + Native("Tarnwick.exe");
    platform_.documents_ = root_ + kSep + Native("Docs");
    cache_ = platform_.documents_ + kSep + Native("Quellmoor") + kSep + Native("cache") + kSep;
    fs::create_directories(fs::path(cache_));
    fs::create_directories("game");
  }

  NativeString Header() {
    return Banner() + Native("Current Dir: ") + root_ + kSep + Native("game\n\n");
  }

  void AddPair(const std::string& name, std::uint64_t id) {
    WriteBytes(fs::path(cache_ + Native(name + ".tmp")), CharacterFile(id));
    WriteBytes(fs::path(cache_ + Native(name + "_sc.tmp")), SettingsFile("<ui/>"));
  }

  FakePlatform platform_;
  NativeString root_;
  NativeString cache_;
};

TEST_F(DriverTest, RejectsAMissingFirstArgumentBeforeAnythingElse) {
  AddPair("A@S", 1);
  EXPECT_EQ(RunTarnwick({Native("missing_sc.tmp"), cache_ + Native("A@S_sc.tmp")}, platform_),
            kExitBadArgument);
  EXPECT_EQ(platform_.console_,
            Banner() + Native("[ERROR] File path is not valid: \"missing_sc.tmp\"\n"
                              "\nUsage: \n"
                              "1. Place Tarnwick.exe in your Quellmoor directory. \n"
                              "2. Run it directly or drag CHAR@SERVER_sc.tmp files onto it. \n"
                              "<pause>"));
  EXPECT_TRUE(platform_.working_directory_.empty());
  EXPECT_EQ(ListFolder("."), "Docs game");
}

TEST_F(DriverTest, EmptyFirstArgumentIsRejected) {
  EXPECT_EQ(RunTarnwick({Native("")}, platform_), kExitBadArgument);
}

TEST_F(DriverTest, ConvertsDroppedFilesWithCharacterFilesFromTheCache) {
  AddPair("A@S", 11);
  WriteBytes("elsewhere/B@S_sc.tmp", SettingsFile("<ui/>"));
  WriteBytes(fs::path(cache_ + Native("B@S.tmp")), CharacterFile(22));
  const NativeString dropped = root_ + kSep + Native("elsewhere") + kSep + Native("B@S_sc.tmp");
  EXPECT_EQ(
      RunTarnwick({dropped, Native("no-marker.tmp"), Native(""), dropped, Native("Ghost@S_sc.tmp")},
                  platform_),
      kExitNormal);
  EXPECT_EQ(platform_.working_directory_, root_ + kSep + Native("game"));
  EXPECT_EQ(platform_.existence_tests_, std::set<NativeString>{dropped});
  EXPECT_EQ(platform_.console_,
            Header() + Native("[SUCCESS] \"") + dropped + Native("\" >> \".\\ui.22.xml\".\n") +
                Native("[ERROR] \"no-marker.tmp\" file name incorrect.\n"
                       "[ERROR] \"\" file name incorrect.\n") +
                Native("[SUCCESS] \"") + dropped + Native("\" >> \".\\ui.22.xml\".\n") +
                Native("[WARNING] Cannot open \"") + cache_ +
                Native("Ghost@S.tmp\", unable to extract character ID.\n") +
                Native("\nDone! File(s) Processed: 2\n<pause>"));
}

TEST_F(DriverTest, FolderAsFirstArgumentPassesTheTestButHasNoMarker) {
  const NativeString folder = root_ + kSep + Native("Docs");
  EXPECT_EQ(RunTarnwick({folder, folder + kSep}, platform_), kExitNormal);
  EXPECT_EQ(platform_.console_, Header() + Native("[ERROR] \"") + folder +
                                    Native("\" file name incorrect.\n") + Native("[ERROR] \"") +
                                    folder + kSep + Native("\" file name incorrect.\n") +
                                    Native("\nDone! File(s) Processed: 0\n<pause>"));
}

TEST_F(DriverTest, ScansTheCacheFolderInDeliveryOrder) {
  AddPair("B@S", 2);
  AddPair("A@S", 1);
  WriteBytes(fs::path(cache_ + Native("C@S_SC.TMP")), SettingsFile("<ui/>"));
  WriteBytes(fs::path(cache_ + Native("Lone@S_sc.tmp")), SettingsFile("<ui/>"));
  platform_.entries_ = {{Native("B@S_sc.tmp"), false},
                        {Native("dir_sc.tmp"), true},
                        {Native("C@S_SC.TMP"), false},
                        {Native("Lone@S_sc.tmp"), false},
                        {Native("A@S_sc.tmp"), false}};
  EXPECT_EQ(RunTarnwick({}, platform_), kExitNormal);
  EXPECT_EQ(platform_.enumerated_folder_, cache_);
  EXPECT_EQ(platform_.console_,
            Header() + Native("[SUCCESS] \"") + cache_ +
                Native("B@S_sc.tmp\" >> \".\\ui.2.xml\".\n") + Native("[ERROR] \"") + cache_ +
                Native("C@S_SC.TMP\" file name incorrect.\n") + Native("[WARNING] Cannot open \"") +
                cache_ + Native("Lone@S.tmp\", unable to extract character ID.\n") +
                Native("[SUCCESS] \"") + cache_ + Native("A@S_sc.tmp\" >> \".\\ui.1.xml\".\n") +
                Native("\nDone! File(s) Processed: 2\n<pause>"));
}

// Pairs saved a moment ago each need a second look: the run waits for them
// once, not once per pair.
// One wait, in steps of a second at most, during which the console's live
// line names the first pair and the others; it is taken back before the
// lines are written.
TEST_F(DriverTest, AScanOfYoungPairsWaitsOnce) {
  static std::int64_t slept = 0;
  static void (*pretend_sleep)(std::int64_t) = nullptr;
  slept = 0;
  const SettleClock saved = CurrentSettleClock();
  pretend_sleep = saved.sleep_ns;
  CurrentSettleClock().sleep_ns = [](std::int64_t duration) {
    slept += duration;
    pretend_sleep(duration);
  };
  for (int k = 0; k < 5; ++k) {
    const std::string name = "P" + std::to_string(k) + "@S";
    AddPair(name, static_cast<std::uint64_t>(k + 1));
    platform_.entries_.push_back({Native(name + "_sc.tmp"), false});
  }
  EXPECT_EQ(RunTarnwick({}, platform_), kExitNormal);
  CurrentSettleClock() = saved;
  EXPECT_EQ(slept, kSettleIntervalNs);
  EXPECT_TRUE(platform_.console_.ends_with(Native("File(s) Processed: 5\n<pause>")));
  const NativeString first = Native("<live>Waiting up to 2 s for \"") + cache_ +
                             Native("P0@S_sc.tmp\": being saved (and 4 more)");
  EXPECT_TRUE(platform_.screen_.find(Native("\n\n") + first + Native("<live>Waiting up to 1 s")) !=
              NativeString::npos)
      << platform_.screen_;
  EXPECT_TRUE(platform_.screen_.find(Native("more)<erased>[SUCCESS]")) != NativeString::npos);
}

TEST_F(DriverTest, OnlyAFolderMatchesInTheCache) {
  platform_.entries_ = {{Native("dir_sc.tmp"), true}};
  EXPECT_EQ(RunTarnwick({}, platform_), kExitNormal);
  EXPECT_EQ(platform_.console_, Header() + Native("\nDone! File(s) Processed: 0\n<pause>"));
}

TEST_F(DriverTest, CacheFolderThatCannotBeEnumeratedEndsTheRun) {
  EXPECT_EQ(RunTarnwick({}, platform_), kExitNoSettingsFiles);
  EXPECT_EQ(platform_.console_,
            Header() + Native("[ERROR] Cannot find any CHAR@SERVER_sc.tmp file in \"") + cache_ +
                Native("\".\n<pause>"));
}

TEST_F(DriverTest, PreparesForInterruptsAndClearsLeftoversOfEndedRuns) {
  const NativeString program_folder = root_ + kSep + Native("game");
  const fs::path left_over(program_folder + kSep + Native("ui.7.xml.2147483644-0.part"));
  WriteBytes(left_over, "cut short");
  fs::last_write_time(left_over, fs::file_time_type::clock::now() - std::chrono::hours(1));
  WriteBytes(fs::path(program_folder + kSep + Native("ui.7.xml")), "a layout");
  EXPECT_EQ(RunTarnwick({}, platform_), kExitNoSettingsFiles);
  EXPECT_TRUE(platform_.signals_set_up_);
  EXPECT_EQ(ListFolder(fs::path(program_folder)), "ui.7.xml");
}

TEST_F(DriverTest, ScanPairsOnTheWholePath) {
  // A marker in the folder part is the first one found.
  platform_.documents_ = root_ + kSep + Native("u_sc.tmp");
  const NativeString cache =
      platform_.documents_ + kSep + Native("Quellmoor") + kSep + Native("cache") + kSep;
  platform_.entries_ = {{Native("A@S_sc.tmp"), false}};
  EXPECT_EQ(RunTarnwick({}, platform_), kExitNormal);
  EXPECT_EQ(platform_.console_, Header() + Native("[WARNING] Cannot open \"") + root_ + kSep +
                                    Native("u.tmp") + kSep + Native("Quellmoor") + kSep +
                                    Native("cache") + kSep +
                                    Native("A@S_sc.tmp\", unable to extract character ID.\n") +
                                    Native("\nDone! File(s) Processed: 0\n<pause>"));
}

TEST_F(DriverTest, WithoutADocumentsFolderNoCharacterFileIsLookedFor) {
  AddPair("A@S", 1);
  // A character file beside the program must not be picked up instead.
  WriteBytes("game/A@S.tmp", CharacterFile(5));
  platform_.documents_.clear();
  const NativeString dropped = cache_ + Native("A@S_sc.tmp");
  EXPECT_EQ(RunTarnwick({dropped}, platform_), kExitNormal);
  EXPECT_EQ(
      platform_.console_,
      Header() + Native("[ERROR] Cannot find the Documents folder (no documents), so there is no "
                        "cache folder to look in.\n"
                        "[WARNING] Cannot open \"A@S.tmp\", unable to extract character ID.\n"
                        "\nDone! File(s) Processed: 0\n<pause>"));

  platform_.console_.clear();
  EXPECT_EQ(RunTarnwick({}, platform_), kExitNoSettingsFiles);
  EXPECT_EQ(
      platform_.console_,
      Header() + Native("[ERROR] Cannot find the Documents folder (no documents), so there is no "
                        "cache folder to look in.\n"
                        "[ERROR] Cannot find any CHAR@SERVER_sc.tmp file in \"\".\n<pause>"));
}

TEST_F(DriverTest, OutputsGoToTheProgramFolderThoughItIsNotTheWorkingDirectory) {
  AddPair("A@S", 1);
  WriteBytes("B@S_sc.tmp", SettingsFile("<ui/>"));
  WriteBytes(fs::path(cache_ + Native("B@S.tmp")), CharacterFile(2));
  platform_.entries_ = {{Native("A@S_sc.tmp"), false}};
  EXPECT_EQ(RunTarnwick({}, platform_), kExitNormal);
  EXPECT_EQ(RunTarnwick({Native("B@S_sc.tmp")}, platform_), kExitNormal);
  EXPECT_EQ(ListFolder("game"), "ui.1.xml ui.2.xml");
  EXPECT_EQ(ListFolder("."), "B@S_sc.tmp Docs game");
}

// Relative arguments are then read from the working directory, which is
// still the caller's folder: it is not changed.
TEST_F(DriverTest, WithoutTheCallersFolderTheWorkingDirectoryStaysIt) {
  platform_.caller_folder_known_ = false;
  WriteBytes("B@S_sc.tmp", SettingsFile("<ui/>"));
  WriteBytes(fs::path(cache_ + Native("B@S.tmp")), CharacterFile(2));
  EXPECT_EQ(RunTarnwick({Native("B@S_sc.tmp")}, platform_), kExitNormal);
  EXPECT_TRUE(platform_.working_directory_.empty());
  EXPECT_EQ(platform_.console_, Header() + Native("[SUCCESS] \"B@S_sc.tmp\" >> \".\\ui.2.xml\".\n"
                                                  "\nDone! File(s) Processed: 1\n<pause>"));
  EXPECT_EQ(ListFolder("game"), "ui.2.xml");
}

TEST_F(DriverTest, ControlCharactersInShownPathsBecomeQuestionMarks) {
  EXPECT_EQ(RunTarnwick({Native("gone\n[SUCCESS] \"x\"\x1B]0;title\x07")}, platform_),
            kExitBadArgument);
  EXPECT_EQ(platform_.console_,
            Banner() + Native("[ERROR] File path is not valid: \"gone?[SUCCESS] \"x\"?]0;title?\"\n"
                              "\nUsage: \n"
                              "1. Place Tarnwick.exe in your Quellmoor directory. \n"
                              "2. Run it directly or drag CHAR@SERVER_sc.tmp files onto it. \n"
                              "<pause>"));

  platform_.console_.clear();
  const NativeString folder = root_ + kSep + Native("Docs");
  EXPECT_EQ(RunTarnwick({folder, Native("notes\x1B[2J\r.txt")}, platform_), kExitNormal);
  EXPECT_NE(platform_.console_.find(Native("[ERROR] \"notes?[2J?.txt\" file name incorrect.\n")),
            NativeString::npos);

  platform_.console_.clear();
  platform_.executable_ = root_ + kSep + Native("g\x07") + kSep + Native("Tarnwick.exe");
  platform_.documents_ = root_ + kSep + Native("D\x1B");
  EXPECT_EQ(RunTarnwick({}, platform_), kExitNoSettingsFiles);
  EXPECT_EQ(platform_.console_,
            Banner() + Native("Current Dir: ") + root_ + kSep + Native("g?\n\n") +
                Native("[ERROR] Cannot find any CHAR@SERVER_sc.tmp file in \"") + root_ + kSep +
                Native("D?") + kSep + Native("Quellmoor") + kSep + Native("cache") + kSep +
                Native("\".\n<pause>"));
}

TEST_F(DriverTest, ProgramFolderIsEverythingBeforeTheLastSeparator) {
  platform_.executable_ = Native("D:") + kSep + Native("Tarnwick.exe");
  platform_.entries_ = {{Native("dir_sc.tmp"), true}};
  EXPECT_EQ(RunTarnwick({}, platform_), kExitNormal);
  EXPECT_EQ(platform_.working_directory_, Native("D:"));

  platform_.executable_ = Native("Tarnwick.exe");
  platform_.console_.clear();
  platform_.working_directory_.clear();
  EXPECT_EQ(RunTarnwick({}, platform_), kExitNormal);
  EXPECT_TRUE(platform_.working_directory_.empty());
  EXPECT_EQ(platform_.console_,
            Banner() + Native("[WARNING] Cannot find the program's own folder (no folder in "
                              "\"Tarnwick.exe\"); output files go to the current folder.\n\n"
                              "\nDone! File(s) Processed: 0\n<pause>"));
}

}  // namespace
