#include "convert/report.h"

#include <gtest/gtest.h>

#include "convert/conversion_result.h"

namespace {

struct LineCase {
  ConversionResult result;
  const char* expected;
};

class StatusLines : public ::testing::TestWithParam<LineCase> {};

TEST_P(StatusLines, NameTheRightPath) {
  EXPECT_EQ(StatusLine(GetParam().result, Native("cache/Bob@S.tmp"), Native("in/Bob@S_sc.tmp"),
                       Native(".\\ui.7.xml")),
            Native(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Results, StatusLines,
    ::testing::Values(
        LineCase{0, "[SUCCESS] \"in/Bob@S_sc.tmp\" >> \".\\ui.7.xml\".\n"},
        LineCase{-1,
                 "[WARNING] Cannot open \"cache/Bob@S.tmp\", unable to extract character ID.\n"},
        LineCase{-2,
                 "[WARNING] \"cache/Bob@S.tmp\" size too small, unable to extract character ID.\n"},
        LineCase{-3, "[WARNING] charID out of range in \"in/Bob@S_sc.tmp\".\n"},
        LineCase{-4, "[ERROR] Cannot open \"in/Bob@S_sc.tmp\", unable to extract <ui>.\n"},
        LineCase{-5, "[ERROR] \"<ui>\" not found in \"in/Bob@S_sc.tmp\".\n"},
        LineCase{-6, "[ERROR] Failed to create ui.####.xml for \"in/Bob@S_sc.tmp\".\n"},
        LineCase{-7, "[ERROR] \"<ui>\" block in \"in/Bob@S_sc.tmp\" is not valid UTF-8.\n"},
        LineCase{-8, "[ERROR] \"<ui>\" block in \"in/Bob@S_sc.tmp\" is larger than 64 MiB.\n"},
        LineCase{-9,
                 "[ERROR] \"<ui>\" block in \"in/Bob@S_sc.tmp\" is cut short; any earlier "
                 "ui.####.xml is kept.\n"},
        LineCase{-10, "[UNKNOWN] Code: -10\n"}, LineCase{3, "[UNKNOWN] Code: 3\n"}));

TEST(ReportTest, ControlCharactersInPathsShowAsQuestionMarks) {
  EXPECT_EQ(StatusLine(kConverted, Native("c"), Native("in/\x1B[2JA\r\nB@S_sc.tmp"),
                       Native(".\\ui.7.xml")),
            Native("[SUCCESS] \"in/?[2JA??B@S_sc.tmp\" >> \".\\ui.7.xml\".\n"));
  EXPECT_EQ(
      StatusLine(kCannotOpenCharacterFile, Native("cache/\x07\x7F.tmp"), Native("s"), Native("")),
      Native("[WARNING] Cannot open \"cache/??.tmp\", unable to extract character ID.\n"));
}

}  // namespace
