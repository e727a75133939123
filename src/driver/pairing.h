#pragma once

#include <optional>

#include "base/native_text.h"

/// The character-file name paired with a settings-file name: `name` without
/// the "_sc" of its first "_sc.tmp" (letter case counts). Nothing when
/// `name` holds no such marker.
std::optional<NativeString> PairedCharacterName(const NativeString& name);

/// The text after the last path separator of `path`, or all of it.
NativeString BaseName(const NativeString& path);
