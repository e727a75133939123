// The game saving a settings file while the program runs: a second program
// rewrites it the way the game does, in 4 KiB pieces 1 ms apart, after
// truncating it or over its old bytes in place. The program must convert
// one whole version of the file or leave the earlier layout as it was. So
// too when the writer sets the write time a day back after every piece, as
// a restore or sync tool may, on the settings file or on the character
// file, whose ID it then writes in two pieces; and on a file system that
// keeps file times in whole seconds, where a rewrite in place within one
// second leaves the file's stamp as it was; and on exFAT, whose only other
// time is the write time, so that a file dated back looks old however new.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "end_to_end_fixture.h"
#include "exfat_mount.h"
#include "fixtures.h"

namespace {

constexpr std::size_t kVersionSize = 1 << 20;

// The block of version `number`: its filler tells versions apart anywhere
// in the block, so that a mix of two shows.
std::string VersionBlock(int number) {
  const std::string head = "<ui><v n=\"" + std::to_string(number) + "\"/>";
  return head + std::string(kVersionSize - head.size() - 40, static_cast<char>('a' + number)) +
         "</ui>";
}

std::string Version(int number) { return SettingsFile(VersionBlock(number)); }

struct SavingCase {
  std::string name;
  std::string way;  ///< "truncate" or "in-place".
};

// A pair whose settings file holds version 0, the versions that the writer
// writes beside it, and an earlier layout of the character.
class SavingTest : public EndToEndTest {
 protected:
  void AddPairAndVersions(std::uint64_t character_id, int versions = 2) {
    AddPair("Saving@S", CharacterFile(character_id), Version(0));
    WriteBytes(program_folder_ + "/" + OutputOf(character_id), "an earlier layout");
    for (int number = 1; number <= versions; ++number) {
      WriteBytes(VersionPath(number), Version(number));
    }
  }

  static std::string OutputOf(std::uint64_t character_id) {
    return "ui." + std::to_string(character_id) + ".xml";
  }

  std::string VersionPath(int number) const { return root_ + "/version" + std::to_string(number); }

  // The cache folder moved onto the file system mounted at `mount_point`,
  // through a link from the Documents folder.
  void LinkCacheOnto(const std::string& mount_point) const {
    std::filesystem::create_directories(mount_point + "/Quellmoor/cache");
    std::filesystem::remove_all(documents_ + "/Quellmoor");
    std::filesystem::create_directory_symlink(mount_point + "/Quellmoor",
                                              documents_ + "/Quellmoor");
  }

  // The line of a character file, or else a settings file, not read.
  std::string CannotOpen(bool character_file) const {
    return character_file ? "[WARNING] Cannot open \"" + cache_shown_ +
                                "Saving@S.tmp\", unable to extract character ID."
                          : "[ERROR] Cannot open \"" + cache_shown_ +
                                "Saving@S_sc.tmp\", unable to extract <ui>.";
  }

  std::string Cut() const {
    return "[ERROR] \"<ui>\" block in \"" + cache_shown_ +
           "Saving@S_sc.tmp\" is cut short; any earlier ui.####.xml is kept.";
  }

  std::string Line(const std::string& line) const {
    return Console(Header() + line + "\n\nDone! File(s) Processed: " +
                   (line.starts_with("[SUCCESS]") ? "1" : "0") + "\n") +
           Pause();
  }
};

class GameSaves : public SavingTest, public ::testing::WithParamInterface<SavingCase> {
 protected:
  void SetUp() override {
    SavingTest::SetUp();
    AddPairAndVersions(7);
  }

  std::vector<std::string> Writer(const std::string& rounds) const {
    return {TARNWICK_GAME_WRITER,       GetParam().way, rounds,        "1000",
            cache_ + "Saving@S_sc.tmp", VersionPath(1), VersionPath(2)};
  }
};

TEST_P(GameSaves, OnceWhileTheProgramStartsGivesTheWholeNewVersion) {
  BackgroundProgram writer(Writer("1"), environment_);
  ASSERT_EQ(writer.ReadLine(), "writing");
  const ProgramRun run = Run({});
  EXPECT_EQ(writer.Finish(), 0);
  EXPECT_EQ(run.output,
            Line("[SUCCESS] \"" + cache_shown_ + "Saving@S_sc.tmp\" >> \".\\ui.7.xml\"."));
  EXPECT_TRUE(ReadBytes(program_folder_ + "/ui.7.xml") == Utf16Of(VersionBlock(1)))
      << "not the whole new version";
}

TEST_P(GameSaves, WithoutEndLeavesTheEarlierLayout) {
  BackgroundProgram writer(Writer("forever"), environment_);
  ASSERT_EQ(writer.ReadLine(), "writing");
  const ProgramRun run = Run({});
  EXPECT_EQ(writer.Finish(), 0);
  EXPECT_EQ(run.output, Line("[ERROR] Cannot open \"" + cache_shown_ +
                             "Saving@S_sc.tmp\", unable to extract <ui>."));
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.7.xml"), "an earlier layout");
  EXPECT_EQ(ListFolder(program_folder_), ProgramName() + " ui.7.xml");
}

INSTANTIATE_TEST_SUITE_P(Ways, GameSaves,
                         ::testing::Values(SavingCase{"Truncated", "truncate"},
                                           SavingCase{"InPlace", "in-place"}),
                         CaseName());

struct StallCase {
  std::string name;
  std::string way;  ///< "truncate" or "in-place".
  bool reopen;      ///< The writer closes the file for its stall.
  long stall_us = 4500000;
  bool linux_only = false;  ///< The Windows program would do the same, at the same cost.
};

class StallingWriter : public SavingTest, public ::testing::WithParamInterface<StallCase> {
 protected:
  void SetUp() override {
    SavingTest::SetUp();
    AddPairAndVersions(7, 1);
  }
};

// The game stalls after the first piece of a save, longer than agreeing
// reads need (and the 3 s a writer holding the file once needed), or longer
// than the long stillness, with the program started in the stall. The
// layout cut off there has no end tag: the program waits on, and takes the
// whole new version once it is written, or says the layout is cut and
// keeps the earlier one. A writer seen holding the file is waited for past
// the long stillness.
TEST_P(StallingWriter, NeverGivesACutLayout) {
  if (GetParam().linux_only) {
    SKIP_UNDER_WINE();
  }
  std::vector<std::string> argv = {TARNWICK_GAME_WRITER,
                                   "--stall=" + std::to_string(GetParam().stall_us)};
  if (GetParam().reopen) argv.push_back("--reopen");
  argv.insert(argv.end(),
              {GetParam().way, "1", "1000", cache_ + "Saving@S_sc.tmp", VersionPath(1)});
  BackgroundProgram writer(argv, environment_);
  ASSERT_EQ(writer.ReadLine(), "writing");
  const ProgramRun run = Run({});
  EXPECT_EQ(writer.Finish(), 0);
  const std::string layout = ReadBytes(program_folder_ + "/ui.7.xml");
  if (run.output == Line(CannotOpen(false)) || run.output == Line(Cut())) {
    EXPECT_EQ(layout, "an earlier layout");
    // The Linux program sees the writer that holds the file, and waits
    // for its save to end.
    EXPECT_TRUE(GetParam().reopen || g_under_test.under_wine)
        << "the writer seen holding the file was outwaited";
    return;
  }
  EXPECT_EQ(run.output,
            Line("[SUCCESS] \"" + cache_shown_ + "Saving@S_sc.tmp\" >> \".\\ui.7.xml\"."));
  EXPECT_TRUE(layout == Utf16Of(VersionBlock(1))) << "not the whole new version";
}

INSTANTIATE_TEST_SUITE_P(
    Ways, StallingWriter,
    ::testing::Values(StallCase{"HoldingTheFile", "truncate", false},
                      StallCase{"ClosingForTheStall", "truncate", true},
                      // The old end stays in place: only the writer holding
                      // the file tells, which Tarnwick.exe under Wine sees
                      // through /proc as the Linux program does.
                      StallCase{"InPlaceHoldingTheFile", "in-place", false},
                      // Past the long stillness: the writer seen
                      // holding the file is waited for; one that
                      // closed it leaves a cut layout.
                      StallCase{"HoldingTheFileFifteenSeconds", "truncate", false, 15000000},
                      StallCase{"ClosingForFifteenSeconds", "truncate", true, 15000000, true}),
    CaseName());

// Two characters whose IDs differ in both halves of their eight bytes, so
// that an ID read between the two pieces of a rewrite is neither of them.
constexpr std::uint64_t kOldId = 0x100000002;
constexpr std::uint64_t kNewId = 0x300000004;
// The first piece of a character file ends inside the ID at offset 29.
constexpr int kIdCutAt = 33;

struct DatedBackCase {
  std::string name;
  bool character_file;  ///< Else the settings file is rewritten.
  std::string way;      ///< "truncate" or "in-place".
  std::string rounds;   ///< A number, or "forever".
  long pause_us = 0;    ///< Between two pieces; 0 for the usual pause.
};

class WriterDatingBack : public SavingTest, public ::testing::WithParamInterface<DatedBackCase> {
 protected:
  void SetUp() override {
    SavingTest::SetUp();
    AddPairAndVersions(kOldId);
    WriteBytes(root_ + "/character-old", CharacterFile(kOldId));
    WriteBytes(root_ + "/character-new", CharacterFile(kNewId));
  }

  static std::string OldOutput() { return OutputOf(kOldId); }
  static std::string NewOutput() { return OutputOf(kNewId); }

  std::vector<std::string> DatingWriter() const {
    const DatedBackCase& c = GetParam();
    std::vector<std::string> argv = {TARNWICK_GAME_WRITER, "--date-back"};
    // The settings file in 64 KiB pieces 20 ms apart: a read of it then
    // mostly falls between two pieces, where the write time says "old".
    argv.push_back(c.character_file ? "--piece=" + std::to_string(kIdCutAt) : "--piece=65536");
    const long pause_us = c.pause_us != 0 ? c.pause_us : c.character_file ? 1000 : 20000;
    argv.insert(argv.end(), {c.way, c.rounds, std::to_string(pause_us)});
    if (c.character_file) {
      // The new version first: one round then cuts the ID for one pause.
      argv.insert(argv.end(),
                  {cache_ + "Saving@S.tmp", root_ + "/character-new", root_ + "/character-old"});
    } else {
      argv.insert(argv.end(), {cache_ + "Saving@S_sc.tmp", VersionPath(1), VersionPath(2)});
    }
    return argv;
  }

  std::string Failure() const { return CannotOpen(GetParam().character_file); }
};

// A file dated back looks old, but its change time says it has just
// changed: it is read twice and taken only as one whole version. A writer
// that does not end within the program's wait leaves the earlier layout.
TEST_P(WriterDatingBack, NeverGivesACutVersion) {
  const DatedBackCase& c = GetParam();
  BackgroundProgram writer(DatingWriter(), environment_);
  ASSERT_EQ(writer.ReadLine(), "writing");
  const ProgramRun run = Run({});
  EXPECT_EQ(writer.Finish(), 0);
  const std::string old_layout = ReadBytes(program_folder_ + "/" + OldOutput());
  if (run.output == Line(Failure())) {
    EXPECT_EQ(old_layout, "an earlier layout");
    EXPECT_EQ(ListFolder(program_folder_), ProgramName() + " " + OldOutput());
    return;
  }
  ASSERT_NE(c.rounds, "forever") << run.output;
  if (c.character_file) {
    // The ID of either whole version, never one of the two cut together.
    const bool old_id = run.output.find(".\\" + OldOutput()) != std::string::npos;
    const std::string output = old_id ? OldOutput() : NewOutput();
    EXPECT_EQ(run.output,
              Line("[SUCCESS] \"" + cache_shown_ + "Saving@S_sc.tmp\" >> \".\\" + output + "\"."));
    EXPECT_TRUE(ReadBytes(program_folder_ + "/" + output) == Utf16Of(VersionBlock(0)));
    return;
  }
  EXPECT_EQ(run.output, Line("[SUCCESS] \"" + cache_shown_ + "Saving@S_sc.tmp\" >> \".\\" +
                             OldOutput() + "\"."));
  const bool whole =
      old_layout == Utf16Of(VersionBlock(1)) || old_layout == Utf16Of(VersionBlock(2));
  EXPECT_TRUE(whole) << "not one whole version";
}

// Five rounds of the settings file, or six hundred of the character file,
// take about a second and a half: past the start of the program, also under
// Wine, and within its wait.
INSTANTIATE_TEST_SUITE_P(
    Cases, WriterDatingBack,
    ::testing::Values(DatedBackCase{"SettingsFileTruncated", false, "truncate", "5"},
                      DatedBackCase{"SettingsFileInPlace", false, "in-place", "5"},
                      DatedBackCase{"SettingsFileWithoutEnd", false, "in-place", "forever"},
                      DatedBackCase{"CharacterFile", true, "in-place", "600"},
                      DatedBackCase{"CharacterFileWithoutEnd", true, "in-place", "forever"},
                      // Stalls for 1.2 s with the ID cut: longer than two reads
                      // half a second apart need, shorter than the interval.
                      DatedBackCase{"CharacterFileStalling", true, "in-place", "1", 1200000}),
    CaseName());

// The cache folder on a file system that keeps file times in whole seconds:
// ext3 with small inodes, whose driver every Linux kernel has. (FAT keeps
// two-second steps, but a kernel may lack its driver.)
class WholeSecondsFileSystem : public SavingTest {
 protected:
  void SetUp() override {
    SavingTest::SetUp();
    if (geteuid() != 0) {
      GTEST_SKIP() << "needs root, to mount a file system image";
    }
    const std::string image = root_ + "/whole-seconds.img";
    mount_point_ = root_ + "/whole-seconds";
    std::filesystem::create_directories(mount_point_);
    WriteBytes(image, "");
    std::filesystem::resize_file(image, 32 << 20);
    const ProgramRun made =
        RunProgram({"/sbin/mkfs.ext3", "-q", "-F", "-I", "128", image}, environment_, root_);
    const ProgramRun mounted =
        RunProgram({"/bin/mount", "-o", "loop", image, mount_point_}, environment_, root_);
    if (made.exit_code != 0 || mounted.exit_code != 0) {
      GTEST_SKIP() << "cannot make and mount an ext3 image here: " << made.errors << mounted.errors;
    }
    mounted_ = true;
    LinkCacheOnto(mount_point_);
  }

  // Unmounted however the test ended, before its folder is removed.
  void TearDown() override {
    if (mounted_) {
      std::filesystem::remove(documents_ + "/Quellmoor");
      umount2(mount_point_.c_str(), MNT_DETACH);
    }
    SavingTest::TearDown();
  }

  std::string mount_point_;
  bool mounted_ = false;
};

// The files have aged past two seconds, so their stamp alone would let the
// program read them at once; the writer starts while the program runs and
// keeps the size. The program takes a whole version or leaves the earlier
// layout.
TEST_F(WholeSecondsFileSystem, ARewriteInPlaceIsTakenOnlyWhole) {
  AddPairAndVersions(7);
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
  BackgroundProgram writer({TARNWICK_GAME_WRITER, "in-place", "5", "1000",
                            cache_ + "Saving@S_sc.tmp", VersionPath(1), VersionPath(2)},
                           environment_);
  ASSERT_EQ(writer.ReadLine(), "writing");
  const ProgramRun run = Run({});
  EXPECT_EQ(writer.Finish(), 0);
  const std::string layout = ReadBytes(program_folder_ + "/ui.7.xml");
  if (run.output == Line("[ERROR] Cannot open \"" + cache_shown_ +
                         "Saving@S_sc.tmp\", unable to extract <ui>.")) {
    EXPECT_EQ(layout, "an earlier layout");
    return;
  }
  EXPECT_EQ(run.output,
            Line("[SUCCESS] \"" + cache_shown_ + "Saving@S_sc.tmp\" >> \".\\ui.7.xml\"."));
  EXPECT_TRUE(layout == Utf16Of(VersionBlock(1)) || layout == Utf16Of(VersionBlock(2)))
      << "not one whole version";
}

// The cache folder on exFAT, as on a memory card or a USB drive shared with
// Windows, through exfat-fuse, which needs no kernel driver beyond FUSE. Run
// by root, the driver takes only a block device: the image goes on a loop
// device, detached at once so that the kernel lets it go with the mount.
class ExfatCache : public SavingTest {
 protected:
  void SetUp() override {
    SavingTest::SetUp();
    mount_point_ = root_ + "/exfat";
    const std::string why = exfat_.Mount(root_ + "/exfat.img", mount_point_, environment_, root_);
    if (!why.empty()) {
      GTEST_SKIP() << why;
    }
    exfat_.GuardUnmount();
    LinkCacheOnto(mount_point_);
    linked_ = true;
  }

  // Unmounted however the test ended, before its folder is removed.
  void TearDown() override {
    if (linked_) {
      std::filesystem::remove(documents_ + "/Quellmoor");
    }
    exfat_.Unmount();
    SavingTest::TearDown();
  }

  std::string mount_point_;
  bool linked_ = false;
  ExfatMount exfat_;
};

// A character ID whose two halves are alike: an ID read across the two
// pieces of a rewrite from one such ID to another has halves that differ.
constexpr std::uint64_t IdOfHalves(std::uint64_t half) { return half << 32 | half; }

constexpr std::uint64_t kEarlierId = IdOfHalves(1);

struct SyncToolCase {
  std::string name;
  bool character_file;  ///< Else the settings file is rewritten.
  std::string way;      ///< "truncate" or "in-place".
};

// A sync tool rewrites a file of the pair in pieces and dates it a day back
// after every piece; on exFAT that dates back all that the stamp holds.
// Every version is written once, so no cut state comes back: two reads an
// interval apart that agree have seen one whole version.
class SyncToolOnExfat : public ExfatCache, public ::testing::WithParamInterface<SyncToolCase> {
 protected:
  // Five versions of the settings file in 64 KiB pieces 20 ms apart: a read
  // mostly falls between two pieces. Eight of the character file, whose
  // first piece ends inside the ID, 100 ms apart: no cut ID lasts as long
  // as the program's interval between two reads. Either writer takes about
  // a second and a half: past the start of the program, also under Wine.
  static constexpr int kSettingsVersions = 5;
  static constexpr std::uint64_t kCharacterVersions = 8;

  void SetUp() override {
    ExfatCache::SetUp();
    if (IsSkipped()) {
      return;
    }
    AddPairAndVersions(kEarlierId, kSettingsVersions);
    for (std::uint64_t k = 1; k <= kCharacterVersions; ++k) {
      WriteBytes(CharacterVersionPath(k), CharacterFile(IdOfHalves(1 + k)));
    }
  }

  std::string CharacterVersionPath(std::uint64_t k) const {
    return root_ + "/character" + std::to_string(k);
  }

  std::vector<std::string> SyncTool() const {
    const SyncToolCase& c = GetParam();
    std::vector<std::string> argv = {TARNWICK_GAME_WRITER, "--date-back"};
    if (c.character_file) {
      argv.insert(argv.end(), {"--piece=33", c.way, std::to_string(kCharacterVersions), "100000",
                               cache_ + "Saving@S.tmp"});
      for (std::uint64_t k = 1; k <= kCharacterVersions; ++k) {
        argv.push_back(CharacterVersionPath(k));
      }
    } else {
      argv.insert(argv.end(), {"--piece=65536", c.way, std::to_string(kSettingsVersions), "20000",
                               cache_ + "Saving@S_sc.tmp"});
      for (int number = 1; number <= kSettingsVersions; ++number) {
        argv.push_back(VersionPath(number));
      }
    }
    return argv;
  }

  std::string Failure() const { return CannotOpen(GetParam().character_file); }

  std::string Converted(std::uint64_t character_id) const {
    return Line("[SUCCESS] \"" + cache_shown_ + "Saving@S_sc.tmp\" >> \".\\" +
                OutputOf(character_id) + "\".");
  }
};

// The program gives one whole version, or the failure line with the earlier
// layout untouched: never a cut or mixed layout, never one named after an
// ID cut from two.
TEST_P(SyncToolOnExfat, NeverGivesACutVersion) {
  BackgroundProgram sync_tool(SyncTool(), environment_);
  ASSERT_EQ(sync_tool.ReadLine(), "writing");
  const ProgramRun run = Run({});
  EXPECT_EQ(sync_tool.Finish(), 0);
  const std::string earlier = program_folder_ + "/" + OutputOf(kEarlierId);
  if (run.output == Line(Failure())) {
    EXPECT_EQ(ReadBytes(earlier), "an earlier layout");
    EXPECT_EQ(ListFolder(program_folder_), ProgramName() + " " + OutputOf(kEarlierId));
    return;
  }
  if (!GetParam().character_file) {
    EXPECT_EQ(run.output, Converted(kEarlierId));
    const std::string layout = ReadBytes(earlier);
    bool whole = false;
    for (int number = 1; number <= kSettingsVersions; ++number) {
      whole = whole || layout == Utf16Of(VersionBlock(number));
    }
    EXPECT_TRUE(whole) << "not one whole version but " << layout.size() << " other bytes";
    EXPECT_EQ(ListFolder(program_folder_), ProgramName() + " " + OutputOf(kEarlierId));
    return;
  }
  std::optional<std::uint64_t> taken;
  for (std::uint64_t k = 1; k <= kCharacterVersions; ++k) {
    if (run.output == Converted(IdOfHalves(1 + k))) taken = IdOfHalves(1 + k);
  }
  ASSERT_TRUE(taken) << "neither the failure line nor a whole version's ID:\n" << run.output;
  EXPECT_TRUE(ReadBytes(program_folder_ + "/" + OutputOf(*taken)) == Utf16Of(VersionBlock(0)));
  EXPECT_EQ(ReadBytes(earlier), "an earlier layout");
  std::vector<std::string> outputs = {OutputOf(kEarlierId), OutputOf(*taken)};
  std::ranges::sort(outputs);
  EXPECT_EQ(ListFolder(program_folder_), ProgramName() + " " + outputs[0] + " " + outputs[1]);
}

INSTANTIATE_TEST_SUITE_P(Cases, SyncToolOnExfat,
                         ::testing::Values(SyncToolCase{"SettingsFileTruncated", false, "truncate"},
                                           SyncToolCase{"SettingsFileInPlace", false, "in-place"},
                                           SyncToolCase{"CharacterFile", true, "in-place"}),
                         CaseName());

}  // namespace
