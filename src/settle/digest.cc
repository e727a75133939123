#include "settle/digest.h"

#include <cstring>

// Compiled into the program, so that neither build needs the library itself.
#define XXH_INLINE_ALL
#include <xxhash.h>

Digest DigestOf(std::span<const unsigned char> bytes) {
  XXH128_canonical_t canonical;
  XXH128_canonicalFromHash(&canonical, XXH3_128bits(bytes.data(), bytes.size()));
  Digest digest;
  static_assert(sizeof canonical.digest == sizeof digest);
  std::memcpy(digest.data(), canonical.digest, digest.size());
  return digest;
}
