#pragma once

#include <array>
#include <cstdint>
#include <span>

/// The 128-bit XXH3 digest of some bytes: what a read of a file is
/// remembered by until the next read of it, so that a run's memory does not
/// grow with the number of files that wait for a second read. Two versions
/// of a file collide only by a chance too small to matter; nobody gains by
/// forging one, since a writer that could would write any layout it liked.
using Digest = std::array<std::uint8_t, 16>;

Digest DigestOf(std::span<const unsigned char> bytes);
