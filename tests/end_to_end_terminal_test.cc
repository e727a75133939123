// The pause on a real terminal (the Linux program): whatever key, signal or
// job control meets it, the terminal is left as the program found it.

#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "end_to_end_fixture.h"
#include "fixtures.h"

namespace {

const std::string kPrompt = "Press any key to continue . . . ";
// The terminal turns each line end into CR LF.
const std::string kClosing = "\r\nDone! File(s) Processed: 1\r\n";

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

// Flow control would swallow Ctrl+S and Ctrl+Q; the rest of an arrow key's
// sequence would be read by the shell.
TEST_P(KeyAtThePause, EndsItAndLeavesNothingForTheShell) {
  const TerminalRun run = RunOnTerminal({kPrompt, GetParam().key});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_TRUE(run.terminal_restored);
  EXPECT_EQ(run.input_left, "");
  EXPECT_TRUE(run.output.ends_with(kClosing + kPrompt + "\r\n")) << run.output;
}

INSTANTIATE_TEST_SUITE_P(Keys, KeyAtThePause,
                         ::testing::Values(KeyCase{"ArrowUp", "\x1b[A"}, KeyCase{"F1", "\x1bOP"},
                                           KeyCase{"CtrlS", "\x13"}, KeyCase{"CtrlQ", "\x11"},
                                           KeyCase{"CtrlZ", "\x1a"},
                                           KeyCase{"CtrlBackslash", "\x1c"}),
                         CaseName());

struct SignalCase {
  std::string name;
  int signal;
};

class SignalAtThePause : public TerminalTest, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(SignalAtThePause, SetsTheTerminalBackAndStillEndsTheProgram) {
  const TerminalRun run = RunOnTerminal({kPrompt, "", GetParam().signal});
  EXPECT_EQ(run.end_signal, GetParam().signal);
  EXPECT_TRUE(run.terminal_restored);
  EXPECT_TRUE(run.output.ends_with(kClosing + kPrompt)) << run.output;
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalAtThePause,
                         ::testing::Values(SignalCase{"Interrupt", SIGINT},
                                           SignalCase{"Terminate", SIGTERM},
                                           SignalCase{"HangUp", SIGHUP},
                                           SignalCase{"Quit", SIGQUIT}),
                         CaseName());

TEST_F(TerminalTest, ABackgroundRunNeitherTouchesTheTerminalNorWaits) {
  TerminalScript script{kPrompt, "q"};
  script.in_background = true;
  const TerminalRun run = RunOnTerminal(script);
  EXPECT_FALSE(run.stopped) << "stopped by the terminal";
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_TRUE(run.terminal_restored);
  EXPECT_TRUE(run.output.ends_with(kClosing)) << run.output;
}

}  // namespace
