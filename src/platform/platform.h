#pragma once

#include <functional>
#include <string>

#include "base/native_text.h"
#include "platform/live_line.h"

/// One entry of the cache folder as the enumeration delivers it.
struct CacheEntry {
  NativeString name;  ///< The entry's name, without any folder part.
  bool is_directory = false;
};

/// What the run driver needs of the operating system. The system's own
/// implementation is SystemPlatform(); tests substitute a fake.
class Platform {
 public:
  virtual ~Platform() = default;

  /// Prepares the console for the program's text; failures are ignored.
  virtual void SetUpConsole() = 0;

  /// Writes `text` to the console and flushes it, the live line taken
  /// back first.
  virtual void WriteConsole(const NativeString& text) = 0;

  /// Shows `line`, fitted to the console's width (FitLiveLine), in place of
  /// the live line shown before. Nothing where it could not be taken back
  /// without a trace: output that is no console, a terminal that cannot move
  /// its cursor back or does not tell its width, or one whose foreground is
  /// another job's. An ending signal or console event takes it back too.
  virtual void ShowLiveLine(const LiveLine&) {}

  /// Takes the live line back, leaving the cursor where the line began.
  virtual void EraseLiveLine() {}

  /// Full path of the running executable; false when the system cannot
  /// tell, with the system's `reason`.
  virtual bool GetExecutablePath(NativeString& path, NativeString& reason) = 0;

  /// Makes `folder` the working directory; false on failure.
  virtual bool SetWorkingDirectory(const NativeString& folder) = 0;

  /// The user's Documents folder, without a trailing separator; false when
  /// the system cannot name one, with the `reason`.
  virtual bool GetDocumentsFolder(NativeString& folder, NativeString& reason) = 0;

  /// The full path of `path` as named from the working directory; false when
  /// that directory cannot be told.
  virtual bool GetFullPath(const NativeString& path, NativeString& full) = 0;

  /// The folder `relative` (which starts and ends with a separator) in the
  /// user's `documents` folder. Where Windows programs may also run under
  /// Wine or Proton and that folder does not exist, the first one that does
  /// in a Documents folder inside their prefixes; when none does, the one in
  /// `documents` all the same. Windows has just the one Documents folder.
  virtual NativeString FindInDocumentsFolders(const NativeString& documents,
                                              const NativeString& relative) {
    return documents + relative;
  }

  /// True when a file or a folder exists at `path`.
  virtual bool PathExists(const NativeString& path) = 0;

  /// Calls `visit` for each entry of `folder` (which ends in a separator)
  /// whose name ends in "_sc.tmp", letter case ignored, in delivery order.
  /// False, before any call, when the enumeration cannot start: no such
  /// folder, no access, or no match.
  virtual bool ForEachSettingsFile(const NativeString& folder,
                                   const std::function<void(const CacheEntry&)>& visit) = 0;

  /// Prompts for a key press and waits for it; on a terminal the program
  /// does not hold (a background job), does neither.
  virtual void Pause() = 0;

  /// Sets up what signals (console events on Windows) do to the run. An
  /// interrupt, termination or hang-up first sets the terminal back and
  /// leaves no new file of an output replace behind (new_files.h), then ends
  /// the program as it would have. A write beyond the file-size limit fails
  /// instead of ending the program.
  virtual void SetUpSignals() = 0;
};

/// The operating system the program runs on.
Platform& SystemPlatform();

/// Keeps `started_as`, the path the program was started by (entry 0 of its
/// command line). Where the system cannot name the running program, its
/// GetExecutablePath finds it from this path when the path holds a folder.
void RememberStartingPath(const NativeString& started_as);

/// The system's own words for error `code` (an errno value on POSIX, a Win32
/// error code on Windows), without a final period or line end.
NativeString SystemErrorText(unsigned long code);

/// The system's own words for running out of memory.
NativeString OutOfMemoryReason();
