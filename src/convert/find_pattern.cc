#include "convert/find_pattern.h"

#include <algorithm>
#include <cstring>

namespace {

std::int32_t SignedByte(unsigned char byte) { return static_cast<std::int8_t>(byte); }

}  // namespace

std::vector<std::int32_t> BuildFailureTable(const std::vector<std::int32_t>& pattern) {
  std::vector<std::int32_t> table(pattern.size(), 0);
  std::size_t prefix = 0;
  std::size_t k = 1;
  while (k < pattern.size()) {
    if (pattern[k] == pattern[prefix]) {
      table[k++] = static_cast<std::int32_t>(++prefix);
    } else if (prefix != 0) {
      prefix = static_cast<std::size_t>(table[prefix - 1]);
    } else {
      table[k++] = 0;
    }
  }
  return table;
}

std::int32_t FindPattern(const unsigned char* text, std::size_t size,
                         std::vector<std::int32_t> pattern, std::uint32_t start) {
  const std::size_t limit = std::min(size, kReadBufferSize);
  if (start >= limit) {
    return -1;
  }
  const std::size_t length = pattern.size();
  if (length == 0) {
    return static_cast<std::int32_t>(start);
  }
  // No byte can start the pattern when its first element lies outside the
  // signed byte range.
  if (pattern[0] < -128 || pattern[0] > 127) {
    return -1;
  }
  const std::vector<std::int32_t> failure = BuildFailureTable(pattern);
  const auto first = static_cast<unsigned char>(pattern[0]);
  std::size_t i = start;
  std::size_t j = 0;
  for (;;) {
    if (j == 0) {
      // With no partial match pending, jump straight to the next byte that
      // can begin one; this step is the plain method's run of mismatches.
      const void* hit = std::memchr(text + i, first, limit - i);
      if (hit == nullptr) {
        return -1;
      }
      i = static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - text) + 1;
      j = 1;
    } else if (SignedByte(text[i]) == pattern[j]) {
      ++i;
      ++j;
    } else {
      j = static_cast<std::size_t>(failure[j - 1]);
      continue;
    }
    if (j == length) {
      return static_cast<std::int32_t>(i - length);
    }
    if (i >= limit) {
      return -1;
    }
  }
}
