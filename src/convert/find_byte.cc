#include "convert/find_byte.h"

#include <bit>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

const unsigned char* FindByte(const unsigned char* data, std::size_t size, unsigned char byte) {
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i wanted = _mm_set1_epi8(static_cast<char>(byte));
  const auto matches = [&](std::size_t at) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
    return _mm_cmpeq_epi8(bytes, wanted);
  };
  // Four blocks of 16 bytes per test: the byte is usually far away.
  while (size - i >= 64) {
    const __m128i any = _mm_or_si128(_mm_or_si128(matches(i), matches(i + 16)),
                                     _mm_or_si128(matches(i + 32), matches(i + 48)));
    if (_mm_movemask_epi8(any) != 0) {
      break;
    }
    i += 64;
  }
  while (size - i >= 16) {
    const auto found = static_cast<unsigned>(_mm_movemask_epi8(matches(i)));
    if (found != 0) {
      return data + i + static_cast<std::size_t>(std::countr_zero(found));
    }
    i += 16;
  }
#endif
  for (; i < size; ++i) {
    if (data[i] == byte) {
      return data + i;
    }
  }
  return nullptr;
}
