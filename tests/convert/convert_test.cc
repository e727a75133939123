#include "convert/convert.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "convert/find_pattern.h"
#include "convert/pair_queue.h"
#include "fixtures.h"
#include "pretend_clock.h"
#include "settle/quiet_read.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

class ConvertFilePairTest : public InTempDirTest {
 protected:
  // Converts cache/A.tmp with cache/A_sc.tmp from the working directory.
  ConversionResult Convert(const std::string& character, const std::string& settings) {
    WriteBytes("cache/A.tmp", character);
    WriteBytes("cache/A_sc.tmp", settings);
    return ConvertExisting();
  }

  ConversionResult ConvertExisting() {
    output_name_.clear();
    return ConvertFilePair(NativeOf("cache/A.tmp"), NativeOf("cache/A_sc.tmp"), NativeString(),
                           output_name_);
  }

  // Names in the working directory, the inputs' folder left out.
  std::string OutputFolder() {
    fs::remove_all("cache");
    return ListFolder(".");
  }

  NativeString output_name_;
};

TEST_F(ConvertFilePairTest, WritesTheBlockAsUtf16WithByteOrderMark) {
  EXPECT_EQ(Convert(CharacterFile(7), SettingsFile("<ui>A</ui>")), kConverted);
  EXPECT_EQ(output_name_, Native(".\\ui.7.xml"));
  EXPECT_EQ(ReadBytes(NativeOf(OutputPathFor(NativeString(), output_name_))),
            "\xFF\xFE<\0u\0i\0>\0A\0<\0/\0u\0i\0>\0"s);
  EXPECT_EQ(OutputFolder(), "ui.7.xml");
}

TEST_F(ConvertFilePairTest, CarriesMultiByteTextAndLineEnds) {
  ASSERT_EQ(
      Convert(CharacterFile(7), SettingsFile("<ui>\xC3\xA9\xE4\xB8\x8A\r\n\xF0\x9F\x98\x80</ui>")),
      kConverted);
  EXPECT_EQ(ReadBytes("ui.7.xml"),
            "\xFF\xFE<\0u\0i\0>\0\xE9\0\x0A\x4E\r\0\n\0\x3D\xD8\x00\xDE<\0/\0u\0i\0>\0"s);
}

struct IdCase {
  const char* name;
  std::string character_file;
  ConversionResult result;
  const char* output_name;  // on success
};

class CharacterIds : public ConvertFilePairTest, public ::testing::WithParamInterface<IdCase> {};

TEST_P(CharacterIds, AreReadFromTheLayoutsOffset) {
  EXPECT_EQ(Convert(GetParam().character_file, SettingsFile("<ui/><ui>x</ui>")), GetParam().result);
  if (GetParam().result == kConverted) {
    EXPECT_EQ(output_name_, Native(GetParam().output_name));
    EXPECT_EQ(ReadBytes(NativeOf(OutputPathFor(NativeString(), output_name_))),
              Utf16Of("<ui>x</ui>"));
  } else {
    EXPECT_TRUE(output_name_.empty());
    EXPECT_EQ(OutputFolder(), "");
  }
}

std::string LongLayoutWithDecoyAt29() {
  std::string bytes = CharacterFile(42, 19, 45);
  bytes.replace(29, 8, "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF");
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, CharacterIds,
    ::testing::Values(
        IdCase{"Empty", "", kCharacterFileTooShort, nullptr},
        IdCase{"ShortLayout36Bytes", CharacterFile(1, 2, 36), kCharacterFileTooShort, nullptr},
        IdCase{"LongMarker36Bytes", CharacterFile(1, 19, 36), kCharacterFileTooShort, nullptr},
        IdCase{"ShortLayout37Bytes", CharacterFile(5, 2, 37), kConverted, ".\\ui.5.xml"},
        IdCase{"LongLayout37Bytes", std::string(1, '\x13') + CharacterFile(5, 2, 37).substr(1),
               kCharacterFileTooShort, nullptr},
        IdCase{"LongLayout44Bytes", CharacterFile(5, 19, 44), kCharacterFileTooShort, nullptr},
        IdCase{"LongLayout45Bytes", LongLayoutWithDecoyAt29(), kConverted, ".\\ui.42.xml"},
        IdCase{"TrailingBytesIgnored", CharacterFile(9, 2, 4096), kConverted, ".\\ui.9.xml"},
        IdCase{"LargestId", CharacterFile(0x0010FF0000FFFFFF), kConverted,
               ".\\ui.4783975109230591.xml"},
        IdCase{"OneAboveLargest", CharacterFile(0x0010FF0001000000), kCharacterIdOutOfRange,
               nullptr},
        IdCase{"TypicalId", CharacterFile(0x0010000000000001), kConverted,
               ".\\ui.4503599627370497.xml"},
        IdCase{"MostNegative", CharacterFile(0x8000000000000000), kConverted,
               ".\\ui.-9223372036854775808.xml"},
        IdCase{"MinusOne", CharacterFile(0xFFFFFFFFFFFFFFFF), kConverted, ".\\ui.-1.xml"},
        IdCase{"Zero", CharacterFile(0), kConverted, ".\\ui.0.xml"}),
    CaseName());

struct BlockCase {
  const char* name;
  std::string settings_file;
  ConversionResult result;
  std::string block;  // on success, the UTF-8 block that was written
};

class UiBlocks : public ConvertFilePairTest, public ::testing::WithParamInterface<BlockCase> {};

TEST_P(UiBlocks, RunFromTheFirstTagToTheFirstNul) {
  EXPECT_EQ(Convert(CharacterFile(3), GetParam().settings_file), GetParam().result);
  if (GetParam().result == kConverted) {
    EXPECT_EQ(ReadBytes("ui.3.xml"), Utf16Of(GetParam().block));
  } else {
    EXPECT_EQ(OutputFolder(), "");
  }
}

std::string WithTagAt(std::size_t position, std::size_t size) {
  std::string bytes(size, 'x');
  bytes.replace(position, 4, "<ui>");
  return bytes;
}

// The same, with "</ui>" ending at `end`, then a NUL there and more bytes
// after it unless the file ends there.
std::string WithLayoutAt(std::size_t position, std::size_t end, std::size_t size) {
  std::string bytes = WithTagAt(position, size);
  bytes.replace(end - 5, 5, "</ui>");
  if (end < size) bytes[end] = '\0';
  return bytes;
}

// A settings file of `size` bytes that is one ui block from its first byte to
// its last, all ASCII: the output is the largest that so many bytes can give.
std::string BlockOfMarkup(std::size_t size) {
  std::string bytes = "<ui>";
  for (std::size_t k = 0; bytes.size() < size; ++k) {
    bytes += "<w id=\"" + std::to_string(k) + "\" x=\"12\"/>\r\n";
  }
  bytes.resize(size - 20);
  bytes.resize(bytes.rfind('<'), ' ');
  bytes.resize(size - 5, ' ');
  return bytes + "</ui>";
}

INSTANTIATE_TEST_SUITE_P(
    Settings, UiBlocks,
    ::testing::Values(
        BlockCase{"FirstOfTwo", "a<ui>1</ui>\0<ui>2</ui>"s, kConverted, "<ui>1</ui>"},
        BlockCase{"NoNulRunsToTheEnd", "ab<ui>1</ui>tail", kConverted, "<ui>1</ui>tail"},
        BlockCase{"OnlyTheTag", "<ui>", kUiBlockCut, ""},
        BlockCase{"NulRightAfterTheTag", "<ui>\0rest</ui>"s, kUiBlockCut, ""},
        BlockCase{"NulBeforeTheTagIsNoEnd", "\0\0<ui>x</ui>"s, kConverted, "<ui>x</ui>"},
        BlockCase{"TagEndingOnTheFirstReadsLastByte",
                  WithTagAt(kReadBufferSize - 4, kReadBufferSize + 100), kUiBlockCut, ""},
        BlockCase{
            "EndingAtANulPastTheFirstRead",
            WithLayoutAt(kReadBufferSize - 10, kReadBufferSize + 5000, kReadBufferSize + 9000),
            kConverted, "<ui>" + std::string(5001, 'x') + "</ui>"},
        BlockCase{"RunningPastTheFirstReadToTheEnd",
                  WithLayoutAt(kReadBufferSize - 10, kReadBufferSize + 100, kReadBufferSize + 100),
                  kConverted, "<ui>" + std::string(101, 'x') + "</ui>"},
        BlockCase{"FileEndingWithTheFirstRead",
                  WithLayoutAt(kReadBufferSize - 10, kReadBufferSize, kReadBufferSize), kConverted,
                  "<ui>x</ui>"},
        BlockCase{"BlockFillsTheWholeRead", BlockOfMarkup(kReadBufferSize), kConverted,
                  BlockOfMarkup(kReadBufferSize)},
        BlockCase{"TagStraddlingTheFirstReadsEnd",
                  WithTagAt(kReadBufferSize - 3, kReadBufferSize + 100), kUiBlockNotFound, ""},
        BlockCase{"TagBeyondTheFirstRead", WithTagAt(kReadBufferSize, kReadBufferSize + 100),
                  kUiBlockNotFound, ""},
        BlockCase{"NoTag", "<UI>ui<u i>", kUiBlockNotFound, ""},
        BlockCase{"EmptySettingsFile", "", kUiBlockNotFound, ""},
        BlockCase{"NotUtf8", "<ui>\xC3(</ui>", kUiBlockNotUtf8, ""},
        BlockCase{"BadByteAfterTheNulIsIgnored", "<ui>ok</ui>\0\xFF"s, kConverted, "<ui>ok</ui>"},
        BlockCase{"SequenceCutByTheNul", "<ui></ui>\xE4\xB8\0\x8A"s, kUiBlockNotUtf8, ""}),
    CaseName());

TEST_F(ConvertFilePairTest, ACharacterAcrossTheFirstReadsEndStaysWhole) {
  const std::string emoji = "\xF0\x9F\x98\x80";
  for (std::size_t before_the_end = 1; before_the_end < emoji.size(); ++before_the_end) {
    std::string settings(kReadBufferSize - before_the_end - 4, 'x');
    settings += "<ui>" + emoji + "</ui>" + "\0\xFF"s;
    EXPECT_EQ(Convert(CharacterFile(3), settings), kConverted) << before_the_end;
    EXPECT_EQ(ReadBytes("ui.3.xml"), "\xFF\xFE<\0u\0i\0>\0\x3D\xD8\x00\xDE<\0/\0u\0i\0>\0"s)
        << before_the_end;
  }
}

// A block of several MiB takes several reads after the first; its bytes must
// come out in order, whichever read brought them.
TEST_F(ConvertFilePairTest, ABlockOfSeveralMegabytesIsConvertedWhole) {
  std::string block = "<ui>";
  for (int line = 0; block.size() < (5u << 20); ++line) {
    block += "<w n=\"" + std::to_string(line) + "\"/>\n";
  }
  block += "</ui>";
  EXPECT_EQ(Convert(CharacterFile(3), SettingsFile(block)), kConverted);
  EXPECT_TRUE(ReadBytes("ui.3.xml") == Utf16Of(block)) << "the output is not the whole block";
}

TEST_F(ConvertFilePairTest, ABlockOfTheLargestSizeIsConvertedAndOneByteMoreRefused) {
  // "<ui>" at 7, and the file ends with the largest block.
  std::string settings = "header\n" + WithLayoutAt(0, kMaxUiBlockSize, kMaxUiBlockSize);
  EXPECT_EQ(Convert(CharacterFile(3), settings), kConverted);
  EXPECT_EQ(fs::file_size("ui.3.xml"), 2 + 2 * kMaxUiBlockSize);
  EXPECT_TRUE(ReadBytes("ui.3.xml").starts_with(Utf16Of("<ui>xxxx")));

  WriteBytes("ui.3.xml", "an earlier layout");
  for (const std::string& more : {"x"s, "\n\0tail"s, "xxxxx"s}) {
    EXPECT_EQ(Convert(CharacterFile(3), settings + more), kUiBlockTooLarge) << more.size();
    EXPECT_TRUE(output_name_.empty());
  }
  EXPECT_TRUE(ReadBytes("ui.3.xml") == "an earlier layout") << "the earlier layout changed";
  EXPECT_EQ(OutputFolder(), "ui.3.xml");
}

TEST_F(ConvertFilePairTest, TriesTheCharacterFileFirst) {
  EXPECT_EQ(ConvertExisting(), kCannotOpenCharacterFile);
  WriteBytes("cache/A.tmp", CharacterFile(0x0010FF0001000000));
  EXPECT_EQ(ConvertExisting(), kCharacterIdOutOfRange);
  WriteBytes("cache/A.tmp", CharacterFile(1));
  EXPECT_EQ(ConvertExisting(), kCannotOpenSettingsFile);
  EXPECT_TRUE(output_name_.empty());
}

TEST_F(ConvertFilePairTest, FoldersAreNotFiles) {
  fs::create_directories("cache/A.tmp");
  fs::create_directories("cache/A_sc.tmp");
  EXPECT_EQ(ConvertExisting(), kCannotOpenCharacterFile);
  fs::remove("cache/A.tmp");
  WriteBytes("cache/A.tmp", CharacterFile(1));
  EXPECT_EQ(ConvertExisting(), kCannotOpenSettingsFile);
}

TEST_F(ConvertFilePairTest, ReplacesAnEarlierOutputWhole) {
  WriteBytes("ui.7.xml", std::string(5000, 'o'));
  EXPECT_EQ(Convert(CharacterFile(7), SettingsFile("<ui>new</ui>")), kConverted);
  EXPECT_EQ(ReadBytes("ui.7.xml"), Utf16Of("<ui>new</ui>"));
  EXPECT_EQ(OutputFolder(), "ui.7.xml");
}

TEST_F(ConvertFilePairTest, MalformedBlockLeavesAnEarlierOutputAlone) {
  WriteBytes("ui.7.xml", "previous layout");
  EXPECT_EQ(Convert(CharacterFile(7), SettingsFile("<ui>\xED\xA0\x80</ui>")), kUiBlockNotUtf8);
  EXPECT_TRUE(output_name_.empty());
  EXPECT_EQ(ReadBytes("ui.7.xml"), "previous layout");
  EXPECT_EQ(OutputFolder(), "ui.7.xml");
}

TEST_F(ConvertFilePairTest, FolderInTheOutputsPlaceFailsCleanly) {
  fs::create_directories("ui.7.xml/inside");
  EXPECT_EQ(Convert(CharacterFile(7), SettingsFile("<ui/>")), kCannotCreateOutputFile);
  EXPECT_EQ(output_name_, Native(".\\ui.7.xml"));
  EXPECT_EQ(OutputFolder(), "ui.7.xml");
  EXPECT_EQ(ListFolder("ui.7.xml"), "inside");
}

TEST_F(ConvertFilePairTest, SamePairTwiceWritesTheSameFile) {
  EXPECT_EQ(Convert(CharacterFile(7), SettingsFile("<ui>a</ui>")), kConverted);
  EXPECT_EQ(ConvertExisting(), kConverted);
  EXPECT_EQ(ReadBytes("ui.7.xml"), Utf16Of("<ui>a</ui>"));
  EXPECT_EQ(OutputFolder(), "ui.7.xml");
}

// The memory of a pair is kept for the next one: a block that ends with its
// file must not run on into what an earlier, longer file left there, whether
// that one fitted the first read, went past it or went past what is kept.
TEST_F(ConvertFilePairTest, APairSeesNoneOfAnEarlierLongerFile) {
  for (const std::size_t earlier : {std::size_t{3000}, 3 * kReadBufferSize, std::size_t{3} << 20}) {
    ASSERT_EQ(Convert(CharacterFile(7), "\x01<ui>" + std::string(earlier, 'x') + "</ui>"),
              kConverted);
    ASSERT_EQ(Convert(CharacterFile(8), "\x01<ui></ui>"), kConverted) << "after " << earlier;
    EXPECT_EQ(ReadBytes("ui.8.xml"), Utf16Of("<ui></ui>")) << "after " << earlier;
    ASSERT_EQ(Convert(CharacterFile(9), "\x01<ui>" + std::string(1000, 'y') + "</ui>"), kConverted);
    EXPECT_EQ(ReadBytes("ui.9.xml"), Utf16Of("<ui>" + std::string(1000, 'y') + "</ui>"));
  }
}

struct EndCase {
  std::string name;
  std::string block;
  bool ended;
};

class UiBlockEnds : public ::testing::TestWithParam<EndCase> {};

// A layout is ended when the element that its "<ui>" opens is closed, by
// the rules of XML as far as they matter here: a save cut off midway leaves
// it open, whatever follows the cut. A "<" stands in no attribute value of
// well-formed XML, so only the values of "ui" start tags are looked into.
TEST_P(UiBlockEnds, WhenItsOwnElementIsClosed) {
  const std::string& block = GetParam().block;
  const std::vector<unsigned char> bytes(block.begin(), block.end());
  EXPECT_EQ(IsUiBlockEnded(bytes), GetParam().ended);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UiBlockEnds,
    ::testing::Values(
        EndCase{"EndTag", "<ui><a/></ui>", true}, EndCase{"EmptyLayout", "<ui></ui>", true},
        EndCase{"BlankBeforeTheBracket", "<ui>x</ui >", true},
        EndCase{"LineEndBeforeTheBracket", "<ui>x</ui\r\n\t>", true},
        EndCase{"TrailingBlanksAndLineEnds", "<ui>x</ui>\r\n \t\n", true},
        EndCase{"TextAfterTheEnd", "<ui>x</ui>y", true},
        EndCase{"MarkupAfterTheEnd", "<ui>x</ui>\n<other/>", true},
        EndCase{"CutAfterTheEndTag", "<ui>x</ui>\n<oth", true},
        EndCase{"TagCutBeforeItsBracket", "<ui>x</ui", false},
        EndCase{"TagCutShorter", "<ui>x</u", false},
        EndCase{"CutRightAfterAnInnerEnd", "<ui><a><ui>x</ui>", false},
        EndCase{"InnerEndThenMore", "<ui><ui>x</ui><a/>", false},
        EndCase{"NestedElementsClosed", "<ui><ui a=\"1\"><ui>x</ui></ui></ui>", true},
        EndCase{"EmptyInnerElement", "<ui><ui/><ui a='1' /></ui>", true},
        EndCase{"UpperCaseIsAnotherName", "<ui>x</UI>", false},
        EndCase{"UpperCaseStartTagNotCounted", "<ui><UI>x</ui>", true},
        EndCase{"LongerName", "<ui><uix>x</uix>", false},
        EndCase{"OtherEndTag", "<ui>x</xui>", false},
        EndCase{"EndTagWithMore", "<ui>x</ui x>", false},
        EndCase{"EndInAComment", "<ui><!-- </ui> -->", false},
        EndCase{"EndAfterAComment", "<ui><!-- </ui> --></ui>", true},
        EndCase{"CutInAComment", "<ui><!-- x </ui>", false},
        EndCase{"EndInCdata", "<ui><![CDATA[ </ui> ]]>", false},
        EndCase{"EndAfterCdata", "<ui><![CDATA[ </ui> ]]></ui>", true},
        EndCase{"EndInAnInstruction", "<ui><?x </ui> ?>", false},
        EndCase{"EndAfterAnInstruction", "<ui><?x </ui> ?></ui>", true},
        EndCase{"EmptyTagMarkInAQuotedValue", "<ui><ui t=\"/>\"></ui>", false},
        EndCase{"EndAfterQuotedValues", "<ui><ui t=\"/>\" u='</ui>'></ui></ui>", true},
        EndCase{"CutInAQuotedValue", "<ui><ui t='x></ui>", false},
        EndCase{"GreaterThanInAValue", "<ui><a t=\"x>y\"/></ui>", true},
        EndCase{"LessThanAsText", "<ui>a < b</ui>", true},
        EndCase{"CutAtALessThan", "<ui>a<", false}, EndCase{"OnlyTheStartTag", "<ui>", false},
        EndCase{"StartTagThenBlanks", "<ui> \n", false}),
    CaseName());

// On a drive whose times hold still while a file is rewritten (a share, a
// FUSE drive), only the bytes tell two versions apart: every byte that a
// read gives must count, past the first read's bytes too, and those of the
// character file as well as the settings file's.
class TimesHoldingStill : public ConvertFilePairTest {
 protected:
  void SetUp() override {
    ConvertFilePairTest::SetUp();
    saved_facts_ = CurrentFileFacts();
    saved_clock_ = CurrentSettleClock();
    CurrentFileFacts().trust = [](const InputFile&) { return StampTrust::kUntrusted; };
    CurrentFileFacts().stamp = [](const InputFile& file, bool as_opened) {
      FileStamp stamp = as_opened ? file.OpenedStamp() : file.CurrentStamp();
      stamp.modified = stamp.changed = 0;
      return stamp;
    };
    slept_ns_ = 0;
    rewrite_ = nullptr;
    rewrite_at_ns_ = 0;
    CurrentSettleClock().sleep_ns = [](std::int64_t duration) {
      g_pretend_now_ns += duration;
      slept_ns_ += duration;
      if (rewrite_ != nullptr && g_pretend_now_ns >= rewrite_at_ns_) {
        rewrite_();
        rewrite_ = nullptr;
      }
    };
  }
  void TearDown() override {
    CurrentFileFacts() = saved_facts_;
    CurrentSettleClock() = saved_clock_;
    ConvertFilePairTest::TearDown();
  }

  FileFacts saved_facts_{};
  SettleClock saved_clock_{};
  static inline std::int64_t slept_ns_ = 0;
  static inline void (*rewrite_)() = nullptr;     ///< Run once, in the first wait...
  static inline std::int64_t rewrite_at_ns_ = 0;  ///< ...that ends at this time or later.
};

TEST_F(TimesHoldingStill, ASettingsFileChangedOnlyPastTheFirstReadIsReadAgain) {
  const std::string block = "<ui>" + std::string(300 << 10, 'x') + "</ui>";
  rewrite_ = [] {
    std::string settings = ReadBytes("cache/A_sc.tmp");
    settings[250000] = 'y';
    WriteBytes("cache/A_sc.tmp", settings);
  };
  ASSERT_EQ(Convert(CharacterFile(5), "\x01" + block), kConverted);
  EXPECT_EQ(slept_ns_, 2 * kSettleIntervalNs);
  std::string changed = block;
  changed[250000 - 1] = 'y';
  EXPECT_TRUE(ReadBytes("ui.5.xml") == Utf16Of(changed));
}

// A save that pauses before it writes "<ui>": the file is read on until
// the layout is there, not taken for a file without one.
TEST_F(TimesHoldingStill, ASaveThatPausesBeforeItsLayoutIsWaitedFor) {
  rewrite_at_ns_ = g_pretend_now_ns + 5'000'000'000;
  rewrite_ = [] { WriteBytes("cache/A_sc.tmp", SettingsFile("<ui>a</ui>")); };
  ASSERT_EQ(Convert(CharacterFile(5), "\x01 the settings before the layout"), kConverted);
  EXPECT_EQ(ReadBytes("ui.5.xml"), Utf16Of("<ui>a</ui>"));
}

// What follows the end tag (the game's other settings) does not make a whole
// layout wait as if it were cut.
TEST_F(TimesHoldingStill, ALayoutWithTextAfterItsEndIsTakenAfterOneInterval) {
  ASSERT_EQ(Convert(CharacterFile(5), SettingsFile("<ui>a</ui>\r\n<other/>")), kConverted);
  EXPECT_EQ(slept_ns_, kSettleIntervalNs);
  EXPECT_EQ(ReadBytes("ui.5.xml"), Utf16Of("<ui>a</ui>\r\n<other/>"));
}

TEST_F(TimesHoldingStill, ACharacterFileWhoseIdChangedIsReadAgain) {
  rewrite_ = [] { WriteBytes("cache/A.tmp", CharacterFile(6)); };
  ASSERT_EQ(Convert(CharacterFile(5), SettingsFile("<ui>a</ui>")), kConverted);
  EXPECT_EQ(slept_ns_, 2 * kSettleIntervalNs);
  EXPECT_EQ(output_name_, Native(".\\ui.6.xml"));
}

struct EarlierCase {
  std::string name;
  std::optional<std::string> earlier;  ///< The earlier ui.7.xml; none when there is none.
  bool unreadable = false;             ///< Its permissions let nobody read it.
  bool writer_holds = false;           ///< A writer is seen holding the settings file.
};

class CutLayouts : public ConvertFilePairTest, public ::testing::WithParamInterface<EarlierCase> {
 protected:
  void SetUp() override {
    ConvertFilePairTest::SetUp();
    saved_facts_ = CurrentFileFacts();
    CurrentFileFacts().writers_taken_ns = -1;
    if (GetParam().writer_holds) {
      CurrentFileFacts().find_open_writers = [] {
        OpenWriters writers;
        InputFile file;
        if (file.Open(NativeOf("cache/A_sc.tmp"))) writers.files.push_back(file.Identity());
        return writers;
      };
    }
  }
  void TearDown() override {
    CurrentFileFacts() = saved_facts_;
    ConvertFilePairTest::TearDown();
  }

  FileFacts saved_facts_{};
};

// A layout seen cut (here right after the end tag of an inner element) is
// never written, whatever the earlier layout file holds or whether there is
// one: once the file has held still for the long stillness, or, while a
// writer is seen holding it, once the wait is given up.
TEST_P(CutLayouts, AreNeverWrittenAndLeaveTheEarlierFileAsItWas) {
  const EarlierCase& earlier = GetParam();
  if (earlier.earlier) {
    WriteBytes("ui.7.xml", *earlier.earlier);
    if (earlier.unreadable) fs::permissions("ui.7.xml", fs::perms::none);
  }
  const std::int64_t started = g_pretend_now_ns;
  EXPECT_EQ(Convert(CharacterFile(7), SettingsFile("<ui><a><ui>new</ui>")), kUiBlockCut);
  const std::int64_t waited = g_pretend_now_ns - started;
  if (earlier.writer_holds) {
    EXPECT_GT(waited, kMaxLongWaitNs - kSettleIntervalNs);
  } else {
    EXPECT_GE(waited, kLongStillNs);
    EXPECT_LT(waited, kLongStillNs + kSettleIntervalNs);
  }
  EXPECT_TRUE(output_name_.empty());
  if (earlier.earlier) {
#ifndef _WIN32
    EXPECT_EQ(fs::status("ui.7.xml").permissions() == fs::perms::none, earlier.unreadable);
#endif
    fs::permissions("ui.7.xml", fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(ReadBytes("ui.7.xml"), *earlier.earlier);
  }
  EXPECT_EQ(OutputFolder(), earlier.earlier ? "ui.7.xml" : "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CutLayouts,
    ::testing::Values(EarlierCase{"EarlierWhole", Utf16Of("<ui>old</ui>")},
                      EarlierCase{"EarlierCut", Utf16Of("<ui><a>old")},
                      EarlierCase{"NoEarlier", std::nullopt},
                      EarlierCase{"EarlierNotReadable", Utf16Of("<ui>old</ui>"), true},
                      EarlierCase{"EarlierWholeWriterHolds", Utf16Of("<ui>old</ui>"), false, true},
                      EarlierCase{"NoEarlierWriterHolds", std::nullopt, false, true}),
    CaseName());

}  // namespace
