// Runs the built program as a player would: a program folder of its own, a
// cache folder under a temporary HOME, and the exact console bytes, exit
// statuses and output files checked.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "fixtures.h"
#include "run_program.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

std::string g_program;

const std::string kBanner =
    "=================================\n"
    " Tarnwick - UI Layout Extractor\n"
    "=================================\n";
const std::string kPause = "Press any key to continue . . . \n";

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = dir_.path().string();
    program_folder_ = root_ + "/game";
    cache_ = root_ + "/home/Documents/Quellmoor/cache/";
    fs::create_directories(program_folder_);
    fs::create_directories(cache_);
    fs::create_directories(root_ + "/caller");
    fs::copy_file(g_program, program_folder_ + "/tarnwick");
    environment_ = {"HOME=" + root_ + "/home", "PATH=/usr/bin:/bin"};
  }

  ProgramRun Run(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{program_folder_ + "/tarnwick"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ProgramRun run = RunProgram(argv, environment_, root_ + "/caller");
    EXPECT_EQ(run.errors, "");
    return run;
  }

  std::string Header() { return kBanner + "Current Dir: " + program_folder_ + "\n\n"; }

  void AddPair(const std::string& name, const std::string& character, const std::string& settings) {
    WriteBytes(cache_ + name + ".tmp", character);
    WriteBytes(cache_ + name + "_sc.tmp", settings);
  }

  TempDir dir_;
  std::string root_;
  std::string program_folder_;
  std::string cache_;
  std::vector<std::string> environment_;
};

TEST_F(EndToEndTest, ScanConvertsEveryPairInTheCacheFolder) {
  AddPair("Alice@Server1", CharacterFile(0x0010000000000001), SettingsFile("<ui><w x=\"1\"/></ui>"));
  AddPair("Bob@Server1", CharacterFile(77, 19, 45), SettingsFile("<ui>\xE5\xB8\x83</ui>"));
  AddPair("\xE5\xBC\xA0\xE4\xB8\x89@\xE6\x9C\x8D", CharacterFile(5), SettingsFile("<ui>cjk</ui>"));
  AddPair("Bad@Server1", CharacterFile(6), SettingsFile("<ui>\xC0\xAF</ui>"));
  AddPair("Far@Server1", CharacterFile(0x0011000000000000), SettingsFile("<ui/>"));
  AddPair("Short@Server1", std::string(36, '\x13'), SettingsFile("<ui/>"));
  AddPair("None@Server1", CharacterFile(8), "no block here");
  WriteBytes(cache_ + "Lone@Server1_sc.tmp", SettingsFile("<ui/>"));
  WriteBytes(cache_ + "Upper@Server1_SC.TMP", SettingsFile("<ui/>"));
  WriteBytes(cache_ + "unrelated.txt", "x");
  fs::create_directories(cache_ + "folder_sc.tmp");
  WriteBytes(program_folder_ + "/ui.6.xml", "an earlier layout");
  fs::create_directories(program_folder_ + "/ui.8.xml");
  AddPair("Blocked@Server1", CharacterFile(8), SettingsFile("<ui/>"));

  const ProgramRun run = Run({});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output,
            Header() +
                "[SUCCESS] \"" + cache_ + "Alice@Server1_sc.tmp\" >> \".\\ui.4503599627370497.xml\".\n"
                "[ERROR] \"<ui>\" block in \"" + cache_ + "Bad@Server1_sc.tmp\" is not valid UTF-8.\n"
                "[ERROR] Failed to create ui.####.xml for \"" + cache_ + "Blocked@Server1_sc.tmp\".\n"
                "[SUCCESS] \"" + cache_ + "Bob@Server1_sc.tmp\" >> \".\\ui.77.xml\".\n"
                "[WARNING] charID out of range in \"" + cache_ + "Far@Server1_sc.tmp\".\n"
                "[WARNING] Cannot open \"" + cache_ + "Lone@Server1.tmp\", unable to extract character ID.\n"
                "[ERROR] \"<ui>\" not found in \"" + cache_ + "None@Server1_sc.tmp\".\n"
                "[WARNING] \"" + cache_ + "Short@Server1.tmp\" size too small, unable to extract character ID.\n"
                "[ERROR] \"" + cache_ + "Upper@Server1_SC.TMP\" file name incorrect.\n"
                "[SUCCESS] \"" + cache_ + "\xE5\xBC\xA0\xE4\xB8\x89@\xE6\x9C\x8D_sc.tmp\" >> \".\\ui.5.xml\".\n"
                "\nDone! File(s) Processed: 3\n" + kPause);
  EXPECT_EQ(ListFolder(program_folder_),
            "tarnwick ui.4503599627370497.xml ui.5.xml ui.6.xml ui.77.xml ui.8.xml");
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.4503599627370497.xml"),
            Utf16Of("<ui><w x=\"1\"/></ui>"));
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.77.xml"),
            "\xFF\xFE<\0u\0i\0>\0\x03\x5E<\0/\0u\0i\0>\0"s);
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.5.xml"), Utf16Of("<ui>cjk</ui>"));
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.6.xml"), "an earlier layout");
  EXPECT_EQ(ListFolder(program_folder_ + "/ui.8.xml"), "");
}

TEST_F(EndToEndTest, DroppedFilesAreConvertedWithTheirCacheCharacterFiles) {
  AddPair("A@S", CharacterFile(1), SettingsFile("<ui>a</ui>"));
  WriteBytes(root_ + "/drop/B@S_sc.tmp", SettingsFile("<ui>b</ui>"));
  WriteBytes(cache_ + "B@S.tmp", CharacterFile(2));
  WriteBytes(root_ + "/caller/A@S_sc.tmp", SettingsFile("<ui>only beside the caller</ui>"));
  // The first argument is tested from the caller's folder; every later use
  // of an argument comes after the program folder became the working folder.
  const std::string relative = "../home/Documents/Quellmoor/cache/A@S_sc.tmp";
  const ProgramRun run = Run({root_ + "/drop/B@S_sc.tmp", relative, "A@S_sc.tmp", "notes.txt", ""});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output,
            Header() +
                "[SUCCESS] \"" + root_ + "/drop/B@S_sc.tmp\" >> \".\\ui.2.xml\".\n"
                "[SUCCESS] \"" + relative + "\" >> \".\\ui.1.xml\".\n"
                "[ERROR] Cannot open \"A@S_sc.tmp\", unable to extract <ui>.\n"
                "[ERROR] \"notes.txt\" file name incorrect.\n"
                "[ERROR] \"\" file name incorrect.\n"
                "\nDone! File(s) Processed: 2\n" + kPause);
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.2.xml"), Utf16Of("<ui>b</ui>"));
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.1.xml"), Utf16Of("<ui>a</ui>"));
  EXPECT_EQ(ListFolder(program_folder_), "tarnwick ui.1.xml ui.2.xml");
}

TEST_F(EndToEndTest, AMissingFirstArgumentIsRejectedWithTheUsage) {
  AddPair("A@S", CharacterFile(1), SettingsFile("<ui/>"));
  const ProgramRun run = Run({"gone_sc.tmp", cache_ + "A@S_sc.tmp"});
  EXPECT_EQ(run.exit_code, 255);
  EXPECT_EQ(run.output,
            kBanner +
                "[ERROR] File path is not valid: \"gone_sc.tmp\"\n"
                "\nUsage: \n"
                "1. Place Tarnwick.exe in your Quellmoor directory. \n"
                "2. Run it directly or drag CHAR@SERVER_sc.tmp files onto it. \n" +
                kPause);
  EXPECT_EQ(ListFolder(program_folder_), "tarnwick");
}

TEST_F(EndToEndTest, ACacheFolderWithoutSettingsFilesEndsTheScan) {
  WriteBytes(cache_ + "A@S.tmp", CharacterFile(1));
  const ProgramRun empty = Run({});
  EXPECT_EQ(empty.exit_code, 254);
  EXPECT_EQ(empty.output, Header() + "[ERROR] Cannot find any CHAR@SERVER_sc.tmp file in \"" +
                              cache_ + "\".\n" + kPause);

  fs::remove_all(root_ + "/home/Documents");
  const ProgramRun missing = Run({});
  EXPECT_EQ(missing.exit_code, 254);
  EXPECT_EQ(missing.output, empty.output);
}

TEST_F(EndToEndTest, TheDocumentsFolderComesFromTheUserDirsFile) {
  const std::string documents = root_ + "/home/\xE6\x96\x87\xE6\xA1\xA3";
  WriteBytes(root_ + "/home/.config/user-dirs.dirs",
             "XDG_DOCUMENTS_DIR=\"$HOME/\xE6\x96\x87\xE6\xA1\xA3\"\n");
  WriteBytes(documents + "/Quellmoor/cache/A@S.tmp", CharacterFile(3));
  WriteBytes(documents + "/Quellmoor/cache/A@S_sc.tmp", SettingsFile("<ui/>"));
  const ProgramRun run = Run({});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, Header() + "[SUCCESS] \"" + documents +
                            "/Quellmoor/cache/A@S_sc.tmp\" >> \".\\ui.3.xml\".\n"
                            "\nDone! File(s) Processed: 1\n" + kPause);
}

TEST_F(EndToEndTest, WithoutHomeTheRunSaysSoAndGoesOn) {
  environment_ = {"PATH=/usr/bin:/bin"};
  WriteBytes(root_ + "/drop/A@S_sc.tmp", SettingsFile("<ui/>"));
  const ProgramRun run = Run({root_ + "/drop/A@S_sc.tmp"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output,
            Header() +
                "[ERROR] Cannot find the Documents folder, so there is no cache folder to look in.\n"
                "[WARNING] Cannot open \"A@S.tmp\", unable to extract character ID.\n"
                "\nDone! File(s) Processed: 0\n" + kPause);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument.starts_with("--program=")) {
      g_program = fs::absolute(argument.substr(10)).string();
    }
  }
  if (g_program.empty()) {
    std::fprintf(stderr, "usage: %s --program=PATH_TO_TARNWICK\n", argv[0]);
    return 2;
  }
  return RUN_ALL_TESTS();
}
