#pragma once

#include <optional>
#include <string>
#include <string_view>

/// The folder that the XDG_DOCUMENTS_DIR line of a user-dirs.dirs file
/// names, with "$HOME" expanded to `home`. Nothing when no line names one;
/// a value that is neither absolute nor under "$HOME", or holds a NUL byte,
/// names none.
std::optional<std::string> DocumentsFolderFromUserDirs(std::string_view contents,
                                                       std::string_view home);
