#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

/// The SHA-256 digest of some bytes: what a read of a file is remembered by
/// until the next read of it, so that a run's memory does not grow with the
/// number of files that wait for a second read.
using Digest = std::array<std::uint8_t, 32>;

Digest DigestOf(std::span<const unsigned char> bytes);
