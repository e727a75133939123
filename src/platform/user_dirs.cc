#include "platform/user_dirs.h"

namespace {

std::string_view TrimLeft(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  return text;
}

// The shell-quoted value of `line` if it assigns `key`: "..." with backslash
// escapes, as xdg-user-dirs writes it.
std::optional<std::string> QuotedValue(std::string_view line, std::string_view key) {
  line = TrimLeft(line);
  if (!line.starts_with(key)) {
    return std::nullopt;
  }
  line = TrimLeft(line.substr(key.size()));
  if (!line.starts_with("=")) {
    return std::nullopt;
  }
  line = TrimLeft(line.substr(1));
  if (!line.starts_with("\"")) {
    return std::nullopt;
  }
  std::string value;
  for (std::size_t i = 1; i < line.size(); ++i) {
    if (line[i] == '"') {
      return value;
    }
    if (line[i] == '\\' && i + 1 < line.size()) {
      ++i;
    }
    value += line[i];
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> DocumentsFolderFromUserDirs(std::string_view contents,
                                                       std::string_view home) {
  std::optional<std::string> folder;
  while (!contents.empty()) {
    const std::size_t end = contents.find('\n');
    const std::string_view line = contents.substr(0, end);
    contents = end == std::string_view::npos ? std::string_view() : contents.substr(end + 1);
    const std::optional<std::string> value = QuotedValue(line, "XDG_DOCUMENTS_DIR");
    // A NUL would cut the path short wherever it is used.
    if (!value || value->find('\0') != std::string::npos) {
      continue;
    }
    // The last assignment wins, as when the shell reads the file.
    if (value->starts_with("$HOME/") || *value == "$HOME") {
      folder = std::string(home) + value->substr(5);
    } else if (value->starts_with("/")) {
      folder = *value;
    }
  }
  return folder;
}
