#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

/// Paths and console text in the platform's own string type: UTF-16 code
/// units on Windows, bytes elsewhere, so that no file name is ever converted.
using NativeString = std::filesystem::path::string_type;
using NativeChar = NativeString::value_type;

#ifdef _WIN32
inline constexpr NativeChar kPathSeparator = L'\\';
#else
inline constexpr NativeChar kPathSeparator = '/';
#endif

/// Widens ASCII text to the native string type, one character at a time.
inline NativeString Native(std::string_view ascii) {
  return NativeString(ascii.begin(), ascii.end());
}

/// The value in plain decimal: a leading minus when negative, no grouping.
inline NativeString NativeDecimal(std::int64_t value) { return Native(std::to_string(value)); }
