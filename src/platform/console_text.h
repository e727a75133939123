#pragma once

#include <cstddef>
#include <string_view>

/// The most UTF-16 units the console is handed in one write.
inline constexpr std::size_t kConsoleChunkUnits = 8192;

/// Where a piece of `text` that starts at `start` ends when it may hold at
/// most `limit` units: never between the two halves of a surrogate pair, so
/// a character beyond the basic plane reaches the console whole. A pair that
/// alone exceeds `limit` is not split either. Returns `text.size()` at most.
inline std::size_t ConsoleChunkEnd(std::wstring_view text, std::size_t start, std::size_t limit) {
  if (text.size() - start <= limit) {
    return text.size();
  }
  const std::size_t end = start + limit;
  const bool high_before = text[end - 1] >= 0xD800 && text[end - 1] <= 0xDBFF;
  const bool low_after = text[end] >= 0xDC00 && text[end] <= 0xDFFF;
  if (!high_before || !low_after) {
    return end;
  }
  return end - 1 > start ? end - 1 : end + 1;
}
