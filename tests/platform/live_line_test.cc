#include "platform/live_line.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>

namespace {

// UTF-8 text in the platform's own form: bytes, or UTF-16 code units.
NativeString NativeFromUtf8(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end())).native();
}

const std::string kCjk = "\xE6\x9D\x8E";        // 李, two cells
const std::string kEmoji = "\xF0\x9F\x98\x80";  // 😀, two cells, two UTF-16 units

struct FitCase {
  const char* name;
  std::string head;
  std::string path;
  std::string tail;
  std::size_t cells;
  bool ascii_only;
  std::string fitted;  // UTF-8
};

void PrintTo(const FitCase& c, std::ostream* out) { *out << c.name; }

class FitLine : public ::testing::TestWithParam<FitCase> {};

TEST_P(FitLine, FitsTheCellsWithoutSplittingACharacter) {
  const FitCase& c = GetParam();
  const NativeString fitted =
      FitLiveLine({NativeFromUtf8(c.head), NativeFromUtf8(c.path), NativeFromUtf8(c.tail)}, c.cells,
                  c.ascii_only);
  EXPECT_EQ(fitted, NativeFromUtf8(c.fitted));
  EXPECT_LE(CellsOf(fitted), c.cells);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FitLine,
    ::testing::Values(
        FitCase{"WholeWhenItFits", "W \"", "/c/A@S_sc.tmp", "\": x", 40, false,
                "W \"/c/A@S_sc.tmp\": x"},
        FitCase{"ExactlyTheCells", "ab", "cd", "ef", 6, false, "abcdef"},
        // A third of the path's room for its start, the rest for its end.
        FitCase{"PathCutInItsMiddle", "W \"", "/home/player/cache/Alice@Server1_sc.tmp", "\": x",
                28, false, "W \"/home/...rver1_sc.tmp\": x"},
        // Down to a few cells of path; then the line is cut at its end.
        FitCase{"ThenTheLineCutAtItsEnd", "Waiting up to 12 s for \"",
                "/home/player/cache/Alice@Server1_sc.tmp", "\": being saved", 19, false,
                "Waiting up to 12 s "},
        FitCase{"ShortPathKeptWholeBeforeTheTailGoes", "W \"", "A_sc.tmp", "\": being saved", 16,
                false, "W \"A_sc.tmp\": be"},
        FitCase{"ControlCharactersAsQuestionMarks", "W \"", "a\nb\x1b[2Jc\x7F", "\"", 40, false,
                "W \"a?b?[2Jc?\""},
        FitCase{"C1ControlsAsQuestionMarks", "",
                "a\xC2\x9B"
                "b",
                "", 40, false, "a?b"},
        FitCase{"WideCharactersTakeTwoCells", "", kCjk + kCjk + kCjk, "", 5, false, kCjk + kCjk},
        FitCase{"NoWideCharacterCutInHalf", "", "a" + kCjk + kCjk, "", 4, false, "a" + kCjk},
        FitCase{"EmojiBeyondTheBasicPlane", "", kEmoji + "ab", "", 3, false, kEmoji + "a"},
        FitCase{"WidePathCutInItsMiddle", "", kCjk + kCjk + kCjk + kCjk + kCjk + kCjk + kCjk, "",
                12, false, kCjk + "..." + kCjk + kCjk + kCjk},
        FitCase{"AsciiOnlyConsole", "\"", kCjk + "a" + kEmoji, "\"", 40, true, "\"?a?\""},
        FitCase{"NoRoomAtAll", "abc", "d", "e", 0, false, ""}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

#ifndef _WIN32
// Bytes that start no whole UTF-8 character show as one replacement
// character each, one cell; they are never cut apart from what follows.
TEST(FitLine, StrayBytesTakeOneCellEach) {
  EXPECT_EQ(CellsOf("a\xFF\xE6\x9D"
                    "b"),
            5u);
  EXPECT_EQ(FitLiveLine({"", "\xE6\x9D\x8E\xFF", ""}, 3, false), "\xE6\x9D\x8E\xFF");
  EXPECT_EQ(FitLiveLine({"", "\xFFxy", ""}, 2, true), "?x");
}
#endif

struct CellsCase {
  char32_t c;
  std::size_t cells;
};

TEST(CellsOfCodePoint, CountsWideCharactersTwice) {
  for (const CellsCase& c :
       {CellsCase{U'a', 1}, CellsCase{U'\u00E9', 1}, CellsCase{U'\u1100', 2},
        CellsCase{U'\u3000', 2}, CellsCase{U'\u4E0A', 2}, CellsCase{U'\uAC00', 2},
        CellsCase{U'\uFF21', 2}, CellsCase{U'\uFF61', 1}, CellsCase{U'\U0001F600', 2},
        CellsCase{U'\U00020000', 2}, CellsCase{U'\U0003FFFD', 2}, CellsCase{U'\U00040000', 1}}) {
    EXPECT_EQ(CellsOfCodePoint(c.c), c.cells) << static_cast<unsigned>(c.c);
  }
}

}  // namespace
