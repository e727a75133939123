#include "convert/find_pattern.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "fixtures.h"

namespace {

const std::vector<std::int32_t> kUi{60, 117, 105, 62};

// Searches an exactly sized heap copy of `text`, so that the sanitizer build
// stops a read of even one byte past it. `size` may differ from the text's:
// the caller's length is trusted only up to the read bound.
std::int32_t Find(const std::string& text, std::vector<std::int32_t> pattern = kUi,
                  std::uint32_t start = 0, std::size_t size = std::string::npos) {
  const std::unique_ptr<unsigned char[]> copy(new unsigned char[text.size()]);
  std::copy(text.begin(), text.end(), copy.get());
  return FindPattern(copy.get(), size == std::string::npos ? text.size() : size, std::move(pattern),
                     start);
}

struct SearchCase {
  const char* name;
  std::string text;
  std::int32_t expected;
};

class FindPatternCases : public ::testing::TestWithParam<SearchCase> {};

TEST_P(FindPatternCases, FindsTheLeftmostOccurrence) {
  EXPECT_EQ(Find(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FindPatternCases,
    ::testing::Values(SearchCase{"AtStart", "<ui><a/>", 0},
                      SearchCase{"RestartsOnTheMismatchedByte", "<u<ui>", 2},
                      SearchCase{"DoubledOpeningBracket", "<<ui>", 1},
                      SearchCase{"FirstOfTwo", "xx<ui>yy<ui>", 2},
                      SearchCase{"CutOffAtTheEnd", "abc<ui", -1},
                      SearchCase{"EndsOnTheLastByte", "abc<ui>", 3},
                      SearchCase{"CaseMatters", "<UI>", -1}, SearchCase{"Empty", "", -1},
                      SearchCase{"AfterNulBytes", std::string("\0\0<\0<ui>", 9), 4}),
    CaseName());

TEST(FindPatternTest, StopsAtTheReadBufferBound) {
  std::string text(kReadBufferSize + 16, 'x');
  text.replace(kReadBufferSize - 4, 4, "<ui>");
  EXPECT_EQ(Find(text), static_cast<std::int32_t>(kReadBufferSize - 4));

  text.assign(kReadBufferSize + 16, 'x');
  text.replace(kReadBufferSize - 3, 4, "<ui>");
  EXPECT_EQ(Find(text), -1);

  // The first byte past the bound is never looked at, even when it is there.
  text.assign(kReadBufferSize + 1, 'x');
  text.back() = '<';
  EXPECT_EQ(Find(text, {'<'}), -1);
  text.assign(kReadBufferSize, 'x');
  EXPECT_EQ(Find(text, {'<'}, 0, kReadBufferSize + 100), -1);
}

TEST(FindPatternTest, LooksNoFurtherThanTheGivenSize) {
  EXPECT_EQ(Find("ab<ui>", kUi, 0, 5), -1);
  EXPECT_EQ(Find("ab<ui>", kUi, 0, 6), 2);
  EXPECT_EQ(Find("<ui>", kUi, 0, 0), -1);
  EXPECT_EQ(Find("ab<", {'<'}, 0, 2), -1);
  EXPECT_EQ(Find("ab", {'<'}), -1);
}

TEST(FindPatternTest, HonoursTheStartOffset) {
  EXPECT_EQ(Find("<ui><ui>", kUi, 1), 4);
  EXPECT_EQ(Find("<ui><ui>", kUi, 4), 4);
  EXPECT_EQ(Find("<ui><ui>", kUi, 5), -1);
  EXPECT_EQ(Find("<ui>", kUi, 4), -1);
  EXPECT_EQ(Find(std::string(kReadBufferSize + 8, '<'), {'<'},
                 static_cast<std::uint32_t>(kReadBufferSize)),
            -1);
}

TEST(FindPatternTest, ComparesBytesAsSignedValues) {
  const std::string text =
      "a\xBC"
      "b";
  EXPECT_EQ(Find(text, {188}), -1);
  EXPECT_EQ(Find(text, {-68}), 1);
  EXPECT_EQ(Find(text, {'a', -68, 'b'}), 0);
  EXPECT_EQ(Find(text, {'a', 188}), -1);
}

TEST(FindPatternTest, FallsBackThroughPartialMatches) {
  EXPECT_EQ(Find("abababc", {'a', 'b', 'a', 'b', 'c'}), 2);
  EXPECT_EQ(Find("aaab", {'a', 'a', 'b'}), 1);
  EXPECT_EQ(Find("aabaaab", {'a', 'a', 'a', 'b'}), 3);
}

TEST(FindPatternTest, BuildsTheFailureTable) {
  EXPECT_EQ(BuildFailureTable({'a', 'b', 'a', 'b'}), (std::vector<std::int32_t>{0, 0, 1, 2}));
  EXPECT_EQ(BuildFailureTable({'a', 'a', 'a', 'a'}), (std::vector<std::int32_t>{0, 1, 2, 3}));
  EXPECT_EQ(BuildFailureTable(kUi), (std::vector<std::int32_t>{0, 0, 0, 0}));
  EXPECT_EQ(BuildFailureTable({'a', 'a', 'b', 'a', 'a', 'a'}),
            (std::vector<std::int32_t>{0, 1, 0, 1, 2, 2}));
}

}  // namespace
