#pragma once

#include <cstddef>
#include <string>
#include <vector>

/// libraryfolders.vdf files larger than this are not read.
inline constexpr std::size_t kMaxLibraryFoldersSize = 1024 * 1024;

/// The Documents folders of the Windows users inside the Wine and Proton
/// prefixes of the user whose home folder is `home` (absolute), in the
/// order to look in them: each user of `wine_prefix` (when absolute), of
/// ~/.wine, of every Proton prefix in every Steam library, then of every
/// Bottles bottle and Lutris game folder; users, app IDs and bottles in
/// byte order. Folders are named as found; links are not resolved.
std::vector<std::string> PrefixDocumentsFolders(const std::string& home,
                                                const std::string& wine_prefix);
