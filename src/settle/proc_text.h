#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "settle/input_file.h"

// The texts of Linux's /proc that the census of open writers reads, parsed
// alike by the Linux program and by the Windows program under Wine, which
// reads them through Wine's Unix paths.

/// Whether `text` is a decimal number without sign: a process or descriptor
/// folder's name.
bool IsProcNumber(std::string_view text);

/// The decimal (`base` 10) or octal (8) number at the start of `text`, after
/// blanks; nothing when there is none or it overflows.
std::optional<std::uint64_t> ParseProcNumber(std::string_view text, int base);

/// The device number that glibc's makedev gives a major and a minor number:
/// what stat tells as st_dev.
std::uint64_t LinuxDevice(std::uint64_t major_number, std::uint64_t minor_number);

/// What the fdinfo text of one open file description says.
struct DescriptionInfo {
  bool for_writing = true;  ///< Opened O_WRONLY or O_RDWR; so too when no flags are told.
  std::optional<std::uint64_t> mount_id;
  std::optional<std::uint64_t> inode;  ///< Told from Linux 5.14 on.
};

/// Parses the start of a /proc/<pid>/fdinfo/<n> text ("pos:", "flags:",
/// "mnt_id:", "ino:" lines).
DescriptionInfo ParseFdinfo(std::string_view text);

/// Mount IDs, which are unique across mount namespaces, to devices, from
/// mountinfo texts fed in pieces of any size.
class MountTable {
 public:
  /// Takes the next piece of a mountinfo text.
  void Feed(std::string_view piece);
  /// Ends one mountinfo text; its mounts can be looked up from then on.
  void EndText();
  std::optional<std::uint64_t> DeviceOf(std::uint64_t mount_id) const;

 private:
  void AddLine(std::string_view line);

  std::string line_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> mounts_;
};

/// The files a census found held for writing, each once, sorted on Take.
/// Many processes hold the same files (a terminal, a log): duplicates are
/// dropped as they pile up, so memory follows the distinct files.
class WrittenFiles {
 public:
  void Add(const FileIdentity& file);
  std::vector<FileIdentity> Take();

 private:
  void Deduplicate();

  std::vector<FileIdentity> files_;
  std::size_t distinct_ = 0;
};
