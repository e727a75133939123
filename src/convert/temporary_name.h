#pragma once

#include <cstdint>
#include <optional>

#include "base/native_text.h"

/// The name under which process `pid` writes its `counter`th new output
/// before renaming it to `path`: "<path>.<pid>-<counter>.part". It never
/// looks like a settings file.
NativeString TemporaryNameFor(const NativeString& path, std::uint32_t pid, std::uint32_t counter);

/// The process that wrote the file `name` (a name without folder) when it
/// is exactly such a temporary name of an output, "ui.<ID>.xml.<pid>-<n>.part";
/// nothing for any other name.
std::optional<std::uint32_t> TemporaryFileOwner(const NativeString& name);

/// True when `name` (without folder) is exactly such a temporary name.
bool IsTemporaryName(const NativeString& name);
