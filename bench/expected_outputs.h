#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

/// One line of the expected.tsv that make_cache.py writes beside a cache.
struct ExpectedLine {
  std::string_view settings_name;
  std::string_view output_name;
  std::size_t size = 0;
};

/// Calls `visit` with each line of "settings name, output name, size,
/// digest", tab-separated; lines of another shape are passed over.
template <typename Visit>
void ForEachExpectedLine(std::string_view text, Visit visit) {
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    const std::size_t first = line.find('\t');
    const std::size_t second = line.find('\t', first + 1);
    if (first == std::string_view::npos || second == std::string_view::npos) {
      continue;
    }
    visit(ExpectedLine{line.substr(0, first), line.substr(first + 1, second - first - 1),
                       std::stoul(std::string(line.substr(second + 1)))});
  }
}
