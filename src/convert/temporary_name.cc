#include "convert/temporary_name.h"

#include <string>
#include <string_view>

namespace {

// Moves `at` past `literal`; false when the name differs there.
bool Skip(const NativeString& name, std::size_t& at, std::string_view literal) {
  for (const char c : literal) {
    if (at >= name.size() || name[at] != static_cast<NativeChar>(c)) {
      return false;
    }
    ++at;
  }
  return true;
}

// Reads 1 to `max_digits` decimal digits at `at`; false when there are none
// or more.
bool ReadNumber(const NativeString& name, std::size_t& at, std::size_t max_digits,
                std::uint64_t& value) {
  const std::size_t start = at;
  value = 0;
  while (at < name.size() && name[at] >= '0' && name[at] <= '9') {
    if (at - start == max_digits) {
      return false;
    }
    value = value * 10 + static_cast<std::uint64_t>(name[at] - '0');
    ++at;
  }
  return at > start;
}

constexpr std::size_t kMaxIdDigits = 19;
constexpr std::size_t kMaxUint32Digits = 10;
constexpr std::uint64_t kMaxUint32 = 0xFFFFFFFF;

}  // namespace

NativeString TemporaryNameFor(const NativeString& path, std::uint32_t pid, std::uint32_t counter) {
  std::string suffix = ".";
  suffix.append(std::to_string(pid)).append("-").append(std::to_string(counter)).append(".part");
  return path + Native(suffix);
}

std::optional<std::uint32_t> TemporaryFileOwner(const NativeString& name) {
  std::size_t at = 0;
  std::uint64_t id = 0;
  std::uint64_t pid = 0;
  std::uint64_t counter = 0;
  if (!Skip(name, at, "ui.")) {
    return std::nullopt;
  }
  if (at < name.size() && name[at] == '-') {
    ++at;
  }
  const bool matches = ReadNumber(name, at, kMaxIdDigits, id) && Skip(name, at, ".xml.") &&
                       ReadNumber(name, at, kMaxUint32Digits, pid) && Skip(name, at, "-") &&
                       ReadNumber(name, at, kMaxUint32Digits, counter) && Skip(name, at, ".part") &&
                       at == name.size();
  if (!matches || pid == 0 || pid > kMaxUint32 || counter > kMaxUint32) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(pid);
}

bool IsTemporaryName(const NativeString& name) { return TemporaryFileOwner(name).has_value(); }
