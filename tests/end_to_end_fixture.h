#pragma once

// The end-to-end suite runs against the Linux program, or against the
// Windows program under Wine. This fixture hides the difference: where the
// files go, how paths look to the program, and which bytes reach the console.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "run_program.h"
#include "temp_dir.h"

/// The program under test, from the command line of the test binary.
struct ProgramUnderTest {
  std::string program;               ///< The built program.
  bool under_wine = false;           ///< A Windows program, run by wine.
  std::string holder;                ///< Windows helper that keeps a file open.
  std::string linux_program;         ///< Beside the Windows program: the Linux build.
  std::string wine_documents;        ///< The Wine prefix's Documents folder...
  std::string wine_documents_shown;  ///< ...and its name for the program.
};

extern ProgramUnderTest g_under_test;

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  /// Runs the program from the caller folder; the arguments are given as
  /// the program sees them (see Shown). Nothing may reach standard error.
  ProgramRun Run(const std::vector<std::string>& arguments);

  /// As Run, but the program is killed once it has run for `seconds`, so
  /// that a hang fails the test instead of holding up the whole suite.
  ProgramRun RunWithin(int seconds, const std::vector<std::string>& arguments);

  /// A path as the program sees it: the same on Linux; on Windows with
  /// backslashes, and an absolute one on drive Z:, which Wine maps to "/".
  std::string Shown(const std::string& path) const;

  /// The console bytes for UTF-8 `text`: the same on Linux; on Windows in
  /// code page 936 with CR LF line ends.
  std::string Console(const std::string& text) const;

  /// The banner and the "Current Dir: " line for the program folder.
  std::string Header() const;

  /// What the pause leaves on the console when standard input is empty.
  std::string Pause() const;

  /// The program's file name in its folder.
  std::string ProgramName() const;

  void AddPair(const std::string& name, const std::string& character, const std::string& settings);

  /// Starts a helper beside the program under test and waits for its first
  /// line, `ready`, which it says once it has done its part (holds a file
  /// open, has started the program). A helper that ends without a word did
  /// nothing: Wine may fail to start a program at all on a busy machine, so
  /// it is started anew, three times at most. Null, with a failure that
  /// tells what it said, when it never says `ready`.
  std::unique_ptr<BackgroundProgram> StartHelper(const std::vector<std::string>& argv,
                                                 const std::string& ready);

  /// Runs the program as Run does, through the command `starter` first.
  ProgramRun RunStartedBy(std::vector<std::string> starter,
                          const std::vector<std::string>& arguments);

  TempDir dir_;
  std::string root_;
  std::string program_folder_;
  std::string documents_;  ///< Where the files go...
  std::string cache_;
  std::string cache_shown_;  ///< ...and how the program names the cache folder.
  std::vector<std::string> environment_;
};

/// Dates the last write of `path` itself (not of what a link names) an hour
/// back, long enough for a leftover. Its change time, which no call sets
/// back, becomes now.
void MakeHourOld(const std::string& path);

/// Dates the last write of `path` an hour ahead, as a machine whose clock
/// runs ahead would: however long the program takes to start, the file is
/// read twice, the settle interval apart.
void DateHourAhead(const std::string& path);

/// Skips a test of what only the Linux program has.
#define SKIP_UNDER_WINE() \
  if (g_under_test.under_wine) GTEST_SKIP() << "Linux program only"
