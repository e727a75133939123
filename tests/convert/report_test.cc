#include "convert/report.h"

#include <gtest/gtest.h>

#include "convert/convert.h"
#include "fixtures.h"
#include "string_console.h"
#include "temp_dir.h"

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
        LineCase{-9, "[UNKNOWN] Code: -9\n"}, LineCase{3, "[UNKNOWN] Code: 3\n"}));

TEST(ReportTest, CountsOnlySuccesses) {
  StringConsole console;
  unsigned processed = 0;
  for (ConversionResult result : {0, -1, -6, 0, -7}) {
    ReportResult(result, Native("c"), Native("s"), Native("o"), console, processed);
  }
  EXPECT_EQ(processed, 2u);
  EXPECT_EQ(console.text_, Native("[SUCCESS] \"s\" >> \"o\".\n"
                                  "[WARNING] Cannot open \"c\", unable to extract character ID.\n"
                                  "[ERROR] Failed to create ui.####.xml for \"s\".\n"
                                  "[SUCCESS] \"s\" >> \"o\".\n"
                                  "[ERROR] \"<ui>\" block in \"s\" is not valid UTF-8.\n"));
}

TEST(ReportTest, ProcessFilePairReportsWhatConvertFilePairReturns) {
  StringConsole console;
  unsigned processed = 0;
  NativeString output_name;
  const FilePair pair{Native("no such character file"), Native("no such settings file"),
                      Native("shown"), Native("")};
  EXPECT_EQ(ProcessFilePair(pair, output_name, console, processed), kCannotOpenCharacterFile);
  EXPECT_EQ(processed, 0u);
  EXPECT_TRUE(output_name.empty());
  EXPECT_EQ(console.text_, Native("[WARNING] Cannot open \"no such character file\", unable to "
                                  "extract character ID.\n"));
}

TEST(ReportTest, ControlCharactersInPathsShowAsQuestionMarks) {
  EXPECT_EQ(StatusLine(kConverted, Native("c"), Native("in/\x1B[2JA\r\nB@S_sc.tmp"),
                       Native(".\\ui.7.xml")),
            Native("[SUCCESS] \"in/?[2JA??B@S_sc.tmp\" >> \".\\ui.7.xml\".\n"));
  EXPECT_EQ(
      StatusLine(kCannotOpenCharacterFile, Native("cache/\x07\x7F.tmp"), Native("s"), Native("")),
      Native("[WARNING] Cannot open \"cache/??.tmp\", unable to extract character ID.\n"));
}

class ProcessFilePairTest : public InTempDirTest {};

TEST_F(ProcessFilePairTest, OpensOnePathShowsTheOtherAndWritesIntoTheOutputFolder) {
  WriteBytes("cache/A.tmp", CharacterFile(7));
  WriteBytes("full/A_sc.tmp", SettingsFile("<ui>a</ui>"));
  WriteBytes("A_sc.tmp", "not the file to open");
  std::filesystem::create_directory("out");
  const FilePair pair{Native("cache/A.tmp"), Native("full/A_sc.tmp"), Native("A_sc.tmp"),
                      Native("out")};
  StringConsole console;
  unsigned processed = 0;
  NativeString output_name;
  EXPECT_EQ(ProcessFilePair(pair, output_name, console, processed), kConverted);
  EXPECT_EQ(console.text_, Native("[SUCCESS] \"A_sc.tmp\" >> \".\\ui.7.xml\".\n"));
  EXPECT_EQ(ReadBytes("out/ui.7.xml"), Utf16Of("<ui>a</ui>"));
  EXPECT_EQ(ListFolder("."), "A_sc.tmp cache full out");
}

}  // namespace
