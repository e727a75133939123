#include "platform/console_text.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

// U+1F600, one character in two UTF-16 units.
constexpr wchar_t kHigh = 0xD83D;
constexpr wchar_t kLow = 0xDE00;

struct ChunkCase {
  const char* name;
  std::wstring text;
  std::size_t start;
  std::size_t limit;
  std::size_t expected_end;
};

void PrintTo(const ChunkCase& c, std::ostream* out) { *out << c.name; }

class ConsoleChunk : public ::testing::TestWithParam<ChunkCase> {};

TEST_P(ConsoleChunk, EndsBetweenCharacters) {
  const ChunkCase& c = GetParam();
  EXPECT_EQ(ConsoleChunkEnd(c.text, c.start, c.limit), c.expected_end);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConsoleChunk,
    ::testing::Values(
        ChunkCase{"AllFits", L"abcd", 0, 8, 4}, ChunkCase{"ExactlyFits", L"abcd", 0, 4, 4},
        ChunkCase{"PlainCut", L"abcdef", 0, 4, 4}, ChunkCase{"CutAfterStart", L"abcdef", 2, 3, 5},
        ChunkCase{"PairWhole", std::wstring{L'a', L'b', kHigh, kLow, L'c'}, 0, 4, 4},
        ChunkCase{"PairStraddles", std::wstring{L'a', L'b', L'c', kHigh, kLow, L'd'}, 0, 4, 3},
        ChunkCase{"PairStraddlesLater", std::wstring{L'a', L'b', kHigh, kLow, L'c'}, 1, 2, 2},
        ChunkCase{"PairAloneLargerThanLimit", std::wstring{kHigh, kLow, L'a'}, 0, 1, 2},
        ChunkCase{"LoneHighSurrogateCut", std::wstring{L'a', kHigh, L'b', L'c'}, 0, 2, 2},
        ChunkCase{"LowThenHigh", std::wstring{L'a', kLow, kHigh, L'b'}, 0, 2, 2}),
    [](const ::testing::TestParamInfo<ChunkCase>& param) { return param.param.name; });

// The whole text, cut the way the console gets it, at the real chunk size:
// every chunk ends on a whole character and together they are the text.
TEST(ConsoleChunks, PairAtTheChunkBoundaryStaysWhole) {
  std::wstring text(kConsoleChunkUnits - 1, L'x');
  text += kHigh;
  text += kLow;
  text += L"tail";
  std::wstring joined;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = ConsoleChunkEnd(text, start, kConsoleChunkUnits);
    ASSERT_GT(end, start);
    ASSERT_LE(end - start, kConsoleChunkUnits);
    EXPECT_FALSE(text[end - 1] == kHigh) << "chunk ends inside a pair at " << end;
    joined += text.substr(start, end - start);
    start = end;
  }
  EXPECT_EQ(joined, text);
}

}  // namespace
