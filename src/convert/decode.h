#pragma once

#include <cstddef>
#include <limits>

/// Returned by DecodeUtf8ToUtf16Le for text that is not well-formed UTF-8.
inline constexpr std::size_t kMalformedUtf8 = std::numeric_limits<std::size_t>::max();

/// Decodes well-formed UTF-8 (RFC 3629: no overlong forms, no encoded
/// surrogates, nothing above U+10FFFF, no sequence cut short) and writes each
/// UTF-16 code unit to `out` as two bytes, low byte first. `out` must hold
/// 2 * size bytes, any of which may be overwritten. Returns the number of
/// bytes of output, or kMalformedUtf8.
std::size_t DecodeUtf8ToUtf16Le(const unsigned char* text, std::size_t size, unsigned char* out);
