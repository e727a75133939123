// The pause on a real terminal (the Linux program): whatever key, signal or
// job control meets it, the terminal is left as the program found it, and
// only a terminal that is the program's own is touched at all.

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
