// Output files that a player or an earlier run left in the program folder:
// a layout made read-only, new files of runs that were ended mid-way.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "end_to_end_fixture.h"
#include "fixtures.h"

namespace fs = std::filesystem;

namespace {

TEST_F(EndToEndTest, AReadOnlyLayoutIsLeftAsItWas) {
  AddPair("Kept@S", CharacterFile(7), SettingsFile("<ui>new</ui>"));
  AddPair("Next@S", CharacterFile(8), SettingsFile("<ui>next</ui>"));
  const std::string kept = program_folder_ + "/ui.7.xml";
  WriteBytes(kept, "a layout the player keeps");
  const fs::perms read_only =
      fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
  fs::permissions(kept, read_only);

  const ProgramRun run = Run({});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output,
            Console(Header() + "[ERROR] Failed to create ui.####.xml for \"" + cache_shown_ +
                    "Kept@S_sc.tmp\".\n"
                    "[SUCCESS] \"" +
                    cache_shown_ +
                    "Next@S_sc.tmp\" >> \".\\ui.8.xml\".\n"
                    "\nDone! File(s) Processed: 1\n" +
                    Pause()));
  EXPECT_EQ(ReadBytes(kept), "a layout the player keeps");
  EXPECT_EQ(fs::status(kept).permissions() & fs::perms::owner_write, fs::perms::none);
  EXPECT_EQ(ListFolder(program_folder_), ProgramName() + " ui.7.xml ui.8.xml");
}

// No process has the number 2147483644: Linux counts to 4194304 at most,
// and Windows refuses it as no such process.
TEST_F(EndToEndTest, NewFilesOfEndedRunsAreRemovedAndNothingElse) {
  AddPair("A@S", CharacterFile(1), SettingsFile("<ui>a</ui>"));
  const std::string left_over[] = {"ui.7.xml.2147483644-0.part", "ui.-1.xml.2147483644-12.part"};
  const std::string others[] = {"ui.7.xml.2147483644-0.part.bak", "ui.7.xml.2147483644.part",
                                "ui.7.xml.2147483644-0.PART",     "xui.7.xml.2147483644-0.part",
                                "ui.x.xml.2147483644-0.part",     "ui.7.xml.0-0.part",
                                "ui.7.xml.2147483644-0-1.part",   "ui..xml.2147483644-0.part"};
  for (const std::string& name : left_over) WriteBytes(program_folder_ + "/" + name, "cut short");
  for (const std::string& name : others) WriteBytes(program_folder_ + "/" + name, "not ours");
  fs::create_directories(program_folder_ + "/ui.8.xml.2147483644-0.part");
  std::string expected = ProgramName();
  if (!g_under_test.under_wine) {
    // Process 1 always runs: its new file may still become a layout.
    WriteBytes(program_folder_ + "/ui.9.xml.1-0.part", "still being written");
  }

  const ProgramRun run = Run({});
  EXPECT_EQ(run.exit_code, 0);
  for (const std::string& name : left_over) {
    EXPECT_FALSE(fs::exists(program_folder_ + "/" + name)) << name;
  }
  for (const std::string& name : others) {
    EXPECT_EQ(ReadBytes(program_folder_ + "/" + name), "not ours") << name;
  }
  EXPECT_TRUE(fs::is_directory(program_folder_ + "/ui.8.xml.2147483644-0.part"));
  if (!g_under_test.under_wine) {
    EXPECT_EQ(ReadBytes(program_folder_ + "/ui.9.xml.1-0.part"), "still being written");
  }
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.1.xml"), Utf16Of("<ui>a</ui>"));
}

// A virus scanner or an indexer holds a new file for a moment: here another
// program holds the output until well after the new file shows, so that the
// first move is refused, and lets go well before the program, trying again
// for about a second, would give up.
TEST_F(EndToEndTest, AnOutputHeldForAMomentIsStillReplaced) {
  if (!g_under_test.under_wine) GTEST_SKIP() << "Windows program only";
  AddPair("Held@S", CharacterFile(43), SettingsFile("<ui>new</ui>"));
  WriteBytes(program_folder_ + "/ui.43.xml", "an earlier layout");
  BackgroundProgram holder({"wine", g_under_test.holder, Shown(program_folder_ + "/ui.43.xml")},
                           environment_);
  ASSERT_EQ(holder.ReadLine(), "held");
  std::atomic<bool> run_ended = false;
  std::thread letting_go([&] {
    while (!run_ended && ListFolder(program_folder_).find(".part") == std::string::npos) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    holder.Finish();
  });
  const ProgramRun run = Run({});
  run_ended = true;
  letting_go.join();
  EXPECT_EQ(run.output, Console(Header() + "[SUCCESS] \"" + cache_shown_ +
                                "Held@S_sc.tmp\" >> \".\\ui.43.xml\".\n"
                                "\nDone! File(s) Processed: 1\n" +
                                Pause()));
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.43.xml"), Utf16Of("<ui>new</ui>"));
  EXPECT_EQ(ListFolder(program_folder_), ProgramName() + " ui.43.xml");
}

}  // namespace
