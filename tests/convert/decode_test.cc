#include "convert/decode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixtures.h"

namespace {

// The UTF-16LE bytes of the text, or "MALFORMED".
std::string Decode(const std::string& utf8) {
  std::string out(2 * utf8.size(), '\0');
  const std::size_t written =
      DecodeUtf8ToUtf16Le(reinterpret_cast<const unsigned char*>(utf8.data()), utf8.size(),
                          reinterpret_cast<unsigned char*>(out.data()));
  if (written == kMalformedUtf8) {
    return "MALFORMED";
  }
  out.resize(written);
  return out;
}

std::string Utf8Of(char32_t c) {
  std::string s;
  if (c < 0x80) {
    s += static_cast<char>(c);
  } else if (c < 0x800) {
    s += static_cast<char>(0xC0 | (c >> 6));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    s += static_cast<char>(0xE0 | (c >> 12));
    s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (c >> 18));
    s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  }
  return s;
}

std::string Utf16LeOf(char32_t c) {
  std::string s;
  auto put = [&s](char32_t unit) {
    s += static_cast<char>(unit & 0xFF);
    s += static_cast<char>(unit >> 8);
  };
  if (c < 0x10000) {
    put(c);
  } else {
    put(0xD800 | ((c - 0x10000) >> 10));
    put(0xDC00 | ((c - 0x10000) & 0x3FF));
  }
  return s;
}

struct DecodeCase {
  const char* name;
  std::string utf8;
  std::string utf16le;
};

class WellFormed : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(WellFormed, DecodesToUtf16LittleEndian) {
  EXPECT_EQ(Decode(GetParam().utf8), GetParam().utf16le);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, WellFormed,
    ::testing::Values(DecodeCase{"Empty", "", ""},
                      DecodeCase{"Markup", "<ui>A</ui>",
                                 std::string("<\0u\0i\0>\0A\0<\0/\0u\0i\0>\0", 20)},
                      DecodeCase{"LineEnds", "\r\n\n", std::string("\r\0\n\0\n\0", 6)},
                      DecodeCase{"Latin", "\xC3\xA9", "\xE9" + std::string(1, '\0')},
                      DecodeCase{"Cjk", "\xE4\xB8\x8A", "\x0A\x4E"},
                      DecodeCase{"Emoji", "\xF0\x9F\x98\x80", std::string("\x3D\xD8\x00\xDE", 4)},
                      DecodeCase{"ByteOrderMarkIsAPlainCharacter", "\xEF\xBB\xBF", "\xFF\xFE"},
                      DecodeCase{"HighestCodePoint", "\xF4\x8F\xBF\xBF", "\xFF\xDB\xFF\xDF"},
                      DecodeCase{"MultiByteAfterAsciiRun", "abcdefghij\xC3\xA9z",
                                 std::string("a\0b\0c\0d\0e\0f\0g\0h\0i\0j\0\xE9\0z\0", 24)}),
    CaseName());

class Malformed : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Malformed, IsRejected) {
  EXPECT_EQ(Decode(GetParam().utf8), "MALFORMED");
  // Wherever it stands in the block.
  EXPECT_EQ(Decode("<ui>0123456789" + GetParam().utf8 + "</ui>"), "MALFORMED");
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Malformed,
    ::testing::Values(DecodeCase{"StrayContinuation", "\x80", ""},
                      DecodeCase{"StrayContinuationAfterSequence", "\xC3\xA9\xA9", ""},
                      DecodeCase{"TwoByteCutShort", "\xC3", ""},
                      DecodeCase{"ThreeByteCutShort", "\xE4\xB8", ""},
                      DecodeCase{"FourByteCutShort", "\xF0\x9F\x98", ""},
                      DecodeCase{"CutShortByAscii", "\xE4\xB8Z", ""},
                      DecodeCase{"OverlongTwoByte", "\xC0\xAF", ""},
                      DecodeCase{"OverlongTwoByteC1", "\xC1\xBF", ""},
                      DecodeCase{"OverlongThreeByte", "\xE0\x9F\xBF", ""},
                      DecodeCase{"OverlongFourByte", "\xF0\x8F\xBF\xBF", ""},
                      DecodeCase{"HighSurrogate", "\xED\xA0\x80", ""},
                      DecodeCase{"LowSurrogate", "\xED\xBF\xBF", ""},
                      DecodeCase{"AboveUnicode", "\xF4\x90\x80\x80", ""},
                      DecodeCase{"LeadF5", "\xF5\x80\x80\x80", ""},
                      DecodeCase{"FiveByteForm", "\xF8\x88\x80\x80\x80", ""},
                      DecodeCase{"SixByteForm", "\xFC\x84\x80\x80\x80\x80", ""},
                      DecodeCase{"ByteFE", "\xFE", ""}, DecodeCase{"ByteFF", "\xFF", ""}),
    CaseName());

TEST(DecodeTest, EveryScalarValueRoundTrips) {
  std::string utf8;
  std::string expected;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) {
      continue;
    }
    utf8 += Utf8Of(c);
    expected += Utf16LeOf(c);
  }
  EXPECT_TRUE(Decode(utf8) == expected);
}

TEST(DecodeTest, EveryTwoByteLeadIsCheckedAgainstItsContinuations) {
  for (int lead = 0x80; lead <= 0xFF; ++lead) {
    for (int next = 0; next <= 0xFF; ++next) {
      const std::string pair{static_cast<char>(lead), static_cast<char>(next)};
      const bool well_formed = lead >= 0xC2 && lead <= 0xDF && next >= 0x80 && next <= 0xBF;
      EXPECT_EQ(Decode(pair) != "MALFORMED", well_formed) << lead << " " << next;
    }
  }
}

}  // namespace
