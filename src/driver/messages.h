#pragma once

#include "base/native_text.h"
#include "convert/pair_queue.h"
#include "platform/live_line.h"

// The run driver's own console texts, line ends included. The per-file
// status lines live with the conversion (convert/report.h). Paths, and the
// system's reasons, show control characters as '?' (ShownPath).

/// The three banner lines printed first in every run.
NativeString BannerText();

/// The rejection of a first argument that names nothing, and the usage.
NativeString RejectionText(const NativeString& argument);

/// "Current Dir: " and the program folder, then an empty line.
NativeString CurrentDirText(const NativeString& program_folder);

/// Said when the executable's own folder cannot be told, and why.
NativeString NoProgramFolderText(const NativeString& reason);

/// Said when the user's Documents folder cannot be found, and why.
NativeString NoDocumentsFolderText(const NativeString& reason);

/// A settings-file path whose name holds no "_sc.tmp" marker.
NativeString FileNameIncorrectText(const NativeString& path);

/// The scan's cache folder cannot be enumerated, or holds no settings file.
NativeString NoSettingsFilesText(const NativeString& cache_folder);

/// Said when the run cannot go on for want of memory, in the system's words.
NativeString OutOfMemoryText(const NativeString& reason);

/// The closing line with the number of files converted.
NativeString ClosingText(unsigned processed_count);

/// The live line while the run waits: which file, why, for how many more
/// seconds at most, and how many others wait.
LiveLine WaitingLine(const QueueWait& wait);
