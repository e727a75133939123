#pragma once

#include <string>
#include <vector>

#include "convert/file_io.h"

/// The files that other processes hold open for writing, as far as this
/// program may look.
struct OpenWriters {
  std::vector<FileIdentity> files;  ///< Sorted.
  bool complete = false;            ///< Every process could be looked at.
};

/// Looks once at what every process holds open (`proc`: the /proc folder).
OpenWriters FindOpenWriters(const std::string& proc = "/proc");

/// kOpen when `file` is among `writers`; kNone when the census was
/// complete; kUnknown otherwise.
WriterCheck WriterOf(const OpenWriters& writers, const FileIdentity& file);
