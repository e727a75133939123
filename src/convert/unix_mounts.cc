#include "convert/unix_mounts.h"

#include <algorithm>
#include <array>

namespace {

std::string_view NextField(std::string_view& line) {
  const std::size_t start = line.find_first_not_of(' ');
  if (start == std::string_view::npos) {
    line = {};
    return {};
  }
  line.remove_prefix(start);
  const std::size_t end = std::min(line.find(' '), line.size());
  const std::string_view field = line.substr(0, end);
  line.remove_prefix(end);
  return field;
}

// mountinfo writes a blank, a tab, a line end and a backslash of a path as
// three octal digits after a backslash.
bool Unescape(std::string_view field, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\') {
      out += field[i];
      continue;
    }
    if (i + 3 >= field.size()) {
      return false;
    }
    unsigned value = 0;
    for (std::size_t digit = i + 1; digit <= i + 3; ++digit) {
      if (field[digit] < '0' || field[digit] > '7') {
        return false;
      }
      value = value * 8 + static_cast<unsigned>(field[digit] - '0');
    }
    if (value == 0 || value > 0xFF) {
      return false;
    }
    out += static_cast<char>(value);
    i += 3;
  }
  return !out.empty();
}

// Whether `path` is `folder` or lies within it.
bool IsWithin(std::string_view path, std::string_view folder) {
  if (folder == "/") {
    return path.starts_with('/');
  }
  return path.starts_with(folder) && (path.size() == folder.size() || path[folder.size()] == '/');
}

}  // namespace

std::vector<UnixMount> ParseMountInfo(std::string_view text) {
  std::vector<UnixMount> mounts;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    // ID, parent ID, device, root, mount point, options, optional fields up
    // to "-", then the type.
    std::array<std::string_view, 5> fields;
    for (std::string_view& field : fields) field = NextField(line);
    std::string_view field = NextField(line);
    while (!field.empty() && field != "-") field = NextField(line);
    const std::string_view type = NextField(line);
    UnixMount mount;
    if (fields[4].empty() || type.empty() || !Unescape(fields[4], mount.mount_point) ||
        !mount.mount_point.starts_with('/')) {
      continue;
    }
    std::erase_if(
        mounts, [&](const UnixMount& old) { return IsWithin(old.mount_point, mount.mount_point); });
    mount.type = type;
    mounts.push_back(std::move(mount));
  }
  return mounts;
}
