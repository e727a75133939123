// The game saving a settings file while the program runs: a second program
// rewrites it the way the game does, in 4 KiB pieces 1 ms apart, after
// truncating it or over its old bytes in place. The program must convert
// one whole version of the file or leave the earlier layout as it was.

#include <gtest/gtest.h>

#include <string>
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

class GameSaves : public EndToEndTest, public ::testing::WithParamInterface<SavingCase> {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    AddPair("Saving@S", CharacterFile(7), Version(0));
    WriteBytes(program_folder_ + "/ui.7.xml", "an earlier layout");
    for (int number : {1, 2}) {
      WriteBytes(VersionPath(number), Version(number));
    }
  }

  std::string VersionPath(int number) const { return root_ + "/version" + std::to_string(number); }

  std::vector<std::string> Writer(const std::string& rounds) const {
    return {TARNWICK_GAME_WRITER,       GetParam().way, rounds,        "1000",
            cache_ + "Saving@S_sc.tmp", VersionPath(1), VersionPath(2)};
  }

  std::string Line(const std::string& line) const {
    return Console(Header() + line + "\n\nDone! File(s) Processed: " +
                   (line.starts_with("[SUCCESS]") ? "1" : "0") + "\n") +
           Pause();
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

}  // namespace
