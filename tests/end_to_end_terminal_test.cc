// The pause on a real terminal (the Linux program): whatever key, signal or
// job control meets it, the terminal is left as the program found it, and
// only a terminal that is the program's own is touched at all. The line that
// says what a run waits for shows on a terminal only, and leaves nothing.

#include <gtest/gtest.h>

#include <clocale>
#include <cwchar>
#include <string>
#include <vector>

#include "end_to_end_fixture.h"
#include "fixtures.h"

namespace {

// As the terminal passes text on: each line end becomes CR LF.
std::string ThroughTerminal(const std::string& text) {
  std::string crlf;
  for (char c : text) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  return crlf;
}

const std::string kClosing = ThroughTerminal(Closing(1));

class TerminalTest : public EndToEndTest {
 protected:
  void SetUp() override {
    SKIP_UNDER_WINE();
    EndToEndTest::SetUp();
    AddPair("A@S", CharacterFile(1), SettingsFile("<ui/>"));
  }

  TerminalRun RunOnTerminal(const TerminalScript& script) {
    return RunProgramOnTerminal({program_folder_ + "/" + ProgramName()}, environment_,
                                root_ + "/caller", script);
  }
};

struct KeyCase {
  std::string name;
  std::string key;
};

class KeyAtThePause : public TerminalTest, public ::testing::WithParamInterface<KeyCase> {};

// Ctrl+C must not kill the program mid-way; flow control would swallow
// Ctrl+S and Ctrl+Q; the rest of an arrow key's sequence would be read by the
// shell. The key is not echoed.
TEST_P(KeyAtThePause, EndsItAndLeavesNothingForTheShell) {
  const TerminalRun run = RunOnTerminal({kPausePrompt, GetParam().key});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_TRUE(run.terminal_restored);
  EXPECT_EQ(run.input_left, "");
  EXPECT_TRUE(run.output.ends_with(kClosing + kPausePrompt + "\r\n")) << run.output;
}

INSTANTIATE_TEST_SUITE_P(Keys, KeyAtThePause,
                         ::testing::Values(KeyCase{"Letter", "q"}, KeyCase{"Enter", "\r"},
                                           KeyCase{"CtrlC", "\x03"}, KeyCase{"ArrowUp", "\x1b[A"},
                                           KeyCase{"F1", "\x1bOP"}, KeyCase{"CtrlS", "\x13"},
                                           KeyCase{"CtrlQ", "\x11"}, KeyCase{"CtrlZ", "\x1a"},
                                           KeyCase{"CtrlBackslash", "\x1c"}),
                         CaseName());

class SignalAtThePause : public TerminalTest, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(SignalAtThePause, SetsTheTerminalBackAndStillEndsTheProgram) {
  const TerminalRun run = RunOnTerminal({kPausePrompt, "", GetParam().signal});
  EXPECT_EQ(run.end_signal, GetParam().signal);
  EXPECT_TRUE(run.terminal_restored);
  EXPECT_TRUE(run.output.ends_with(kClosing + kPausePrompt)) << run.output;
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalAtThePause, ::testing::ValuesIn(kEndingSignals),
                         CaseName());

class StopAtThePause : public TerminalTest, public ::testing::WithParamInterface<SignalCase> {};

// As Ctrl+Z and "fg" in a shell that keeps no terminal settings of its own
// (dash): stopped, the job leaves the shell the terminal as it was; continued,
// it waits for a key as before.
TEST_P(StopAtThePause, GivesTheTerminalBackThenWaitsAgain) {
  TerminalScript script{kPausePrompt, "q", GetParam().signal};
  script.continue_after_stop = true;
  const TerminalRun run = RunOnTerminal(script);
  EXPECT_TRUE(run.restored_while_stopped);
  EXPECT_TRUE(run.raw_after_continue);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_TRUE(run.terminal_restored);
  EXPECT_EQ(run.input_left, "");
  EXPECT_TRUE(run.output.ends_with(kClosing + kPausePrompt + "\r\n")) << run.output;
}

INSTANTIATE_TEST_SUITE_P(Signals, StopAtThePause,
                         ::testing::Values(SignalCase{"TerminalStop", SIGTSTP},
                                           SignalCase{"BackgroundRead", SIGTTIN},
                                           SignalCase{"BackgroundWrite", SIGTTOU}),
                         CaseName());

// SIGSTOP, which no handler sees, leaves the terminal as the pause set it,
// and a shell such as bash sets back its own meanwhile. Continued, the pause
// takes its mode again: one key, unechoed, still ends it.
TEST_F(TerminalTest, AStopNoHandlerSeesStillEndsInAPauseForOneKey) {
  TerminalScript script{kPausePrompt, "q", SIGSTOP};
  script.continue_after_stop = true;
  script.shell_sets_terminal_back = true;
  const TerminalRun run = RunOnTerminal(script);
  EXPECT_TRUE(run.raw_after_continue);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_TRUE(run.terminal_restored);
  EXPECT_EQ(run.input_left, "");
  EXPECT_TRUE(run.output.ends_with(kClosing + kPausePrompt + "\r\n")) << run.output;
}

// "setsid tarnwick" from a shell: the terminal is the shell's, not the
// program's, which neither changes it nor reads the shell's keys.
TEST_F(TerminalTest, ARunInASessionOfItsOwnLeavesTheTerminalToTheShell) {
  const TerminalRun run =
      RunProgramOnTerminal({"/usr/bin/setsid", "--wait", program_folder_ + "/" + ProgramName()},
                           environment_, root_ + "/caller", TerminalScript{kPausePrompt, "q"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_TRUE(run.terminal_restored);
  EXPECT_TRUE(run.output.ends_with(kClosing)) << run.output;
}

TEST_F(TerminalTest, ABackgroundRunNeitherTouchesTheTerminalNorWaits) {
  TerminalScript script{kPausePrompt, "q"};
  script.in_background = true;
  const TerminalRun run = RunOnTerminal(script);
  EXPECT_FALSE(run.stopped) << "stopped by the terminal";
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_TRUE(run.terminal_restored);
  EXPECT_TRUE(run.output.ends_with(kClosing)) << run.output;
}

// What a terminal `columns` wide shows once it got `bytes`: its rows, each
// without the blanks at its end, and the empty rows at the bottom left out.
// It knows what the program may write: text in UTF-8, CR, LF and the erase
// to the end of the line; anything else shows as a '#'. Wide characters take
// two columns, by the C library's count.
struct Screen {
  std::vector<std::string> rows;
  bool wrapped = false;  ///< Some text ran past the last column.
};

Screen ScreenOf(const std::string& bytes, std::size_t columns) {
  locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
  const locale_t previous = uselocale(utf8);
  std::vector<std::vector<std::string>> cells(1, std::vector<std::string>(columns, " "));
  Screen screen;
  std::size_t row = 0;
  std::size_t column = 0;
  for (std::size_t at = 0; at < bytes.size();) {
    if (bytes.compare(at, 3, "\x1b[K") == 0) {
      for (std::size_t k = column; k < columns; ++k) cells[row][k] = " ";
      at += 3;
      continue;
    }
    const char c = bytes[at];
    if (c == '\r' || c == '\n') {
      column = c == '\r' ? 0 : column;
      if (c == '\n' && ++row == cells.size()) cells.emplace_back(columns, " ");
      ++at;
      continue;
    }
    std::mbstate_t state{};
    wchar_t wide = L'#';
    std::size_t length = std::mbrtowc(&wide, bytes.data() + at, bytes.size() - at, &state);
    if (length == 0 || length > 4 || wide < 0x20) {
      wide = L'#';
      length = 1;
    }
    const std::size_t width = wcwidth(wide) == 2 ? 2 : 1;
    if (column + width > columns) {
      screen.wrapped = true;
      column = 0;
      if (++row == cells.size()) cells.emplace_back(columns, " ");
    }
    cells[row][column] = wide == L'#' ? "#" : bytes.substr(at, length);
    if (width == 2) cells[row][column + 1] = "";
    column += width;
    at += length;
  }
  uselocale(previous);
  freelocale(utf8);
  for (const std::vector<std::string>& line : cells) {
    std::string text;
    for (const std::string& cell : line) text += cell;
    screen.rows.push_back(text.substr(0, text.find_last_not_of(' ') + 1));
  }
  while (!screen.rows.empty() && screen.rows.back().empty()) screen.rows.pop_back();
  return screen;
}

// The output up to the end of the first live line.
std::string UpToFirstLiveLine(const std::string& output) {
  const std::size_t line = output.find("\rWaiting");
  const std::size_t end = line == std::string::npos ? line : output.find("\x1b[K", line);
  return end == std::string::npos ? output : output.substr(0, end + 3);
}

// Every live line the program drew, as drawn.
std::vector<std::string> LiveLines(const std::string& output) {
  std::vector<std::string> lines;
  for (std::size_t at = output.find("\rWaiting"); at != std::string::npos;
       at = output.find("\rWaiting", at + 1)) {
    lines.push_back(output.substr(at + 1, output.find("\x1b[K", at) - at - 1));
  }
  return lines;
}

class WaitLineTest : public TerminalTest {
 protected:
  void SetUp() override {
    TerminalTest::SetUp();
    if (IsSkipped()) return;
    environment_.push_back("TERM=xterm");
    environment_.push_back("LANG=C.UTF-8");
    DateHourAhead(cache_ + "A@S_sc.tmp");
  }

  TerminalRun RunOnTerminalOf(int columns, TerminalScript script = {kPausePrompt, "q"}) {
    script.columns = columns;
    return RunOnTerminal(script);
  }
};

// A pair saved a moment ago (or dated ahead) waits one interval. The terminal shows which
// file, why and for how long at once; the line then goes, also from under a
// status line shorter than itself, and the screen ends as the same run's
// output to a file would leave it.
TEST_F(WaitLineTest, SaysWhatTheRunWaitsForThenLeavesTheScreenAsARedirectedRun) {
  WriteBytes(root_ + "/caller/A@S_sc.tmp", SettingsFile("<ui/>"));
  DateHourAhead(root_ + "/caller/A@S_sc.tmp");
  TerminalScript script{kPausePrompt, "q"};
  script.columns = 80;
  const TerminalRun run =
      RunProgramOnTerminal({program_folder_ + "/" + ProgramName(), "A@S_sc.tmp"}, environment_,
                           root_ + "/caller", script);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_TRUE(run.terminal_restored);
  const Screen waiting = ScreenOf(UpToFirstLiveLine(run.output), 80);
  ASSERT_FALSE(waiting.rows.empty());
  const std::string& line = waiting.rows.back();
  // Under load the first look may end late.
  EXPECT_TRUE(line == "Waiting up to 2 s for \"A@S_sc.tmp\": being saved" ||
              line == "Waiting up to 1 s for \"A@S_sc.tmp\": being saved")
      << line;
  const ProgramRun redirected = Run({"A@S_sc.tmp"});
  EXPECT_EQ(redirected.output, Header() + Success("A@S_sc.tmp", "1") + Closing(1) + Pause());
  const Screen final_screen = ScreenOf(run.output, 80);
  EXPECT_EQ(final_screen.rows, ScreenOf(ThroughTerminal(redirected.output), 80).rows) << run.output;
}

// Ctrl+C during the wait: the line is taken back, the terminal's settings
// are as they were.
TEST_F(WaitLineTest, CtrlCDuringTheWaitLeavesNoLine) {
  const TerminalRun run = RunOnTerminalOf(80, {"\rWaiting", "\x03"});
  EXPECT_EQ(run.end_signal, SIGINT);
  EXPECT_TRUE(run.terminal_restored);
  const Screen screen = ScreenOf(run.output, 80);
  ASSERT_FALSE(screen.rows.empty());
  EXPECT_EQ(screen.rows.back(), "Current Dir: " + program_folder_) << run.output;
}

// Ctrl+Z takes the line back, so that the shell's own text finds the row
// empty; "fg" draws it again at once.
TEST_F(WaitLineTest, AStopTakesTheLineBackAndTheContinueDrawsItAgain) {
  TerminalScript script{"\rWaiting", "q", SIGTSTP};
  script.continue_after_stop = true;
  const TerminalRun run = RunOnTerminalOf(80, script);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_TRUE(run.terminal_restored);
  EXPECT_NE(run.output.find("\r\x1b[K\rWaiting"), std::string::npos) << run.output;
  EXPECT_NE(run.shown_after_continue.find("\rWaiting"), std::string::npos)
      << run.shown_after_continue;
}

// However narrow the terminal and however long or wide the path, the line
// never runs past the last column.
TEST_F(WaitLineTest, NeverWrapsOnANarrowTerminal) {
  const std::string wide_name = "\xE6\x9D\x8E\xE9\x9B\xB7\xE6\x9D\x8E\xE9\x9B\xB7@S";  // 李雷李雷
  for (const int columns : {20, 33, 80}) {
    // Saved anew, so that each run waits.
    AddPair(wide_name, CharacterFile(2), SettingsFile("<ui/>"));
    DateHourAhead(cache_ + wide_name + "_sc.tmp");
    TerminalScript script{kPausePrompt, "q"};
    script.columns = columns;
    const TerminalRun run = RunProgramOnTerminal(
        {program_folder_ + "/" + ProgramName(), cache_ + wide_name + "_sc.tmp"}, environment_,
        root_ + "/caller", script);
    EXPECT_EQ(run.exit_code, 0);
    const std::vector<std::string> lines = LiveLines(run.output);
    EXPECT_FALSE(lines.empty()) << run.output;
    for (const std::string& line : lines) {
      const Screen screen = ScreenOf(line, static_cast<std::size_t>(columns));
      EXPECT_FALSE(screen.wrapped) << columns << ": " << line;
      EXPECT_EQ(screen.rows.size(), 1u) << line;
    }
    if (columns == 80 && !lines.empty()) {
      EXPECT_NE(lines[0].find(wide_name + "_sc.tmp\": being saved"), std::string::npos) << lines[0];
    }
  }
}

// No live line where it could leave a trace: a terminal that cannot move
// its cursor back, or one that does not tell its width; nor on a pipe
// (every other end-to-end test).
TEST_F(WaitLineTest, NothingOnATerminalThatCannotTakeItBack) {
  for (const std::string term : {"TERM=dumb", ""}) {
    std::vector<std::string> environment;
    for (const std::string& variable : environment_) {
      if (!variable.starts_with("TERM=")) environment.push_back(variable);
    }
    if (!term.empty()) environment.push_back(term);
    TerminalScript script{kPausePrompt, "q"};
    script.columns = 80;
    const TerminalRun run = RunProgramOnTerminal({program_folder_ + "/" + ProgramName()},
                                                 environment, root_ + "/caller", script);
    EXPECT_EQ(run.output, ThroughTerminal(Header() + Success(cache_shown_ + "A@S_sc.tmp", "1") +
                                          Closing(1) + kPausePrompt + "\n"))
        << term;
  }
  const TerminalRun untold = RunOnTerminalOf(0);
  EXPECT_EQ(untold.output.find("Waiting"), std::string::npos) << untold.output;
}

}  // namespace
