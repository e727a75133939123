#pragma once

#include <string>
#include <string_view>
#include <vector>

/// The Steam library folders that a libraryfolders.vdf file names: each
/// "path" value, in the order of the file, without trailing slashes. Only
/// absolute paths count. A broken file gives the paths named before the
/// break.
std::vector<std::string> SteamLibraryPaths(std::string_view vdf);
