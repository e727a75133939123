#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

/// How many settings-file bytes are read, and how far the search may look.
inline constexpr std::size_t kReadBufferSize = 204800;

/// Entry k is the length of the longest proper prefix of pattern[0..k] that
/// is also a suffix of it; entry 0 is always 0.
std::vector<std::int32_t> BuildFailureTable(const std::vector<std::int32_t>& pattern);

/// Position of the leftmost occurrence of `pattern` that starts at or after
/// `start` and lies wholly within the first min(size, kReadBufferSize) bytes
/// of `text`, or -1 when there is none. Each text byte compares as a signed
/// 8-bit value, so a pattern element from 128 to 255 never matches.
std::int32_t FindPattern(const unsigned char* text, std::size_t size,
                         std::vector<std::int32_t> pattern, std::uint32_t start);
