// The game saving a settings file while the program runs: a second program
// rewrites it the way the game does, in 4 KiB pieces 1 ms apart, after
// truncating it or over its old bytes in place. The program must convert
// one whole version of the file or leave the earlier layout as it was. So
// too when the writer sets the write time a day back after every piece, as
// a restore or sync tool may, on the settings file or on the character
// file, whose ID it then writes in two pieces; and on a file system that
// keeps file times in whole seconds, where a rewrite in place within one
// second leaves the file's stamp as it was.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "end_to_end_fixture.h"
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
  void AddPairAndVersions(std::uint64_t character_id) {
    AddPair("Saving@S", CharacterFile(character_id), Version(0));
    WriteBytes(program_folder_ + "/" + OutputOf(character_id), "an earlier layout");
    for (int number : {1, 2}) {
      WriteBytes(VersionPath(number), Version(number));
    }
  }

  static std::string OutputOf(std::uint64_t character_id) {
    return "ui." + std::to_string(character_id) + ".xml";
  }

  std::string VersionPath(int number) const { return root_ + "/version" + std::to_string(number); }

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

  std::string Failure() const {
    return GetParam().character_file ? "[WARNING] Cannot open \"" + cache_shown_ +
                                           "Saving@S.tmp\", unable to extract character ID."
                                     : "[ERROR] Cannot open \"" + cache_shown_ +
                                           "Saving@S_sc.tmp\", unable to extract <ui>.";
  }
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
    std::filesystem::create_directories(mount_point_ + "/Quellmoor/cache");
    std::filesystem::remove_all(documents_ + "/Quellmoor");
    std::filesystem::create_directory_symlink(mount_point_ + "/Quellmoor",
                                              documents_ + "/Quellmoor");
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

}  // namespace
