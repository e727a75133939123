#pragma once

#include <cstddef>
#include <string>

/// How much of a layout's text is CJK: none, a label here and there, or most
/// of the visible text.
enum class CjkShare { kNone, kSome, kHeavy };

/// Layout XML of exactly `size` bytes (nested elements, attributes, numbers),
/// never cut inside a UTF-8 sequence; the same text for the same arguments.
/// It never holds "<ui>", so a search for it runs to wherever the caller
/// puts one.
std::string LayoutText(std::size_t size, CjkShare cjk);
