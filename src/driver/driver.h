#pragma once

#include <vector>

#include "base/native_text.h"
#include "platform/platform.h"

/// Exit statuses of a run. Per-file outcomes never change them.
inline constexpr int kExitNormal = 0;
inline constexpr int kExitBadArgument = -1;
inline constexpr int kExitNoSettingsFiles = -2;
inline constexpr int kExitOutOfMemory = -3;

/// Runs the program once: the banner, the argument test, the program and
/// cache folders, then the cache folder scan (no `arguments`) or the
/// conversion of every settings file in `arguments`, the closing count and
/// the pause. Returns the exit status.
int RunTarnwick(const std::vector<NativeString>& arguments, Platform& platform);
