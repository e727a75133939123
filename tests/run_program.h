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
/// `input` on standard input, and waits for it to end.
ProgramRun RunProgram(const std::vector<std::string>& argv,
                      const std::vector<std::string>& environment,
                      const std::string& working_directory,
                      const std::string& input = "");
