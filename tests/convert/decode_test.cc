#include "convert/decode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "fixtures.h"

namespace {

// The UTF-16LE bytes of the text, or "MALFORMED". Input and output are
// exactly sized heap blocks, so the sanitizer build stops any access past
// either end.
std::string Decode(const std::string& utf8) {
  const std::unique_ptr<unsigned char[]> text(new unsigned char[utf8.size()]);
  std::copy(utf8.begin(), utf8.end(), text.get());
  const std::unique_ptr<unsigned char[]> out(new unsigned char[2 * utf8.size()]);
  const std::size_t written = DecodeUtf8ToUtf16Le(text.get(), utf8.size(), out.get());
  if (written == kMalformedUtf8) {
    return "MALFORMED";
  }
  return std::string(reinterpret_cast<const char*>(out.get()), written);
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

const DecodeCase kWellFormed[] = {
    {"Empty", "", ""},
    {"Markup", "<ui>A</ui>", std::string("<\0u\0i\0>\0A\0<\0/\0u\0i\0>\0", 20)},
    {"LineEnds", "\r\n\n", std::string("\r\0\n\0\n\0", 6)},
    {"Latin", "\xC3\xA9", "\xE9" + std::string(1, '\0')},
    {"Cjk", "\xE4\xB8\x8A", "\x0A\x4E"},
    {"LowestThreeByte", "\xE0\xA0\x80", std::string("\x00\x08", 2)},
    {"BelowSurrogates", "\xED\x9F\xBF", "\xFF\xD7"},
    {"AboveSurrogates", "\xEE\x80\x80", std::string("\x00\xE0", 2)},
    {"Emoji", "\xF0\x9F\x98\x80", std::string("\x3D\xD8\x00\xDE", 4)},
    {"FourByteLeadF1", "\xF1\x80\x80\x80", std::string("\xC0\xD8\x00\xDC", 4)},
    {"ByteOrderMarkIsAPlainCharacter", "\xEF\xBB\xBF", "\xFF\xFE"},
    {"HighestCodePoint", "\xF4\x8F\xBF\xBF", "\xFF\xDB\xFF\xDF"},
    {"MultiByteAfterAsciiRun", "abcdefghij\xC3\xA9z",
     std::string("a\0b\0c\0d\0e\0f\0g\0h\0i\0j\0\xE9\0z\0", 24)},
};

class WellFormed : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(WellFormed, DecodesToUtf16LittleEndian) {
  EXPECT_EQ(Decode(GetParam().utf8), GetParam().utf16le);
}

INSTANTIATE_TEST_SUITE_P(Texts, WellFormed, ::testing::ValuesIn(kWellFormed), CaseName());

// Each is malformed wherever it stands, since whatever comes before or after
// it in these tests is whole characters.
const DecodeCase kMalformed[] = {
    {"StrayContinuation", "\x80", ""},
    {"StrayContinuationAfterSequence", "\xC3\xA9\xA9", ""},
    {"TwoByteCutShort", "\xC3", ""},
    {"ThreeByteCutShort", "\xE4\xB8", ""},
    {"FourByteCutShort", "\xF0\x9F\x98", ""},
    {"CutShortByAscii", "\xE4\xB8Z", ""},
    {"CutShortByLead", "\xE4\xB8\xE4\xB8\x8A", ""},
    {"LeadAsSecondByte", "\xE4\xC0\x8A", ""},
    {"FFAsLastByte", "\xE4\xB8\xFF", ""},
    {"OverlongTwoByte", "\xC0\xAF", ""},
    {"OverlongTwoByteC1", "\xC1\xBF", ""},
    {"OverlongThreeByte", "\xE0\x9F\xBF", ""},
    {"OverlongThreeByteZero", "\xE0\x80\x80", ""},
    {"OverlongFourByte", "\xF0\x8F\xBF\xBF", ""},
    {"HighSurrogate", "\xED\xA0\x80", ""},
    {"LowSurrogate", "\xED\xBF\xBF", ""},
    {"AboveUnicode", "\xF4\x90\x80\x80", ""},
    {"LeadF5", "\xF5\x80\x80\x80", ""},
    {"LeadF7", "\xF7\xBF\xBF\xBF", ""},
    {"FiveByteForm", "\xF8\x88\x80\x80\x80", ""},
    {"SixByteForm", "\xFC\x84\x80\x80\x80\x80", ""},
    {"ByteFE", "\xFE", ""},
    {"ByteFF", "\xFF", ""},
};

class Malformed : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Malformed, IsRejected) {
  EXPECT_EQ(Decode(GetParam().utf8), "MALFORMED");
  // Wherever it stands in the block.
  EXPECT_EQ(Decode("<ui>0123456789" + GetParam().utf8 + "</ui>"), "MALFORMED");
}

INSTANTIATE_TEST_SUITE_P(Texts, Malformed, ::testing::ValuesIn(kMalformed), CaseName());

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

// A stretch of text and what it decodes to.
struct Piece {
  std::string utf8;
  std::string utf16le;
};

Piece Ascii(std::size_t count) {
  Piece piece;
  for (std::size_t k = 0; k < count; ++k) {
    const char c = static_cast<char>('a' + k % 26);
    piece.utf8 += c;
    piece.utf16le += {c, '\0'};
  }
  return piece;
}

Piece CjkRun(std::size_t count) {
  Piece piece;
  for (std::size_t k = 0; k < count; ++k) {
    const char32_t c = U'\x4E0A' + static_cast<char32_t>(k);
    piece.utf8 += Utf8Of(c);
    piece.utf16le += Utf16LeOf(c);
  }
  return piece;
}

// Where `c` decodes wrongly between one of `befores` and one of `afters`;
// empty when it decodes right everywhere.
std::string FirstWrongPlace(const DecodeCase& c, const std::vector<Piece>& befores,
                            const std::vector<Piece>& afters) {
  const bool well_formed = !c.utf16le.empty() || c.utf8.empty();
  for (const Piece& before : befores) {
    for (const Piece& after : afters) {
      const std::string expected =
          well_formed ? before.utf16le + c.utf16le + after.utf16le : "MALFORMED";
      if (Decode(before.utf8 + c.utf8 + after.utf8) != expected) {
        return "after \"" + before.utf8 + "\", before \"" + after.utf8 + "\"";
      }
    }
  }
  return "";
}

// The decoder takes ASCII 16 bytes at a time and CJK two characters from one
// 8-byte load. Each case is put after 0 to 32 ASCII bytes (every lane of the
// 16-byte step, twice) and after 0 to 17 ASCII bytes and 1 to 5 CJK
// characters (both places in the CJK window, and the bytes it loads past
// them), with nothing, ASCII or more CJK behind it, so that each fast path
// meets it at each place and at the end of the text.
TEST(DecodeTest, EveryCaseAtEveryPlaceOfTheFastPaths) {
  std::vector<Piece> befores;
  for (std::size_t ascii = 0; ascii <= 32; ++ascii) {
    befores.push_back(Ascii(ascii));
  }
  for (std::size_t ascii = 0; ascii <= 17; ++ascii) {
    for (std::size_t cjk = 1; cjk <= 5; ++cjk) {
      const Piece run = CjkRun(cjk);
      befores.push_back({Ascii(ascii).utf8 + run.utf8, Ascii(ascii).utf16le + run.utf16le});
    }
  }
  const Piece three_cjk_then_ascii = {CjkRun(3).utf8 + Ascii(9).utf8,
                                      CjkRun(3).utf16le + Ascii(9).utf16le};
  const std::vector<Piece> afters = {
      Ascii(0), Ascii(1), Ascii(7), Ascii(16), CjkRun(1), CjkRun(4), three_cjk_then_ascii};

  std::vector<DecodeCase> cases(std::begin(kWellFormed), std::end(kWellFormed));
  cases.insert(cases.end(), std::begin(kMalformed), std::end(kMalformed));
  for (const DecodeCase& c : cases) {
    EXPECT_EQ(FirstWrongPlace(c, befores, afters), "") << c.name;
  }
}

}  // namespace
