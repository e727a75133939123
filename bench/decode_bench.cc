// The UTF-8 decoder against glibc's iconv (UTF-8 to UTF-16LE) on the same
// blocks, and on pure ASCII against an SSE2 byte-widening loop, the limit
// for text that needs no decoding at all.
#include <benchmark/benchmark.h>
#include <iconv.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "convert/decode.h"
#include "sample_text.h"

namespace {

// About the size of a large layout.
constexpr std::size_t kBlockSize = 150 * 1024;

const std::string& Block(CjkShare cjk) {
  static const std::string none = LayoutText(kBlockSize, CjkShare::kNone);
  static const std::string some = LayoutText(kBlockSize, CjkShare::kSome);
  static const std::string heavy = LayoutText(kBlockSize, CjkShare::kHeavy);
  return cjk == CjkShare::kNone ? none : cjk == CjkShare::kSome ? some : heavy;
}

const unsigned char* Bytes(const std::string& text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

void CountBytes(benchmark::State& state, const std::string& block) {
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(block.size()));
}

// Converts `block` with iconv into `out`; the number of bytes written, or
// nothing on failure.
std::optional<std::size_t> IconvConvert(iconv_t converter, const std::string& block,
                                        std::vector<unsigned char>& out) {
  char* in = const_cast<char*>(block.data());
  std::size_t in_left = block.size();
  char* out_next = reinterpret_cast<char*>(out.data());
  std::size_t out_left = out.size();
  if (iconv(converter, &in, &in_left, &out_next, &out_left) == static_cast<std::size_t>(-1)) {
    return std::nullopt;
  }
  return out.size() - out_left;
}

// Whether the decoder's output for `block` is iconv's, byte for byte, so that
// both kernels do the same work.
bool DecoderAgreesWithIconv(const std::string& block) {
  std::vector<unsigned char> decoded(2 * block.size());
  std::vector<unsigned char> converted(2 * block.size());
  const iconv_t converter = iconv_open("UTF-16LE", "UTF-8");
  if (converter == reinterpret_cast<iconv_t>(-1)) {
    return false;
  }
  const std::optional<std::size_t> expected = IconvConvert(converter, block, converted);
  iconv_close(converter);
  const std::size_t written = DecodeUtf8ToUtf16Le(Bytes(block), block.size(), decoded.data());
  return expected && written == *expected &&
         std::equal(decoded.begin(), decoded.begin() + static_cast<std::ptrdiff_t>(written),
                    converted.begin());
}

void BM_Decode(benchmark::State& state, CjkShare cjk) {
  const std::string& block = Block(cjk);
  if (!DecoderAgreesWithIconv(block)) {
    state.SkipWithError("the decoder and iconv disagree");
    return;
  }
  std::vector<unsigned char> out(2 * block.size());
  for (auto _ : state) {
    benchmark::DoNotOptimize(DecodeUtf8ToUtf16Le(Bytes(block), block.size(), out.data()));
    benchmark::DoNotOptimize(out.data());
  }
  CountBytes(state, block);
}
BENCHMARK_CAPTURE(BM_Decode, Ascii, CjkShare::kNone);
BENCHMARK_CAPTURE(BM_Decode, MostlyAscii, CjkShare::kSome);
BENCHMARK_CAPTURE(BM_Decode, CjkHeavy, CjkShare::kHeavy);

void BM_Iconv(benchmark::State& state, CjkShare cjk) {
  const std::string& block = Block(cjk);
  std::vector<unsigned char> out(2 * block.size());
  const iconv_t converter = iconv_open("UTF-16LE", "UTF-8");
  if (converter == reinterpret_cast<iconv_t>(-1)) {
    state.SkipWithError("iconv_open failed");
    return;
  }
  for (auto _ : state) {
    if (!IconvConvert(converter, block, out)) {
      state.SkipWithError("iconv failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  iconv_close(converter);
  CountBytes(state, block);
}
BENCHMARK_CAPTURE(BM_Iconv, Ascii, CjkShare::kNone);
BENCHMARK_CAPTURE(BM_Iconv, MostlyAscii, CjkShare::kSome);
BENCHMARK_CAPTURE(BM_Iconv, CjkHeavy, CjkShare::kHeavy);

#if defined(__SSE2__)
// Sixteen bytes in, thirty-two out, no checks: nothing can widen faster.
void BM_WidenSse2(benchmark::State& state) {
  const std::string& block = Block(CjkShare::kNone);
  std::vector<unsigned char> out(2 * block.size() + 32);
  const __m128i zero = _mm_setzero_si128();
  for (auto _ : state) {
    const unsigned char* in = Bytes(block);
    unsigned char* next = out.data();
    for (std::size_t i = 0; i < block.size(); i += 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(next), _mm_unpacklo_epi8(bytes, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(next + 16), _mm_unpackhi_epi8(bytes, zero));
      next += 32;
    }
    benchmark::DoNotOptimize(out.data());
  }
  CountBytes(state, block);
}
BENCHMARK(BM_WidenSse2);
#endif

}  // namespace
