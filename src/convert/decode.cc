#include "convert/decode.h"

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

void PutUnit(unsigned char*& out, std::uint32_t unit) {
  out[0] = static_cast<unsigned char>(unit & 0xFF);
  out[1] = static_cast<unsigned char>(unit >> 8);
  out += 2;
}

void PutCodePoint(unsigned char*& out, std::uint32_t code_point) {
  if (code_point < 0x10000) {
    PutUnit(out, code_point);
    return;
  }
  const std::uint32_t offset = code_point - 0x10000;
  PutUnit(out, 0xD800 | (offset >> 10));
  PutUnit(out, 0xDC00 | (offset & 0x3FF));
}

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Widens the ASCII bytes at the start of text[0..size) and returns how many
// there were. Layouts are mostly ASCII markup, so this is where the time goes.
// Each UTF-8 byte yields at most two output bytes, so `out` always has room
// for the whole 32 bytes of a 16-byte step, even one that stops early.
std::size_t WidenAscii(const unsigned char* text, std::size_t size, unsigned char*& out) {
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  while (size - i >= 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(bytes, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_unpackhi_epi8(bytes, zero));
    const auto high_bits = static_cast<unsigned>(_mm_movemask_epi8(bytes));
    if (high_bits != 0) {
      const auto ascii = static_cast<std::size_t>(std::countr_zero(high_bits));
      out += 2 * ascii;
      return i + ascii;
    }
    out += 32;
    i += 16;
  }
#endif
  while (i < size && text[i] < 0x80) {
    PutUnit(out, text[i++]);
  }
  return i;
}

// Decodes the sequence that starts with a lead byte of 0x80 or above at
// text[i], advancing i past it; false when it is not well-formed. The bounds
// on the second byte are what rule out overlong forms, surrogates and values
// above U+10FFFF.
bool DecodeSequence(const unsigned char* text, std::size_t size, std::size_t& i,
                    std::uint32_t& code_point) {
  const unsigned char lead = text[i];
  std::size_t length = 0;
  unsigned char second_min = 0x80;
  unsigned char second_max = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code_point = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code_point = lead & 0x0Fu;
    if (lead == 0xE0) second_min = 0xA0;
    if (lead == 0xED) second_max = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code_point = lead & 0x07u;
    if (lead == 0xF0) second_min = 0x90;
    if (lead == 0xF4) second_max = 0x8F;
  } else {
    return false;
  }
  if (size - i < length) {
    return false;
  }
  const unsigned char second = text[i + 1];
  if (second < second_min || second > second_max) {
    return false;
  }
  for (std::size_t k = 1; k < length; ++k) {
    const unsigned char byte = text[i + k];
    if (!IsContinuation(byte)) {
      return false;
    }
    code_point = (code_point << 6) | (byte & 0x3Fu);
  }
  i += length;
  return true;
}

// The value of the three-byte sequence in the low three bytes of `bytes`,
// first byte lowest, assuming its shape is right.
std::uint64_t ThreeByteValue(std::uint64_t bytes) {
  return ((bytes & 0x0F) << 12) | ((bytes >> 2) & 0xFC0) | ((bytes >> 16) & 0x3F);
}

// Whether a three-byte sequence's value is one it may stand for: below
// U+0800 is an overlong form, D800 to DFFF are surrogates.
bool IsThreeByteValue(std::uint64_t code_point) {
  const std::uint64_t top = code_point >> 11;
  return top != 0 && top != (0xD800 >> 11);
}

// Decodes the run of well-formed three-byte sequences (CJK) at the start of
// text[0..size), two at a time from one 8-byte load, and returns how many
// bytes it took. Whatever else follows is left to the caller.
std::size_t DecodeThreeByteRun(const unsigned char* text, std::size_t size, unsigned char*& out) {
  if constexpr (std::endian::native != std::endian::little) {
    return 0;
  }
  constexpr std::uint64_t kShapeMask = 0xC0C0F0C0C0F0;
  constexpr std::uint64_t kTwoSequences = 0x8080E08080E0;
  std::size_t i = 0;
  while (size - i >= 8) {
    std::uint64_t bytes;
    std::memcpy(&bytes, text + i, sizeof bytes);
    const std::uint64_t first = ThreeByteValue(bytes);
    const std::uint64_t second = ThreeByteValue(bytes >> 24);
    if ((bytes & kShapeMask) != kTwoSequences || !IsThreeByteValue(first) ||
        !IsThreeByteValue(second)) {
      break;
    }
    const auto units = static_cast<std::uint32_t>(first | (second << 16));
    std::memcpy(out, &units, sizeof units);
    out += 4;
    i += 6;
  }
  return i;
}

}  // namespace

std::size_t DecodeUtf8ToUtf16Le(const unsigned char* text, std::size_t size, unsigned char* out) {
  unsigned char* const begin = out;
  std::size_t i = 0;
  while (i < size) {
    i += WidenAscii(text + i, size - i, out);
    i += DecodeThreeByteRun(text + i, size - i, out);
    if (i < size && text[i] >= 0x80) {
      std::uint32_t code_point = 0;
      if (!DecodeSequence(text, size, i, code_point)) {
        return kMalformedUtf8;
      }
      PutCodePoint(out, code_point);
    }
  }
  return static_cast<std::size_t>(out - begin);
}
