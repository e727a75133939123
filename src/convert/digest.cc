#include "convert/digest.h"

#include <cstring>

namespace {

constexpr std::uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr std::size_t kBlockSize = 64;

constexpr std::uint32_t RotateRight(std::uint32_t value, int count) {
  return (value >> count) | (value << (32 - count));
}

void Compress(std::uint32_t state[8], const unsigned char* block) {
  std::uint32_t schedule[64];
  for (int k = 0; k < 16; ++k) {
    schedule[k] = (std::uint32_t{block[4 * k]} << 24) | (std::uint32_t{block[4 * k + 1]} << 16) |
                  (std::uint32_t{block[4 * k + 2]} << 8) | std::uint32_t{block[4 * k + 3]};
  }
  for (int k = 16; k < 64; ++k) {
    const std::uint32_t s0 = RotateRight(schedule[k - 15], 7) ^ RotateRight(schedule[k - 15], 18) ^
                             (schedule[k - 15] >> 3);
    const std::uint32_t s1 = RotateRight(schedule[k - 2], 17) ^ RotateRight(schedule[k - 2], 19) ^
                             (schedule[k - 2] >> 10);
    schedule[k] = schedule[k - 16] + s0 + schedule[k - 7] + s1;
  }
  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  for (int k = 0; k < 64; ++k) {
    const std::uint32_t sum1 = RotateRight(e, 6) ^ RotateRight(e, 11) ^ RotateRight(e, 25);
    const std::uint32_t choice = (e & f) ^ (~e & g);
    const std::uint32_t temp1 = h + sum1 + choice + kRoundConstants[k] + schedule[k];
    const std::uint32_t sum0 = RotateRight(a, 2) ^ RotateRight(a, 13) ^ RotateRight(a, 22);
    const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
    const std::uint32_t temp2 = sum0 + majority;
    h = g;
    g = f;
    f = e;
    e = d + temp1;
    d = c;
    c = b;
    b = a;
    a = temp1 + temp2;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

}  // namespace

Digest DigestOf(std::span<const unsigned char> bytes) {
  std::uint32_t state[8];
  std::memcpy(state, kInitialState, sizeof state);
  std::size_t whole = bytes.size() - bytes.size() % kBlockSize;
  for (std::size_t offset = 0; offset < whole; offset += kBlockSize) {
    Compress(state, bytes.data() + offset);
  }
  // The rest, a one bit, zeros, and the length in bits: one or two blocks.
  unsigned char tail[2 * kBlockSize] = {};
  const std::size_t rest = bytes.size() - whole;
  if (rest > 0) {
    std::memcpy(tail, bytes.data() + whole, rest);
  }
  tail[rest] = 0x80;
  const std::size_t tail_size = rest + 1 + 8 <= kBlockSize ? kBlockSize : 2 * kBlockSize;
  const std::uint64_t bits = static_cast<std::uint64_t>(bytes.size()) * 8;
  for (int k = 0; k < 8; ++k) {
    tail[tail_size - 1 - static_cast<std::size_t>(k)] = static_cast<unsigned char>(bits >> (8 * k));
  }
  for (std::size_t offset = 0; offset < tail_size; offset += kBlockSize) {
    Compress(state, tail + offset);
  }
  Digest digest;
  for (int k = 0; k < 8; ++k) {
    for (int byte = 0; byte < 4; ++byte) {
      digest[static_cast<std::size_t>(4 * k + byte)] =
          static_cast<std::uint8_t>(state[k] >> (24 - 8 * byte));
    }
  }
  return digest;
}
