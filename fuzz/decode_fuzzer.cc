// DecodeUtf8ToUtf16Le against a strict reference decoder built from the
// Unicode standard's table of well-formed sequences. Every input is decoded
// as it is (malformed ones must be rejected, well-formed ones give the same
// code points), and its bytes are also read as a list of code points that
// must round-trip through UTF-8. Input and output are exactly sized heap
// blocks, so AddressSanitizer stops any access past either.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "convert/decode.h"
#include "reference.h"

namespace {

// The decoder's answer for `bytes`: the UTF-16LE output, or nothing.
std::optional<std::string> Decode(const unsigned char* bytes, std::size_t size) {
  std::unique_ptr<unsigned char[]> text(new unsigned char[size]);
  if (size > 0) {
    std::memcpy(text.get(), bytes, size);
  }
  std::unique_ptr<unsigned char[]> out(new unsigned char[2 * size]);
  const std::size_t written = DecodeUtf8ToUtf16Le(text.get(), size, out.get());
  if (written == kMalformedUtf8) {
    return std::nullopt;
  }
  if (written > 2 * size) {
    std::fprintf(stderr, "decoder claims %zu bytes of a %zu-byte block\n", written, 2 * size);
    std::abort();
  }
  return std::string(reinterpret_cast<const char*>(out.get()), written);
}

void Check(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
  }
}

// Three input bytes per code point, folded into the Unicode range with the
// surrogates moved out of it.
std::u32string CodePointsFrom(const std::uint8_t* data, std::size_t size) {
  std::u32string code_points;
  for (std::size_t i = 0; i + 3 <= size; i += 3) {
    char32_t value =
        (data[i] | char32_t{data[i + 1]} << 8 | char32_t{data[i + 2]} << 16) % 0x110000;
    if (value >= 0xD800 && value <= 0xDFFF) {
      value += 0x800;
    }
    code_points += value;
  }
  return code_points;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::optional<std::u32string> expected = StrictUtf8CodePoints(data, size);
  const std::optional<std::string> decoded = Decode(data, size);
  Check(expected.has_value() == decoded.has_value(),
        expected ? "well-formed UTF-8 rejected" : "malformed UTF-8 accepted");
  if (expected) {
    Check(*decoded == Utf16LeOf(*expected), "wrong code units for well-formed UTF-8");
  }

  const std::u32string code_points = CodePointsFrom(data, size);
  const std::string encoded = Utf8Of(code_points);
  const std::optional<std::string> round_trip =
      Decode(reinterpret_cast<const unsigned char*>(encoded.data()), encoded.size());
  Check(round_trip.has_value() && *round_trip == Utf16LeOf(code_points),
        "encoded code points do not round-trip");
  return 0;
}
