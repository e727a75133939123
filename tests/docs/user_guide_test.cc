// The user guides quote every line the program can print; these tests build
// each line with the program's own code and look for it in both guides.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "convert/conversion_result.h"
#include "convert/report.h"
#include "driver/messages.h"

namespace {

const std::string kCache = "C:\\Users\\you\\Documents\\Quellmoor\\cache\\";
const std::string kSettings = kCache + "Alice@Server1_sc.tmp";
const std::string kCharacter = kCache + "Alice@Server1.tmp";
const std::string kOutput = ".\\ui.4503599627370497.xml";
// The system's reasons, as Windows words them in English.
const std::string kNoSuchFile = "The system cannot find the file specified";

// Every text the program prints, as the guides quote it.
std::vector<std::string> ProgramTexts() {
  std::vector<std::string> texts = {
      BannerText(),
      CurrentDirText("C:\\Games\\Quellmoor"),
      RejectionText("C:\\Downloads\\Alice@Server1_sc.tmp"),
      NoSettingsFilesText(kCache),
      NoDocumentsFolderText(kNoSuchFile),
      NoProgramFolderText("The filename or extension is too long"),
      FileNameIncorrectText("C:\\Downloads\\notes.txt"),
      OutOfMemoryText("Not enough memory resources are available to process this command"),
      ClosingText(2),
  };
  for (ConversionResult result = kConverted; result >= kUiBlockCut; --result) {
    texts.push_back(StatusLine(result, kCharacter, kSettings, kOutput));
  }
  return texts;
}

std::string ReadGuide(const std::string& name) {
  std::ifstream in(std::string(TARNWICK_SOURCE_DIR) + "/docs/" + name, std::ios::binary);
  std::stringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

// The text's lines, blank ones left out (the guides set them apart).
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

class UserGuide : public ::testing::TestWithParam<const char*> {};

TEST_P(UserGuide, QuotesEveryLineOfTheProgram) {
  const std::string guide = ReadGuide(GetParam());
  ASSERT_FALSE(guide.empty()) << GetParam();
  for (const std::string& text : ProgramTexts()) {
    for (const std::string& line : Lines(text)) {
      EXPECT_NE(guide.find("\n" + line + "\n"), std::string::npos)
          << GetParam() << " lacks the line: " << line;
    }
  }
}

// The line shown while the run waits leaves nothing on the screen, but the
// guides show it, whole, for each reason it gives.
TEST_P(UserGuide, QuotesTheLineShownWhileTheRunWaits) {
  const std::string guide = ReadGuide(GetParam());
  constexpr std::int64_t kSecond = 1'000'000'000;
  const QueueWait waits[] = {{kSettings, WaitReason::kYoung, 1'500'000'000, 0, 0},
                             {kSettings, WaitReason::kWriterHolds, 12 * kSecond, 0, 0},
                             {kSettings, WaitReason::kLayoutNotEnded, 13 * kSecond, kSecond, 2}};
  for (const QueueWait& wait : waits) {
    const LiveLine line = WaitingLine(wait);
    const std::string text = line.head + line.path + line.tail;
    EXPECT_NE(guide.find("\n" + text + "\n"), std::string::npos)
        << GetParam() << " lacks the line: " << text;
  }
}

INSTANTIATE_TEST_SUITE_P(Languages, UserGuide,
                         ::testing::Values("user-guide.md", "user-guide.zh-CN.md"));

}  // namespace
