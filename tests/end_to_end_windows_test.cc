// What only the Windows program meets, run under Wine: the console in code
// page 936, file names it cannot show, files the game client keeps open,
// Ctrl+C while an output is replaced, a Documents folder moved elsewhere, a
// program in the root of a drive or in a very long path.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "convert/decode.h"
#include "end_to_end_fixture.h"
#include "fixtures.h"

namespace fs = std::filesystem;

namespace {

// Whether the UTF-16LE `screen` holds the UTF-8 `text`, on a character
// boundary.
bool ScreenHolds(const std::string& screen, const std::string& text) {
  std::vector<unsigned char> wide(2 * text.size());
  const std::size_t size = DecodeUtf8ToUtf16Le(reinterpret_cast<const unsigned char*>(text.data()),
                                               text.size(), wide.data());
  const std::string needle(reinterpret_cast<const char*>(wide.data()), size);
  for (std::size_t at = screen.find(needle); at != std::string::npos;
       at = screen.find(needle, at + 1)) {
    if (at % 2 == 0) return true;
  }
  return false;
}

// The rows of the UTF-16LE `screen` that console_screen saved, as UTF-8
// without the blanks at their ends, the empty rows at the bottom left out.
// The banner's first two rows tell the screen's width.
std::vector<std::string> ScreenRows(const std::string& screen) {
  std::u16string units(screen.size() / 2, u' ');
  for (std::size_t k = 0; k < units.size(); ++k) {
    units[k] = static_cast<char16_t>(static_cast<unsigned char>(screen[2 * k]) |
                                     static_cast<unsigned char>(screen[2 * k + 1]) << 8);
  }
  const std::size_t banner = units.find(u"=====");
  const std::size_t second = units.find(u" Tarnwick - UI");
  if (banner == std::u16string::npos || second == std::u16string::npos || second <= banner) {
    return {};
  }
  const std::size_t width = second - banner;
  std::vector<std::string> rows;
  for (std::size_t at = 0; at < units.size(); at += width) {
    std::string row;
    for (const char16_t unit : units.substr(at, width)) {
      row += unit < 0x80 ? static_cast<char>(unit) : '#';
    }
    rows.push_back(row.substr(0, row.find_last_not_of(' ') + 1));
  }
  while (!rows.empty() && rows.back().empty()) rows.pop_back();
  return rows;
}

// The lines of `text`, CR LF or LF ended.
std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.ends_with('\r')) line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

class WindowsEndToEndTest : public EndToEndTest {
 protected:
  void SetUp() override {
    if (!g_under_test.under_wine) GTEST_SKIP() << "Windows program only";
    EndToEndTest::SetUp();
  }

  // A Windows helper of the tests: they are built side by side.
  static std::string Helper(const std::string& name) {
    return (fs::path(g_under_test.holder).parent_path() / name).string();
  }
};

TEST_F(WindowsEndToEndTest, NamesOutsideCodePage936ShowAsQuestionMarksAndTheRunGoesOn) {
  const std::string cjk = "\xE5\xBC\xA0\xE4\xB8\x89@\xE6\x9C\x8D";  // 张三@服
  const std::string thai = "\xE0\xB8\x81";                          // ก
  const std::string emoji = "\xF0\x9F\x98\x80";                     // 😀, beyond the basic plane
  WriteBytes(root_ + "/drop/" + cjk + "_sc.tmp", SettingsFile("<ui>c</ui>"));
  WriteBytes(cache_ + cjk + ".tmp", CharacterFile(31));
  WriteBytes(root_ + "/drop/" + thai + "/T@S_sc.tmp", SettingsFile("<ui>t</ui>"));
  WriteBytes(cache_ + "T@S.tmp", CharacterFile(32));
  const std::string drop = Shown(root_ + "/drop/");
  const ProgramRun run =
      Run({drop + cjk + "_sc.tmp", drop + thai + "\\T@S_sc.tmp", drop + emoji + "_sc.tmp", "last"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, Console(Header() + "[SUCCESS] \"" + drop + cjk +
                                "_sc.tmp\" >> \".\\ui.31.xml\".\n"
                                "[SUCCESS] \"" +
                                drop +
                                "?\\T@S_sc.tmp\" >> \".\\ui.32.xml\".\n"
                                "[WARNING] Cannot open \"" +
                                cache_shown_ +
                                "?.tmp\", unable to extract character ID.\n"
                                "[ERROR] \"last\" file name incorrect.\n"
                                "\nDone! File(s) Processed: 2\n" +
                                Pause()));
  // The CJK name in code page 936 bytes, whatever the converter above does.
  EXPECT_NE(run.output.find("\\\xD5\xC5\xC8\xFD@\xB7\xFE_sc.tmp\""), std::string::npos);
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.31.xml"), Utf16Of("<ui>c</ui>"));
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.32.xml"), Utf16Of("<ui>t</ui>"));
}

TEST_F(WindowsEndToEndTest, ASettingsFileTheGameKeepsOpenForWritingIsStillConverted) {
  AddPair("Held@S", CharacterFile(41), SettingsFile("<ui>held</ui>"));
  BackgroundProgram holder({"wine", g_under_test.holder, Shown(cache_ + "Held@S_sc.tmp")},
                           environment_);
  ASSERT_EQ(holder.ReadLine(), "held");
  const ProgramRun run = Run({});
  EXPECT_EQ(holder.Finish(), 0);
  EXPECT_EQ(run.output, Console(Header() + "[SUCCESS] \"" + cache_shown_ +
                                "Held@S_sc.tmp\" >> \".\\ui.41.xml\".\n"
                                "\nDone! File(s) Processed: 1\n" +
                                Pause()));
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.41.xml"), Utf16Of("<ui>held</ui>"));
}

TEST_F(WindowsEndToEndTest, AnOutputFileAnotherProgramKeepsOpenIsLeftAsItWas) {
  AddPair("Out@S", CharacterFile(42), SettingsFile("<ui>new</ui>"));
  WriteBytes(program_folder_ + "/ui.42.xml", "an earlier layout");
  BackgroundProgram holder({"wine", g_under_test.holder, Shown(program_folder_ + "/ui.42.xml")},
                           environment_);
  ASSERT_EQ(holder.ReadLine(), "held");
  const ProgramRun run = Run({});
  EXPECT_EQ(holder.Finish(), 0);
  EXPECT_EQ(run.output,
            Console(Header() + "[ERROR] Failed to create ui.####.xml for \"" + cache_shown_ +
                    "Out@S_sc.tmp\".\n"
                    "\nDone! File(s) Processed: 0\n" +
                    Pause()));
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.42.xml"), "an earlier layout");
  EXPECT_EQ(ListFolder(program_folder_), "Tarnwick.exe ui.42.xml");
}

// Ctrl+C while the output is held open, so that the replace is still trying
// its move: the program must end only once the replace has given up and
// removed its new file.
TEST_F(WindowsEndToEndTest, CtrlCMidReplaceLeavesTheEarlierLayoutAndNoNewFile) {
  AddPair("Ctl@S", CharacterFile(44), SettingsFile("<ui>new</ui>"));
  WriteBytes(program_folder_ + "/ui.44.xml", "an earlier layout");
  const auto holder =
      StartHelper({"wine", g_under_test.holder, Shown(program_folder_ + "/ui.44.xml")}, "held");
  ASSERT_NE(holder, nullptr);
  const auto run = StartHelper(
      {"wine", Helper("press_ctrl_c.exe"), Shown(program_folder_ + "/Tarnwick.exe")}, "started");
  ASSERT_NE(run, nullptr);
  for (int waited_ms = 0; ListFolder(program_folder_).find(".part") == std::string::npos;
       waited_ms += 2) {
    ASSERT_LT(waited_ms, 20000) << "no new file";
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const int exit_code = run->Finish();
  EXPECT_EQ(holder->Finish(), 0);
  // Wine ends a program on Ctrl+C with status 0; one that Ctrl+C missed
  // would wait at its pause, and the helper say 3.
  EXPECT_EQ(exit_code, 0);
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.44.xml"), "an earlier layout");
  EXPECT_EQ(ListFolder(program_folder_), "Tarnwick.exe ui.44.xml");
}

TEST_F(WindowsEndToEndTest, TheCacheFolderIsInTheDocumentsFolderWhereverTheUserMovedIt) {
  const std::string moved = root_ + "/\xE6\x96\x87\xE6\xA1\xA3";  // 文档
  WriteBytes(moved + "/Quellmoor/cache/M@S_sc.tmp", SettingsFile("<ui>moved</ui>"));
  WriteBytes(moved + "/Quellmoor/cache/M@S.tmp", CharacterFile(71));
  const std::string key =
      "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
  const auto set_documents = [&](const std::string& folder) {
    return RunProgram({"wine", "reg", "add", key, "/v", "Personal", "/t", "REG_EXPAND_SZ", "/d",
                       folder, "/f"},
                      environment_, root_)
        .exit_code;
  };
  ASSERT_EQ(set_documents(Shown(moved)), 0);
  const ProgramRun run = Run({});
  // Back to Wine's own setting, for the tests that follow.
  ASSERT_EQ(set_documents("%USERPROFILE%\\Documents"), 0);
  EXPECT_EQ(run.output, Console(Header() + "[SUCCESS] \"" + Shown(moved) +
                                "\\Quellmoor\\cache\\M@S_sc.tmp\" >> \".\\ui.71.xml\".\n"
                                "\nDone! File(s) Processed: 1\n" +
                                Pause()));
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.71.xml"), Utf16Of("<ui>moved</ui>"));
}

// Drive T: of the prefix is mapped to a folder of the test, and the program
// started from a sub-folder of that drive.
TEST_F(WindowsEndToEndTest, AProgramInTheRootOfADriveWritesThere) {
  const fs::path drive_link = fs::path(std::getenv("WINEPREFIX")) / "dosdevices" / "t:";
  ASSERT_FALSE(fs::exists(fs::symlink_status(drive_link))) << "drive T: is taken";
  const std::string drive = root_ + "/drive";
  fs::create_directories(drive + "/sub");
  fs::create_symlink(drive, drive_link);
  fs::copy_file(program_folder_ + "/Tarnwick.exe", drive + "/Tarnwick.exe");
  WriteBytes(drive + "/sub/R@S_sc.tmp", SettingsFile("<ui>root</ui>"));
  WriteBytes(cache_ + "R@S.tmp", CharacterFile(51));

  // The first argument is named from the caller's folder, T:\sub, though
  // the drive root becomes the working folder.
  const ProgramRun run =
      RunProgram({"wine", "T:\\Tarnwick.exe", "R@S_sc.tmp", "T:\\sub\\R@S_sc.tmp"}, environment_,
                 drive + "/sub");
  fs::remove(drive_link);
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, Console(kBanner +
                                "Current Dir: T:\n\n"
                                "[SUCCESS] \"R@S_sc.tmp\" >> \".\\ui.51.xml\".\n"
                                "[SUCCESS] \"T:\\sub\\R@S_sc.tmp\" >> \".\\ui.51.xml\".\n"
                                "\nDone! File(s) Processed: 2\n" +
                                Pause()));
  EXPECT_EQ(ListFolder(drive), "Tarnwick.exe sub ui.51.xml");
  EXPECT_EQ(ReadBytes(drive + "/ui.51.xml"), Utf16Of("<ui>root</ui>"));
}

TEST_F(WindowsEndToEndTest, AProgramFolderBeyondFourHundredCharactersIsUsedWhole) {
  std::string folder = root_;
  while (folder.size() < 450) folder += "/a-rather-long-folder-name";
  fs::create_directories(folder);
  fs::copy_file(g_under_test.program, folder + "/Tarnwick.exe");
  AddPair("L@S", CharacterFile(61), SettingsFile("<ui>long</ui>"));
  const ProgramRun run =
      RunProgram({"wine", folder + "/Tarnwick.exe"}, environment_, root_ + "/caller");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, Console(kBanner + "Current Dir: " + Shown(folder) +
                                "\n\n"
                                "[SUCCESS] \"" +
                                cache_shown_ +
                                "L@S_sc.tmp\" >> \".\\ui.61.xml\".\n"
                                "\nDone! File(s) Processed: 1\n" +
                                Pause()));
  EXPECT_EQ(ReadBytes(folder + "/ui.61.xml"), Utf16Of("<ui>long</ui>"));
}

// On a console the program writes wide text, so names arrive whole, those
// beyond code page 936 too. The console is Wine's, on a terminal of the
// test's own; a helper runs the program in it and then saves what the
// console's screen holds. On the terminal itself Wine shows a character
// beyond the basic plane as two replacement characters, so that one is
// looked for on the screen only.
TEST_F(WindowsEndToEndTest, OnAConsoleEveryNameArrivesWhole) {
  const std::string cjk = "\xE6\x9D\x8E\xE9\x9B\xB7";  // 李雷
  const std::string emoji = "\xF0\x9F\x98\x80";        // 😀
  AddPair(cjk + "@S", CharacterFile(81), SettingsFile("<ui>c</ui>"));
  AddPair(emoji + "@S", CharacterFile(82), SettingsFile("<ui>e</ui>"));
  const std::string console_screen = Helper("console_screen.exe");
  const std::string screen_file = root_ + "/screen";
  const TerminalRun run = RunProgramOnTerminal(
      {"wine", console_screen, Shown(screen_file), Shown(program_folder_ + "/Tarnwick.exe")},
      environment_, root_ + "/caller", {"Press any key", "\r"});
  EXPECT_EQ(run.exit_code, 0) << run.output;
  const std::string screen = ReadBytes(screen_file);
  EXPECT_TRUE(ScreenHolds(
      screen, "[SUCCESS] \"" + cache_shown_ + cjk + "@S_sc.tmp\" >> \".\\ui.81.xml\"."));
  EXPECT_TRUE(ScreenHolds(
      screen, "[SUCCESS] \"" + cache_shown_ + emoji + "@S_sc.tmp\" >> \".\\ui.82.xml\"."));
  EXPECT_TRUE(ScreenHolds(screen, "Done! File(s) Processed: 2"));
  EXPECT_NE(run.output.find("\\" + cjk + "@S_sc.tmp\""), std::string::npos) << run.output;
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.81.xml"), Utf16Of("<ui>c</ui>"));
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.82.xml"), Utf16Of("<ui>e</ui>"));
}

// A pair dated ahead waits one interval, as one saved a moment ago. On a console, the line says
// which file and why while the run waits, and leaves the screen as the same
// run's output to a file would be: line for line, up to the pause.
TEST_F(WindowsEndToEndTest, OnAConsoleAWaitShowsALineThatLeavesNoTrace) {
  AddPair("W@S", CharacterFile(91), SettingsFile("<ui>w</ui>"));
  DateHourAhead(cache_ + "W@S_sc.tmp");
  const std::string waiting_file = root_ + "/waiting";
  const std::string screen_file = root_ + "/screen";
  TerminalScript script{"Press any key", "\r"};
  script.columns = 100;
  const TerminalRun run = RunProgramOnTerminal(
      {"wine", Helper("console_screen.exe"), "--when", "Waiting up to", Shown(waiting_file),
       Shown(screen_file), Shown(program_folder_ + "/Tarnwick.exe")},
      environment_, root_ + "/caller", script);
  EXPECT_EQ(run.exit_code, 0) << run.output;
  const std::vector<std::string> waiting = ScreenRows(ReadBytes(waiting_file));
  ASSERT_FALSE(waiting.empty()) << run.output;
  EXPECT_TRUE(waiting.back().starts_with("Waiting up to ")) << waiting.back();
  EXPECT_TRUE(waiting.back().ends_with("W@S_sc.tmp\": being saved")) << waiting.back();

  const ProgramRun redirected = Run({});
  const std::vector<std::string> lines = LinesOf(redirected.output);
  const std::vector<std::string> rows = ScreenRows(ReadBytes(screen_file));
  const auto closing = std::find(lines.begin(), lines.end(), "Done! File(s) Processed: 1");
  ASSERT_NE(closing, lines.end()) << redirected.output;
  const std::vector<std::string> before_pause(lines.begin(), closing + 1);
  ASSERT_GE(rows.size(), before_pause.size());
  EXPECT_EQ(std::vector<std::string>(rows.begin(), rows.begin() + std::ssize(before_pause)),
            before_pause);
  for (const std::string& row : rows) {
    EXPECT_EQ(row.find("Waiting"), std::string::npos) << row;
  }
}

// Wine enforces no MAX_PATH limit, so the run alone would pass in any path
// form; Wine's trace of the file calls shows the form the program used.
TEST_F(WindowsEndToEndTest, FileCallsOnPathsBeyondMaxPathUseTheExtendedLengthForm) {
  std::string relative = "in";
  while (relative.size() < 300) relative += "/a-rather-long-folder-name";
  const std::string folder = root_ + "/" + relative;
  fs::create_directories(folder + "/game");
  fs::copy_file(g_under_test.program, folder + "/game/Tarnwick.exe");
  WriteBytes(folder + "/caller/L@S_sc.tmp", SettingsFile("<ui>long</ui>"));
  WriteBytes(cache_ + "L@S.tmp", CharacterFile(61));
  WriteBytes(folder + "/game/ui.61.xml", "an earlier layout");
  std::vector<std::string> environment;
  for (const std::string& variable : environment_) {
    if (!variable.starts_with("WINEDEBUG=")) environment.push_back(variable);
  }
  environment.push_back("WINEDEBUG=trace+file");

  // A relative argument whose full path is beyond MAX_PATH (Wine cannot
  // start a program in a working folder that long), into a program folder
  // beyond it.
  const std::string argument = Shown(relative + "/caller/L@S_sc.tmp");
  const ProgramRun run =
      RunProgram({"wine", folder + "/game/Tarnwick.exe", argument}, environment, root_);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, Console(kBanner + "Current Dir: " + Shown(folder + "/game") +
                                "\n\n"
                                "[SUCCESS] \"" +
                                argument +
                                "\" >> \".\\ui.61.xml\".\n"
                                "\nDone! File(s) Processed: 1\n" +
                                Pause()));
  EXPECT_EQ(ReadBytes(folder + "/game/ui.61.xml"), Utf16Of("<ui>long</ui>"));
  EXPECT_EQ(ListFolder(folder + "/game"), "Tarnwick.exe ui.61.xml");

  // The trace doubles each backslash: \\\\?\\Z:\\... stands for \\?\Z:\...
  std::istringstream trace(run.errors);
  int long_path_calls = 0;
  for (std::string line; std::getline(trace, line);) {
    const bool file_call =
        line.find(":trace:file:CreateFileW L\"") != std::string::npos ||
        line.find(":trace:file:GetFileAttributesW L\"") != std::string::npos ||
        line.find(":trace:file:MoveFileWithProgressW (L\"") != std::string::npos ||
        line.find(":trace:file:DeleteFileW L\"") != std::string::npos;
    if (!file_call || line.find("a-rather-long-folder-name") == std::string::npos) continue;
    ++long_path_calls;
    EXPECT_NE(line.find("L\"\\\\\\\\?\\\\Z:"), std::string::npos) << line;
  }
  // The argument's test, the settings file, the new output file and its
  // rename over the earlier one.
  EXPECT_GE(long_path_calls, 4);
}

}  // namespace
