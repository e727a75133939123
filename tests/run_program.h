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

 private:
  int pid_ = -1;
  int input_ = -1;
  int output_ = -1;
};

/// Runs `argv` as RunProgram does, but on a new terminal of its own, and
/// types `key` once the program shows `prompt`. `terminal_restored` tells
/// whether the terminal was back in its usual line mode, with echo and
/// signals, once the program ended.
ProgramRun RunProgramOnTerminal(const std::vector<std::string>& argv,
                                const std::vector<std::string>& environment,
                                const std::string& working_directory, const std::string& prompt,
                                const std::string& key, bool& terminal_restored);
