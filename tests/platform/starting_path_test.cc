#include "platform/starting_path.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

class StartingPathTest : public InTempDirTest {};

TEST_F(StartingPathTest, FindsTheProgramFromAPathWithAFolder) {
  WriteBytes("game/tarnwick", "program");
  fs::create_directory("bin");
  fs::create_symlink("../game/tarnwick", "bin/tarnwick");
  const std::string program = fs::current_path() / "game" / "tarnwick";
  for (const std::string& started_as :
       {program, std::string("game/tarnwick"), std::string("./game/../game/tarnwick"),
        std::string("bin/tarnwick")}) {
    EXPECT_EQ(ProgramPathFromStartingPath(started_as), program) << started_as;
  }
}

// A bare name was found through PATH, not in the working directory, even
// when a file of that name lies there.
TEST_F(StartingPathTest, NamesNothingWithoutAFolderOrAFile) {
  WriteBytes("tarnwick", "program");
  fs::create_directory("game");
  for (const char* started_as : {"tarnwick", "", "game", "game/", "missing/tarnwick"}) {
    EXPECT_EQ(ProgramPathFromStartingPath(started_as), std::nullopt) << started_as;
  }
}

}  // namespace
