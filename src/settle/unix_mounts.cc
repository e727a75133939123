#include "settle/unix_mounts.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <system_error>

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

bool ParseId(std::string_view field, std::uint64_t& id) {
  const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), id);
  return error == std::errc() && end == field.data() + field.size();
}

// The root mount lies on no listed mount (or, as in the first mount
// namespace, on itself) and at "/".
const UnixMount* RootMount(const std::vector<UnixMount>& mounts) {
  const UnixMount* root = nullptr;
  for (const UnixMount& mount : mounts) {
    const bool on_listed =
        mount.parent_id != mount.id &&
        std::ranges::find(mounts, mount.parent_id, &UnixMount::id) != mounts.end();
    if (!on_listed && mount.mount_point == "/") {
      if (root != nullptr) return nullptr;
      root = &mount;
    }
  }
  return root;
}

// A path with an empty, "." or ".." step names its file in a way that no
// mount's folder is written, so no mount could be found for it soundly.
bool IsPlainAbsolute(std::string_view path) {
  if (!path.starts_with('/')) return false;
  if (path == "/") return true;
  path.remove_prefix(1);
  while (true) {
    const std::size_t end = std::min(path.find('/'), path.size());
    const std::string_view step = path.substr(0, end);
    if (step.empty() || step == "." || step == "..") return false;
    if (end == path.size()) return true;
    path.remove_prefix(end + 1);
  }
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
    if (type.empty() || !ParseId(fields[0], mount.id) || !ParseId(fields[1], mount.parent_id) ||
        !Unescape(fields[4], mount.mount_point) || !mount.mount_point.starts_with('/')) {
      continue;
    }
    mount.type = type;
    mounts.push_back(std::move(mount));
  }
  return mounts;
}

// Of the mounts on the one that holds `path` so far, the one on the highest
// folder on the way hides the others: a mount on a folder below was made
// before it (else it would lie on it), and one stacked on the same folder
// as another lies on that one, not beside it. Each step goes one mount
// deeper, so a table whose IDs form a loop ends after as many steps as it
// has mounts.
const UnixMount* MountHolding(const std::vector<UnixMount>& mounts, std::string_view path) {
  const UnixMount* holder = IsPlainAbsolute(path) ? RootMount(mounts) : nullptr;
  for (std::size_t step = 0; holder != nullptr && step < mounts.size(); ++step) {
    const UnixMount* above = nullptr;
    bool tied = false;
    for (const UnixMount& mount : mounts) {
      if (mount.parent_id != holder->id || &mount == holder || !IsWithin(path, mount.mount_point)) {
        continue;
      }
      if (above == nullptr || mount.mount_point.size() < above->mount_point.size()) {
        above = &mount;
        tied = false;
      } else if (mount.mount_point.size() == above->mount_point.size()) {
        tied = true;
      }
    }
    if (above == nullptr) return holder;
    if (tied) return nullptr;
    holder = above;
  }
  return nullptr;
}
