#include "convert/stamp_trust.h"

#include <algorithm>
#include <array>
#include <cwctype>

namespace {

// Local file systems whose change time the kernel keeps from this machine's
// clock and no system call sets: a write, a chmod or a utimensat that dates
// the write time back all set it to now. By the type statfs gives and the
// name mountinfo gives it.
struct TrustedLinuxType {
  std::uint64_t type;
  std::string_view name;
};
constexpr std::array<TrustedLinuxType, 8> kTrustedLinuxTypes = {{
    {0xEF53, "ext2"},
    {0xEF53, "ext3"},
    {0xEF53, "ext4"},
    {0x58465342, "xfs"},
    {0x9123683E, "btrfs"},
    {0x01021994, "tmpfs"},
    {0xF2F52010, "f2fs"},
    {0x794C7630, "overlay"},  // The times of its upper or lower file system.
}};

bool EqualIgnoringCase(std::wstring_view a, std::wstring_view b) {
  return std::ranges::equal(a, b, [](wchar_t x, wchar_t y) {
    return std::towupper(static_cast<wint_t>(x)) == std::towupper(static_cast<wint_t>(y));
  });
}

}  // namespace

StampTrust TrustOfLinuxFileSystem(std::uint64_t type) {
  return std::ranges::find(kTrustedLinuxTypes, type, &TrustedLinuxType::type) !=
                 kTrustedLinuxTypes.end()
             ? StampTrust::kTrusted
             : StampTrust::kUntrusted;
}

StampTrust TrustOfLinuxFileSystemName(std::string_view type) {
  return std::ranges::find(kTrustedLinuxTypes, type, &TrustedLinuxType::name) !=
                 kTrustedLinuxTypes.end()
             ? StampTrust::kTrusted
             : StampTrust::kUntrusted;
}

// NTFS and ReFS keep a change time that the common copy and restore tools
// leave alone; FAT and exFAT keep none, and a share's times are its
// server's.
StampTrust TrustOfWindowsVolume(std::wstring_view file_system_name, bool remote) {
  if (remote) {
    return StampTrust::kUntrusted;
  }
  return EqualIgnoringCase(file_system_name, L"NTFS") ||
                 EqualIgnoringCase(file_system_name, L"ReFS")
             ? StampTrust::kTrusted
             : StampTrust::kUntrusted;
}
