#pragma once

// Plain, slow and independent versions of what the fuzz targets check, kept
// as close to the definitions as possible so that they are easy to trust.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

/// The position of the leftmost occurrence of `pattern` that starts at or
/// after `start` and ends within the first min(size, 204800) bytes of
/// `text`, each byte taken as a signed 8-bit value; -1 when there is none.
std::int64_t ReferenceFind(const unsigned char* text, std::size_t size,
                           const std::vector<std::int32_t>& pattern, std::uint64_t start);

/// Entry k: the length of the longest proper prefix of pattern[0..k] that
/// is also its suffix, found by trying every length.
std::vector<std::int32_t> ReferenceFailureTable(const std::vector<std::int32_t>& pattern);

/// The code points of well-formed UTF-8 as the Unicode standard defines it
/// (its table of well-formed byte sequences), or nothing for anything else.
std::optional<std::u32string> StrictUtf8CodePoints(const unsigned char* text, std::size_t size);

/// `code_points` (none of them a surrogate) as UTF-8.
std::string Utf8Of(const std::u32string& code_points);

/// `code_points` as UTF-16 code units, two bytes each, low byte first.
std::string Utf16LeOf(const std::u32string& code_points);

/// Whether a "<ui>" block is closed by the end tag of its own element,
/// walked byte by byte through text, comments, CDATA sections, processing
/// instructions and "ui" start tags with their quoted values.
bool ReferenceUiBlockEnded(const std::string& block);
