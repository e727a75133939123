#pragma once

#include <cstddef>
#include <string>

/// Reads the whole of the file at `path` into `contents`, as every file the
/// program did not make is read: only a regular file (a link to one counts),
/// opened without blocking, and at most `limit` bytes. False, with
/// `contents` emptied, when there is no such file, it is of another kind, it
/// holds more than `limit` bytes, or reading it fails.
bool ReadSmallFile(const std::string& path, std::size_t limit, std::string& contents);
