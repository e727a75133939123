#pragma once

#include <cstdint>
#include <optional>

#include "base/native_text.h"

// The new files that the output replace writes beside each output before it
// renames them into place: the one under way, and those that ended runs left.

/// Called once the new file at `path` exists, by the thread that made it.
/// On POSIX its name is kept, so that a signal that ends the program removes
/// it; on Windows the console event that ends the program waits until
/// NewFileGone.
void NewFileMade(const NativeString& path);

/// Called once that new file was renamed into place or removed.
void NewFileGone();

#ifdef _WIN32
/// Waits until the new file under way, if any, is renamed or removed, and
/// keeps any other from being made: the program is about to end on a console
/// event. Called on the console event's own thread.
void WaitForNewFileToGo();
#else
/// Removes the new file that is under way, if any: the program is about to
/// end on a signal. Safe in a signal handler.
void RemoveNewFile();
#endif

/// Removes from `folder` the new files that a replace left behind when its
/// program was ended before it could remove them: only names whose writer
/// `writer_of` tells, and whose process no longer runs.
void RemoveLeftoverFiles(const NativeString& folder,
                         std::optional<std::uint32_t> (*writer_of)(const NativeString& name));
