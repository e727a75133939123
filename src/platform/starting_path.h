#pragma once

#include <optional>
#include <string>

/// The full path of the running program as told by `started_as`, the path it
/// was started by (entry 0 of its command line), for when the system cannot
/// name the program itself. Only a path that holds a '/' names the file: a
/// bare name was looked up in PATH by whoever started the program. A relative
/// path is taken from the working directory, so the answer holds only while
/// that is still the folder the program was started from. Links are followed,
/// as /proc/self/exe follows them. Nothing when the path names no regular
/// file.
std::optional<std::string> ProgramPathFromStartingPath(const std::string& started_as);
