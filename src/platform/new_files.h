#pragma once

#include "base/native_text.h"

// The new files that the output replace writes beside each output before it
// renames them into place: those under way, and those that ended runs left.

/// How many new files may be under way at once: the replace commits its
/// group of new files before it holds more.
inline constexpr int kMaxNewFilesUnderWay = 1024;

/// Called once the new file at `path` exists, by the thread that made it,
/// which holds it (a lock, an open handle) until it is renamed or removed.
/// On POSIX its name is kept, so that a signal that ends the program removes
/// it; on Windows the console event that ends the program waits until every
/// new file under way is gone.
void NewFileMade(const NativeString& path);

/// Called once the new file at `path` was renamed into place or removed.
void NewFileGone(const NativeString& path);

#ifdef _WIN32
/// Waits until no new file is under way, and keeps any other from being
/// made: the program is about to end on a console event. Called on the
/// console event's own thread.
void WaitForNewFileToGo();
#else
/// Removes every new file that is under way: the program is about to end on
/// a signal. Safe in a signal handler.
void RemoveNewFiles();
#endif

/// A new file not written to for this long may be a leftover. Writing and
/// flushing even a layout of tens of MiB takes seconds on a slow disk, so a
/// writer that the other signs miss (one between making its file and locking
/// it, or the other build's, whose lock or open handle this one cannot see)
/// has long renamed its file by then; yet a run that was ended mid-way is
/// cleaned up by any run a few minutes later.
inline constexpr long kLeftoverAgeSeconds = 10 * 60;

/// Removes from `folder` the new files that a replace left behind when its
/// program was ended before it could remove them: regular files whose names
/// `is_new_file_name` accepts, not written to for kLeftoverAgeSeconds, and
/// that no writer holds: on POSIX no open file description lock is held on
/// them, on Windows no open handle refuses their removal. Process numbers
/// play no part: they tell nothing across PID namespaces, nor between the
/// Linux build and the Windows one under Wine. On a network share the age
/// is judged by the file server's clock, not this machine's. A run of the
/// other build that is held mid-replace (stopped, not ended) for longer than
/// kLeftoverAgeSeconds can lose its new file, and that pair then fails with
/// its earlier output kept.
void RemoveLeftoverFiles(const NativeString& folder,
                         bool (*is_new_file_name)(const NativeString& name));
