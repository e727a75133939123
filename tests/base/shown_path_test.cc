#include "base/shown_path.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "fixtures.h"

namespace {

// UTF-8 text in the platform's own form: bytes, or UTF-16 code units.
NativeString NativeFromUtf8(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end())).native();
}

struct ShownCase {
  std::string name;
  std::string path;   // UTF-8
  std::string shown;  // UTF-8
};

class ShownPaths : public ::testing::TestWithParam<ShownCase> {};

TEST_P(ShownPaths, ShowControlCharactersAsQuestionMarks) {
  EXPECT_EQ(ShownPath(NativeFromUtf8(GetParam().path)), NativeFromUtf8(GetParam().shown));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ShownPaths,
    ::testing::Values(ShownCase{"Plain", "C:\\Games\\A@S_sc.tmp", "C:\\Games\\A@S_sc.tmp"},
                      ShownCase{"ForgedLine", "a\r\n[SUCCESS] b", "a??[SUCCESS] b"},
                      ShownCase{"TitleChange", "\x1B]0;owned\x07x", "?]0;owned?x"},
                      ShownCase{"ScreenClear", "\x1B[2J\x1B[H", "?[2J?[H"},
                      ShownCase{"NulTabDelete", "a\0b\tc\x7F"s, "a?b?c?"},
                      // C1 controls, U+0080 to U+009F: the eight-bit escape U+009B among them.
                      ShownCase{"C1Controls",
                                "\xC2\x80x\xC2\x9B"
                                "2J\xC2\x9F",
                                "?x?2J?"},
                      // Their neighbours and everything beyond stay: U+00A0, é, 上, 😀.
                      ShownCase{"Printable", "\xC2\xA0\xC3\xA9\xE4\xB8\x8A\xF0\x9F\x98\x80 ~",
                                "\xC2\xA0\xC3\xA9\xE4\xB8\x8A\xF0\x9F\x98\x80 ~"},
                      ShownCase{"Empty", "", ""}),
    CaseName());

}  // namespace
