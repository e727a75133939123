#pragma once

#include "base/native_text.h"
#include "convert/conversion_result.h"

/// Where status lines go: the console in the program, a string in tests.
class ConsoleSink {
 public:
  virtual ~ConsoleSink() = default;
  /// Writes `text` and makes it visible at once.
  virtual void Write(const NativeString& text) = 0;
};

/// The status line, line end included, that tells the user about `result`.
/// Control characters in the paths show as '?' (ShownPath).
NativeString StatusLine(ConversionResult result, const NativeString& character_path,
                        const NativeString& settings_path, const NativeString& output_name);

/// One file pair as the driver hands it over.
struct FilePair {
  NativeString character_path;  ///< Opened, and shown as it is.
  NativeString settings_path;   ///< Opened: a dropped file by its full path...
  NativeString settings_shown;  ///< ...shown as the user gave it; empty when as opened.
};
