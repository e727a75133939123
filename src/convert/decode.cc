#include "convert/decode.h"

#include <cstdint>
#include <cstring>

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

// Decodes the sequence that starts with a lead byte of 0xC2 or above at
// text[i], advancing i past it; false when it is not well-formed. The bounds
// on the second byte are what rule out overlong forms, surrogates and values
// above U+10FFFF.
bool DecodeSequence(const unsigned char* text, std::size_t size,
                    std::size_t& i, std::uint32_t& code_point) {
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

}  // namespace

std::size_t DecodeUtf8ToUtf16Le(const unsigned char* text, std::size_t size,
                                unsigned char* out) {
  unsigned char* const begin = out;
  std::size_t i = 0;
  while (i < size) {
    // Layouts are mostly ASCII markup: widen eight bytes at a time while no
    // byte has its top bit set.
    while (size - i >= 8) {
      std::uint64_t chunk;
      std::memcpy(&chunk, text + i, sizeof chunk);
      if ((chunk & 0x8080808080808080ull) != 0) {
        break;
      }
      for (std::size_t k = 0; k < 8; ++k) {
        out[2 * k] = text[i + k];
        out[2 * k + 1] = 0;
      }
      out += 16;
      i += 8;
    }
    if (i == size) {
      break;
    }
    if (text[i] < 0x80) {
      PutUnit(out, text[i++]);
      continue;
    }
    std::uint32_t code_point = 0;
    if (!DecodeSequence(text, size, i, code_point)) {
      return kMalformedUtf8;
    }
    PutCodePoint(out, code_point);
  }
  return static_cast<std::size_t>(out - begin);
}
