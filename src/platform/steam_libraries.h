#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

/// At most this many libraries of one libraryfolders.vdf are looked in. Steam
/// makes one per drive a player adds, so a real file names a handful; each
/// costs a look into its Proton prefixes at every run.
inline constexpr std::size_t kMaxSteamLibraries = 256;

/// The Steam library folders that a libraryfolders.vdf file names: each
/// "path" value, in the order of the file, without trailing slashes, up to
/// the first kMaxSteamLibraries of them. Only absolute paths count. A broken
/// file gives the paths named before the break. Time linear in the file.
std::vector<std::string> SteamLibraryPaths(std::string_view vdf);
