#pragma once

#include <string>
#include <vector>

/// What a finished program left behind.
struct ProgramRun {
  int exit_code = -1;  ///< As the shell sees it: 0 to 255, or -1 if killed.
  std::string output;  ///< Everything written to standard output.
  std::string errors;  ///< Everything written to standard error.
};

/// Runs `argv` in `working_directory` with exactly `environment` and
/// `input` on standard input, and waits for it to end. A program named
/// without a slash is looked for on the PATH of the test itself.
ProgramRun RunProgram(const std::vector<std::string>& argv,
                      const std::vector<std::string>& environment,
                      const std::string& working_directory, const std::string& input = "");

/// A program left running beside the one under test, e.g. one that keeps a
/// file open. It ends when its standard input closes.
class BackgroundProgram {
 public:
  BackgroundProgram(const std::vector<std::string>& argv,
                    const std::vector<std::string>& environment);
  ~BackgroundProgram();
  BackgroundProgram(const BackgroundProgram&) = delete;
  BackgroundProgram& operator=(const BackgroundProgram&) = delete;

  /// The next line it writes, without the line end; empty once it is gone.
  std::string ReadLine();

  /// Closes its standard input and waits for it; returns its exit status.
  int Finish();

  /// Its process ID, for signals; -1 once it was waited for.
  int pid() const { return pid_; }

  /// Everything it has written to standard error so far.
  std::string Errors() const;

 private:
  int pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  int errors_ = -1;
};

/// What happens to a program on a terminal of its own.
struct TerminalScript {
  std::string prompt;          ///< Once the program shows this...
  std::string key;             ///< ...this is typed,...
  int signal = 0;              ///< ...or, when not 0, this signal is sent to it.
  bool in_background = false;  ///< Started as a background job, as by "program &".
  /// The signal stops the program instead, as a foreground job of a shell;
  /// once stopped, it is continued, and then the key is typed.
  bool continue_after_stop = false;
  /// While the job is stopped, the shell sets the terminal back to the
  /// settings it had before the run, as bash does.
  bool shell_sets_terminal_back = false;
  /// The terminal's width; 0 leaves its size untold, as a new pseudo-terminal's is.
  int columns = 0;
};

/// What a program run on a terminal left behind.
struct TerminalRun {
  int exit_code = -1;                   ///< 0 to 255, or -1 when a signal ended it.
  int end_signal = 0;                   ///< The signal that ended it.
  bool stopped = false;                 ///< The terminal stopped it (and the test then killed it).
  std::string output;                   ///< All it wrote, as the terminal passed it on.
  bool terminal_restored = false;       ///< The terminal's settings are as before the run.
  std::string input_left;               ///< Typed input that it left unread.
  bool restored_while_stopped = false;  ///< The terminal's settings were as before the run then.
  bool raw_after_continue = false;      ///< It read keys one by one again once continued.
  std::string shown_after_continue;     ///< What it wrote within 300 ms of being continued.
};

/// Runs `argv` as RunProgram does, but on a new terminal whose controlling
/// process it is (or a background job of it), and follows `script`. A
/// program that never ends is killed after 20 seconds.
TerminalRun RunProgramOnTerminal(const std::vector<std::string>& argv,
                                 const std::vector<std::string>& environment,
                                 const std::string& working_directory,
                                 const TerminalScript& script);
