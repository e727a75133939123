#pragma once

#include <cstddef>

#include "base/native_text.h"

/// Replaces the file at `path` with `size` bytes of `data`: they are written
/// to a new file beside it, flushed to the disk and renamed over it. False on
/// any failure, with `path` left as it was and the new file removed. A
/// read-only file at `path` is never replaced. So that no other run takes
/// the new file for a leftover, it is held while it is written: on POSIX by
/// an open file description lock (F_OFD_SETLK) on all of it, kept until it is
/// renamed or removed; on Windows by a handle that shares nothing, closed
/// just before the move, which the system refuses on a file still open.
bool ReplaceFileContents(const NativeString& path, const void* data, std::size_t size);

/// Who is told of the new file of each ReplaceFileContents: `made` once it
/// exists, with its path; `gone` once it was renamed into place or removed.
/// The run driver points these at what ends the program on a signal or a
/// console event, so that no new file outlives it. Nobody is told by default.
struct NewFileWatch {
  void (*made)(const NativeString& path) = nullptr;
  void (*gone)() = nullptr;
};

/// Sets who is told; called once, before any replace.
void WatchNewFiles(const NewFileWatch& watch);
