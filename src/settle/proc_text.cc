#include "settle/proc_text.h"

#include <algorithm>

namespace {

// The access mode bits of Linux's open flags, as fdinfo tells them in octal.
constexpr std::uint64_t kAccessModeMask = 03;
constexpr std::uint64_t kWriteOnly = 01;
constexpr std::uint64_t kReadWrite = 02;

// The value after "`key`:" on a line of `text`.
std::optional<std::uint64_t> Field(std::string_view text, std::string_view key, int base) {
  std::size_t line = 0;
  while (line < text.size()) {
    const std::size_t end = std::min(text.find('\n', line), text.size());
    const std::string_view current = text.substr(line, end - line);
    if (current.size() > key.size() && current.starts_with(key) && current[key.size()] == ':') {
      return ParseProcNumber(current.substr(key.size() + 1), base);
    }
    line = end + 1;
  }
  return std::nullopt;
}

// Only the start of each mountinfo line is kept: the mount ID, the parent's
// and major:minor come first, and no path can make a line cost memory.
constexpr std::size_t kLineStart = 64;

}  // namespace

bool IsProcNumber(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<std::uint64_t> ParseProcNumber(std::string_view text, int base) {
  std::size_t at = 0;
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
  if (at == text.size() || text[at] < '0' || text[at] >= '0' + base) return std::nullopt;
  std::uint64_t value = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] < '0' + base; ++at) {
    const auto digit = static_cast<std::uint64_t>(text[at] - '0');
    if (value > (UINT64_MAX - digit) / static_cast<std::uint64_t>(base)) return std::nullopt;
    value = value * static_cast<std::uint64_t>(base) + digit;
  }
  return value;
}

std::uint64_t LinuxDevice(std::uint64_t major_number, std::uint64_t minor_number) {
  return ((major_number & 0xFFFFF000) << 32) | ((major_number & 0xFFF) << 8) |
         ((minor_number & 0xFFFFFF00) << 12) | (minor_number & 0xFF);
}

DescriptionInfo ParseFdinfo(std::string_view text) {
  DescriptionInfo info;
  if (const auto flags = Field(text, "flags", 8)) {
    const std::uint64_t access = *flags & kAccessModeMask;
    info.for_writing = access == kWriteOnly || access == kReadWrite;
  }
  info.mount_id = Field(text, "mnt_id", 10);
  info.inode = Field(text, "ino", 10);
  return info;
}

void MountTable::Feed(std::string_view piece) {
  for (const char c : piece) {
    if (c == '\n') {
      AddLine(line_);
      line_.clear();
    } else if (line_.size() < kLineStart) {
      line_ += c;
    }
  }
}

void MountTable::EndText() {
  line_.clear();
  std::sort(mounts_.begin(), mounts_.end());
  mounts_.erase(std::unique(mounts_.begin(), mounts_.end()), mounts_.end());
}

std::optional<std::uint64_t> MountTable::DeviceOf(std::uint64_t mount_id) const {
  const auto found = std::lower_bound(mounts_.begin(), mounts_.end(),
                                      std::pair<std::uint64_t, std::uint64_t>{mount_id, 0});
  if (found == mounts_.end() || found->first != mount_id) return std::nullopt;
  return found->second;
}

// "36 35 98:0 / /mnt ..." gives mount 36 on device 98:0.
void MountTable::AddLine(std::string_view line) {
  const std::size_t first = line.find(' ');
  const std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
  if (second == std::string_view::npos) return;
  const std::string_view numbers = line.substr(second + 1);
  const std::size_t colon = numbers.find(':');
  const auto id = ParseProcNumber(line, 10);
  const auto major_number = ParseProcNumber(numbers, 10);
  if (!id || !major_number || colon == std::string_view::npos) return;
  const auto minor_number = ParseProcNumber(numbers.substr(colon + 1), 10);
  if (!minor_number) return;
  mounts_.emplace_back(*id, LinuxDevice(*major_number, *minor_number));
}

void WrittenFiles::Add(const FileIdentity& file) {
  files_.push_back(file);
  if (files_.size() >= 2 * distinct_ + 1024) Deduplicate();
}

std::vector<FileIdentity> WrittenFiles::Take() {
  Deduplicate();
  distinct_ = 0;
  return std::move(files_);
}

void WrittenFiles::Deduplicate() {
  std::sort(files_.begin(), files_.end());
  files_.erase(std::unique(files_.begin(), files_.end()), files_.end());
  distinct_ = files_.size();
}
