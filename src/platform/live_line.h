#pragma once

#include <cstddef>

#include "base/native_text.h"

/// A line the console shows while the run waits, and takes back before any
/// other text: text, a path, text. The path gives way first on a narrow
/// console.
struct LiveLine {
  NativeString head;
  NativeString path;
  NativeString tail;
};

/// The cells a console gives code point `c`: 2 for the wide and fullwidth
/// characters of East Asian scripts and for emoji, 1 for every other one
/// (never less, so that a line counted so can only be shorter than counted).
std::size_t CellsOfCodePoint(char32_t c);

/// The cells `text` takes: by CellsOfCodePoint, a unit that is no whole
/// character (a stray UTF-8 byte, a lone surrogate) by one cell.
std::size_t CellsOf(const NativeString& text);

/// `line` as one row of at most `cells` cells: control characters as '?'
/// (ShownPath), and each character beyond ASCII as '?' when `ascii_only`;
/// the path cut in its middle to "..." first, down to a few cells, then the
/// whole line cut at its end. Never splits a character.
NativeString FitLiveLine(const LiveLine& line, std::size_t cells, bool ascii_only);
