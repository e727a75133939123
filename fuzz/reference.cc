#include "reference.h"

#include <algorithm>

namespace {

constexpr std::size_t kSearchBound = 204800;

// One row of the Unicode standard's table of well-formed UTF-8 byte
// sequences: the allowed range of every byte of the sequence.
struct WellFormedRow {
  int length;
  unsigned char low[4];
  unsigned char high[4];
};

constexpr WellFormedRow kWellFormedRows[] = {
    {1, {0x00}, {0x7F}},
    {2, {0xC2, 0x80}, {0xDF, 0xBF}},
    {3, {0xE0, 0xA0, 0x80}, {0xE0, 0xBF, 0xBF}},
    {3, {0xE1, 0x80, 0x80}, {0xEC, 0xBF, 0xBF}},
    {3, {0xED, 0x80, 0x80}, {0xED, 0x9F, 0xBF}},
    {3, {0xEE, 0x80, 0x80}, {0xEF, 0xBF, 0xBF}},
    {4, {0xF0, 0x90, 0x80, 0x80}, {0xF0, 0xBF, 0xBF, 0xBF}},
    {4, {0xF1, 0x80, 0x80, 0x80}, {0xF3, 0xBF, 0xBF, 0xBF}},
    {4, {0xF4, 0x80, 0x80, 0x80}, {0xF4, 0x8F, 0xBF, 0xBF}},
};

void AppendUnit(std::string& out, char32_t unit) {
  out += static_cast<char>(unit % 256);
  out += static_cast<char>(unit / 256);
}

}  // namespace

std::int64_t ReferenceFind(const unsigned char* text, std::size_t size,
                           const std::vector<std::int32_t>& pattern, std::uint64_t start) {
  const std::uint64_t limit = std::min<std::uint64_t>(size, kSearchBound);
  if (start >= limit) {
    return -1;
  }
  for (std::uint64_t at = start; at + pattern.size() <= limit; ++at) {
    bool equal = true;
    for (std::size_t k = 0; k < pattern.size() && equal; ++k) {
      const int byte = text[at + k] < 128 ? text[at + k] : text[at + k] - 256;
      equal = byte == pattern[k];
    }
    if (equal) {
      return static_cast<std::int64_t>(at);
    }
  }
  return -1;
}

std::vector<std::int32_t> ReferenceFailureTable(const std::vector<std::int32_t>& pattern) {
  std::vector<std::int32_t> table;
  for (std::size_t k = 0; k < pattern.size(); ++k) {
    std::int32_t longest = 0;
    for (std::size_t length = 1; length <= k; ++length) {
      if (std::equal(pattern.begin(), pattern.begin() + static_cast<std::ptrdiff_t>(length),
                     pattern.begin() + static_cast<std::ptrdiff_t>(k + 1 - length))) {
        longest = static_cast<std::int32_t>(length);
      }
    }
    table.push_back(longest);
  }
  return table;
}

std::optional<std::u32string> StrictUtf8CodePoints(const unsigned char* text, std::size_t size) {
  static constexpr unsigned char kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  std::u32string code_points;
  std::size_t i = 0;
  while (i < size) {
    const WellFormedRow* match = nullptr;
    for (const WellFormedRow& row : kWellFormedRows) {
      const auto length = static_cast<std::size_t>(row.length);
      if (size - i < length) {
        continue;
      }
      bool inside = true;
      for (std::size_t k = 0; k < length; ++k) {
        inside = inside && text[i + k] >= row.low[k] && text[i + k] <= row.high[k];
      }
      if (inside) {
        match = &row;
        break;
      }
    }
    if (match == nullptr) {
      return std::nullopt;
    }
    char32_t value = text[i] & kLeadMask[match->length];
    for (int k = 1; k < match->length; ++k) {
      value = value * 64 + (text[i + static_cast<std::size_t>(k)] & 0x3F);
    }
    code_points += value;
    i += static_cast<std::size_t>(match->length);
  }
  return code_points;
}

std::string Utf8Of(const std::u32string& code_points) {
  std::string out;
  for (const char32_t c : code_points) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 + c / 64);
      out += static_cast<char>(0x80 + c % 64);
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 + c / 4096);
      out += static_cast<char>(0x80 + c / 64 % 64);
      out += static_cast<char>(0x80 + c % 64);
    } else {
      out += static_cast<char>(0xF0 + c / 262144);
      out += static_cast<char>(0x80 + c / 4096 % 64);
      out += static_cast<char>(0x80 + c / 64 % 64);
      out += static_cast<char>(0x80 + c % 64);
    }
  }
  return out;
}

std::string Utf16LeOf(const std::u32string& code_points) {
  std::string out;
  for (const char32_t c : code_points) {
    if (c < 0x10000) {
      AppendUnit(out, c);
    } else {
      AppendUnit(out, 0xD800 + (c - 0x10000) / 1024);
      AppendUnit(out, 0xDC00 + (c - 0x10000) % 1024);
    }
  }
  return out;
}

bool ReferenceUiBlockEnded(const std::string& block) {
  if (block.rfind("<ui>", 0) != 0) {
    return false;
  }
  enum class Mode { kText, kComment, kCdata, kInstruction, kUiStartTag, kQuoted };
  Mode mode = Mode::kText;
  char quote = 0;
  int depth = 1;
  for (std::size_t at = 4; at < block.size(); ++at) {
    const std::string ahead = block.substr(at, 9);
    switch (mode) {
      case Mode::kText:
        if (ahead.rfind("<!--", 0) == 0) {
          mode = Mode::kComment;
          at += 3;
        } else if (ahead.rfind("<![CDATA[", 0) == 0) {
          mode = Mode::kCdata;
          at += 8;
        } else if (ahead.rfind("<?", 0) == 0) {
          mode = Mode::kInstruction;
          at += 1;
        } else if (ahead.rfind("</ui", 0) == 0) {
          const std::size_t end = block.find_first_not_of(" \t\r\n", at + 4);
          if (end != std::string::npos && block[end] == '>') {
            if (--depth == 0) return true;
            at = end;
          }
        } else if (ahead.size() > 3 && ahead.rfind("<ui", 0) == 0 &&
                   std::string(" \t\r\n/>").find(ahead[3]) != std::string::npos) {
          mode = Mode::kUiStartTag;
          at += 2;
        }
        break;
      case Mode::kComment:
        if (ahead.rfind("-->", 0) == 0) {
          mode = Mode::kText;
          at += 2;
        }
        break;
      case Mode::kCdata:
        if (ahead.rfind("]]>", 0) == 0) {
          mode = Mode::kText;
          at += 2;
        }
        break;
      case Mode::kInstruction:
        if (ahead.rfind("?>", 0) == 0) {
          mode = Mode::kText;
          at += 1;
        }
        break;
      case Mode::kUiStartTag:
        if (block[at] == '"' || block[at] == '\'') {
          quote = block[at];
          mode = Mode::kQuoted;
        } else if (block[at] == '>') {
          if (block[at - 1] != '/') ++depth;
          mode = Mode::kText;
        }
        break;
      case Mode::kQuoted:
        if (block[at] == quote) {
          mode = Mode::kUiStartTag;
        }
        break;
    }
  }
  return false;
}
