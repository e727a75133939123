// Paths as the console shows them: names built to fool a terminal show their
// control characters as '?', while the files are still opened by their real
// names.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "end_to_end_fixture.h"
#include "fixtures.h"

namespace fs = std::filesystem;

namespace {

TEST_F(EndToEndTest, ARejectedArgumentCannotForgeALineOrDriveTheTerminal) {
  const ProgramRun run = Run({"gone\n[SUCCESS] \"x\" >> \".\\ui.1.xml\".\x1B]0;owned\x07\x1B[2J"});
  EXPECT_EQ(run.exit_code, 255);
  EXPECT_EQ(run.output,
            Console(kBanner +
                    "[ERROR] File path is not valid: \"gone?[SUCCESS] \"x\" >> \".\\ui.1.xml\"."
                    "?]0;owned??[2J\"\n"
                    "\nUsage: \n"
                    "1. Place Tarnwick.exe in your Quellmoor directory. \n"
                    "2. Run it directly or drag CHAR@SERVER_sc.tmp files onto it. \n" +
                    Pause()));
}

// Windows file names cannot hold control characters; Linux ones can.
TEST_F(EndToEndTest, FileAndFolderNamesShowTheirControlCharactersAsQuestionMarks) {
  SKIP_UNDER_WINE();
  program_folder_ = root_ + "/game\x1B]0;owned\x07";
  fs::create_directories(program_folder_);
  fs::copy_file(g_under_test.program, program_folder_ + "/" + ProgramName());
  const std::string name = "Eve\r\n[SUCCESS] \"forged\"\x1B[2J\xC2\x9B@S";
  const std::string shown = "Eve??[SUCCESS] \"forged\"?[2J?@S";
  AddPair(name, CharacterFile(9), SettingsFile("<ui>eve</ui>"));
  WriteBytes(cache_ + "Lone\x1B[H@S_sc.tmp", SettingsFile("<ui>lone</ui>"));
  const std::string header = kBanner + "Current Dir: " + root_ + "/game?]0;owned?\n\n";

  const ProgramRun scan = Run({});
  EXPECT_EQ(scan.exit_code, 0);
  EXPECT_EQ(scan.output, header + "[SUCCESS] \"" + cache_ + shown +
                             "_sc.tmp\" >> \".\\ui.9.xml\".\n"
                             "[WARNING] Cannot open \"" +
                             cache_ +
                             "Lone?[H@S.tmp\", unable to extract character ID.\n"
                             "\nDone! File(s) Processed: 1\n" +
                             Pause());
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.9.xml"), Utf16Of("<ui>eve</ui>"));

  const ProgramRun dropped = Run({cache_ + name + "_sc.tmp", "notes\x1B[2J\n.txt"});
  EXPECT_EQ(dropped.exit_code, 0);
  EXPECT_EQ(dropped.output, header + "[SUCCESS] \"" + cache_ + shown +
                                "_sc.tmp\" >> \".\\ui.9.xml\".\n"
                                "[ERROR] \"notes?[2J?.txt\" file name incorrect.\n"
                                "\nDone! File(s) Processed: 1\n" +
                                Pause());

  environment_ = {"HOME=" + root_ + "/home\x1B[2J", "PATH=/usr/bin:/bin"};
  const ProgramRun empty = Run({});
  EXPECT_EQ(empty.exit_code, 254);
  EXPECT_EQ(empty.output, header + "[ERROR] Cannot find any CHAR@SERVER_sc.tmp file in \"" + root_ +
                              "/home?[2J/Documents/Quellmoor/cache/\".\n" + Pause());
}

}  // namespace
