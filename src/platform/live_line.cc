#include "platform/live_line.h"

#include <algorithm>
#include <iterator>
#include <type_traits>
#include <vector>

#include "base/shown_path.h"

namespace {

struct Range {
  char32_t first;
  char32_t last;
};

// East Asian Wide and Fullwidth, taken broadly: a character counted wide
// that a console shows narrow only shortens the line.
constexpr Range kWide[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},
    {0x23F0, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},   {0x2648, 0x2653},
    {0x267F, 0x267F},   {0x2693, 0x2693},   {0x26A1, 0x26A1},   {0x26AA, 0x26AB},
    {0x26BD, 0x26BE},   {0x26C4, 0x26C5},   {0x26CE, 0x26CE},   {0x26D4, 0x26D4},
    {0x26EA, 0x26EA},   {0x26F2, 0x26F5},   {0x26FA, 0x26FA},   {0x26FD, 0x26FD},
    {0x2705, 0x2705},   {0x270A, 0x270B},   {0x2728, 0x2728},   {0x274C, 0x274E},
    {0x2753, 0x2757},   {0x2795, 0x2797},   {0x27B0, 0x27B0},   {0x27BF, 0x27BF},
    {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},   {0x2E80, 0x303E},
    {0x3041, 0x4DBF},   {0x4E00, 0xA4CF},   {0xA960, 0xA97F},   {0xAC00, 0xD7A3},
    {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},
    {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4}, {0x17000, 0x18CFF}, {0x1B000, 0x1B2FF},
    {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF}, {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A},
    {0x1F200, 0x1F2FF}, {0x1F300, 0x1F64F}, {0x1F680, 0x1F6FF}, {0x1F7E0, 0x1F7EB},
    {0x1F90C, 0x1F9FF}, {0x1FA70, 0x1FAFF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

// One character of a text: its units [begin, end) and its cells.
struct Character {
  std::size_t begin;
  std::size_t end;
  std::size_t cells;
};

using Unit = std::make_unsigned_t<NativeChar>;

// The code point that starts at `at`, and where it ends; a unit that starts
// no whole character stands alone, as U+FFFD.
char32_t NextCodePoint(const NativeString& text, std::size_t at, std::size_t& end) {
  const auto unit = [&](std::size_t k) -> char32_t { return static_cast<Unit>(text[k]); };
  end = at + 1;
  const char32_t first = unit(at);
  if constexpr (sizeof(NativeChar) == 1) {
    if (first < 0x80) {
      return first;
    }
    const std::size_t length = first >= 0xF0 && first <= 0xF4   ? 4
                               : first >= 0xE0 && first <= 0xEF ? 3
                               : first >= 0xC2 && first <= 0xDF ? 2
                                                                : 0;
    if (length == 0 || at + length > text.size()) {
      return 0xFFFD;
    }
    char32_t c = first & (0xFF >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) {
      if ((unit(at + k) & 0xC0) != 0x80) {
        return 0xFFFD;
      }
      c = (c << 6) | (unit(at + k) & 0x3F);
    }
    end = at + length;
    return c;
  } else {
    if (first >= 0xD800 && first <= 0xDBFF && at + 1 < text.size() && unit(at + 1) >= 0xDC00 &&
        unit(at + 1) <= 0xDFFF) {
      end = at + 2;
      return 0x10000 + ((first - 0xD800) << 10) + (unit(at + 1) - 0xDC00);
    }
    return first;
  }
}

std::vector<Character> Characters(const NativeString& text) {
  std::vector<Character> characters;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = at;
    const char32_t c = NextCodePoint(text, at, end);
    characters.push_back({at, end, CellsOfCodePoint(c)});
    at = end;
  }
  return characters;
}

// What the console is given: ShownPath's '?' for control characters, and
// '?' for each character beyond ASCII when it shows ASCII only.
NativeString Shown(const NativeString& text, bool ascii_only) {
  const NativeString shown = ShownPath(text);
  if (!ascii_only) {
    return shown;
  }
  NativeString ascii;
  for (const Character& c : Characters(shown)) {
    ascii += c.end - c.begin == 1 && static_cast<Unit>(shown[c.begin]) < 0x80 ? shown[c.begin]
                                                                              : NativeChar('?');
  }
  return ascii;
}

// The longest start of `text` within `cells`.
NativeString StartWithin(const NativeString& text, std::size_t cells) {
  std::size_t used = 0;
  std::size_t end = 0;
  for (const Character& c : Characters(text)) {
    if (used + c.cells > cells) {
      break;
    }
    used += c.cells;
    end = c.end;
  }
  return text.substr(0, end);
}

// The longest end of `text` within `cells`.
NativeString EndWithin(const NativeString& text, std::size_t cells) {
  const std::vector<Character> characters = Characters(text);
  std::size_t used = 0;
  std::size_t begin = text.size();
  for (auto c = characters.rbegin(); c != characters.rend(); ++c) {
    if (used + c->cells > cells) {
      break;
    }
    used += c->cells;
    begin = c->begin;
  }
  return text.substr(begin);
}

// A path cut in its middle to fit `cells`: a third of them for its start
// and the rest for its end, which names the file.
NativeString ElideMiddle(const NativeString& path, std::size_t cells) {
  const NativeString dots = Native("...");
  if (cells <= dots.size()) {
    return StartWithin(dots, cells);
  }
  const std::size_t start_cells = (cells - dots.size()) / 3;
  const NativeString start = StartWithin(path, start_cells);
  return start + dots + EndWithin(path, cells - dots.size() - CellsOf(start));
}

// The fewest cells a path is cut to before the rest of the line gives way.
constexpr std::size_t kShortestPathCells = 12;

}  // namespace

std::size_t CellsOfCodePoint(char32_t c) {
  const auto wide = std::upper_bound(std::begin(kWide), std::end(kWide), c,
                                     [](char32_t v, const Range& r) { return v < r.first; });
  return wide != std::begin(kWide) && c <= std::prev(wide)->last ? 2 : 1;
}

std::size_t CellsOf(const NativeString& text) {
  std::size_t cells = 0;
  for (const Character& c : Characters(text)) {
    cells += c.cells;
  }
  return cells;
}

NativeString FitLiveLine(const LiveLine& line, std::size_t cells, bool ascii_only) {
  const NativeString head = Shown(line.head, ascii_only);
  NativeString path = Shown(line.path, ascii_only);
  const NativeString tail = Shown(line.tail, ascii_only);
  const std::size_t around = CellsOf(head) + CellsOf(tail);
  const std::size_t path_cells = CellsOf(path);
  const std::size_t room = cells > around ? cells - around : 0;
  const std::size_t path_room = std::max(room, std::min(path_cells, kShortestPathCells));
  if (path_cells > path_room) {
    path = ElideMiddle(path, path_room);
  }
  return StartWithin(head + path + tail, cells);
}
