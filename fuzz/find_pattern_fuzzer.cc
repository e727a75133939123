// FindPattern against a plain search that tries every position: random
// texts, lengths, start offsets and patterns whose elements run from -128 to
// 255. The text is an exactly sized heap block, so AddressSanitizer stops any
// read past the examined range.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "convert/find_pattern.h"
#include "reference.h"

namespace {

constexpr std::size_t kHeaderSize = 6;
constexpr std::size_t kMaxPatternLength = 16;

void Fail(const char* what, std::int64_t expected, std::int64_t got) {
  std::fprintf(stderr, "%s: expected %lld, got %lld\n", what, static_cast<long long>(expected),
               static_cast<long long>(got));
  std::abort();
}

// Mostly offsets inside the text, sometimes the values at and around the
// bounds, where a wrong comparison shows.
std::uint32_t StartOffset(unsigned selector, std::size_t limit) {
  const std::uint32_t edges[] = {0xFFFFFFFFu,
                                 0x80000000u,
                                 204800,
                                 204799,
                                 static_cast<std::uint32_t>(limit),
                                 static_cast<std::uint32_t>(limit + 1)};
  if (selector >= 0xFFF0) {
    return edges[selector % (sizeof edges / sizeof edges[0])];
  }
  return static_cast<std::uint32_t>(selector % (limit + 2));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kHeaderSize) {
    return 0;
  }
  const std::size_t pattern_length =
      std::min<std::size_t>(data[0] % (kMaxPatternLength + 1), size - kHeaderSize);
  const unsigned unsigned_elements = data[1] | unsigned{data[2]} << 8;
  const unsigned start_selector = data[3] | unsigned{data[4]} << 8;
  const bool at_read_bound = (data[5] & 1) != 0;
  const unsigned slack = data[5] >> 1;

  std::vector<std::int32_t> pattern;
  for (std::size_t k = 0; k < pattern_length; ++k) {
    const std::uint8_t element = data[kHeaderSize + k];
    // The same byte as a signed value (can match) or as 128..255 (never can).
    const bool as_unsigned = ((unsigned_elements >> k) & 1) != 0;
    pattern.push_back(as_unsigned ? element : static_cast<std::int8_t>(element));
  }
  const std::uint8_t* text = data + kHeaderSize + pattern_length;
  const std::size_t text_size = size - kHeaderSize - pattern_length;

  std::size_t block_size = text_size;
  std::size_t length_passed = text_size;
  std::uint32_t start = 0;
  if (at_read_bound) {
    // A full read buffer whose tail repeats the text; the length passed may
    // exceed it, and nothing past the buffer may be read.
    block_size = kReadBufferSize;
    length_passed = kReadBufferSize + slack * 1000;
    start = start_selector >= 0xFFF0
                ? StartOffset(start_selector, kReadBufferSize)
                : static_cast<std::uint32_t>(kReadBufferSize - 1 - start_selector % 64);
  } else {
    // Bytes after the length passed are present but must play no part.
    length_passed = text_size - std::min<std::size_t>(text_size, slack % 8);
    start = StartOffset(start_selector, length_passed);
  }
  std::unique_ptr<unsigned char[]> block(new unsigned char[block_size]);
  if (text_size == 0 || block_size == 0) {
    std::memset(block.get(), 0, block_size);
  } else {
    // The text, then the block's own filled part copied after itself.
    std::size_t filled = std::min(text_size, block_size);
    std::memcpy(block.get(), text, filled);
    while (filled < block_size) {
      const std::size_t copy = std::min(filled, block_size - filled);
      std::memcpy(block.get() + filled, block.get(), copy);
      filled += copy;
    }
  }

  const std::int64_t expected = ReferenceFind(block.get(), length_passed, pattern, start);
  const std::int32_t found = FindPattern(block.get(), length_passed, pattern, start);
  if (found != expected) {
    Fail("FindPattern", expected, found);
  }
  if (!pattern.empty() && BuildFailureTable(pattern) != ReferenceFailureTable(pattern)) {
    Fail("BuildFailureTable differs; pattern length", 0, static_cast<std::int64_t>(pattern.size()));
  }
  return 0;
}
