#pragma once

#include <cstddef>

/// The first position of `byte` in data[0..size), or nullptr when there is
/// none: memchr, at the same speed whatever the C runtime (the one Windows
/// programs get from MinGW compares a byte at a time).
const unsigned char* FindByte(const unsigned char* data, std::size_t size, unsigned char byte);
