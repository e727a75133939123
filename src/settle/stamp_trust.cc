#include "settle/stamp_trust.h"

#include <algorithm>
#include <array>
#include <cwctype>

namespace {

// Local file systems whose change time the kernel keeps from this machine's
// clock and no system call sets: a write, a chmod or a utimensat that dates
// the write time back all set it to now. By the type statfs gives and the
// name mountinfo gives it. Not overlay: a file it never copied up carries
// the times of its lower layer, which may be any file system (exFAT, a
// share), and its mount options do not reliably name every layer.
struct TrustedLinuxType {
  std::uint64_t type;
  std::string_view name;
};
constexpr std::array<TrustedLinuxType, 7> kTrustedLinuxTypes = {{
    {0xEF53, "ext2"},
    {0xEF53, "ext3"},
    {0xEF53, "ext4"},
    {0x58465342, "xfs"},
    {0x9123683E, "btrfs"},
    {0x01021994, "tmpfs"},
    {0xF2F52010, "f2fs"},
}};

// What FileFsDeviceInformation says of a share: its device type, or a
// characteristic that a redirector sets on any device it serves.
constexpr std::uint32_t kNetworkFileSystemDevice = 0x14;
constexpr std::uint32_t kRemoteDevice = 0x10;

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
StampTrust TrustOfWindowsVolume(std::uint32_t device_type, std::uint32_t characteristics,
                                std::wstring_view file_system_name) {
  if (device_type == kNetworkFileSystemDevice || (characteristics & kRemoteDevice) != 0) {
    return StampTrust::kUntrusted;
  }
  return EqualIgnoringCase(file_system_name, L"NTFS") ||
                 EqualIgnoringCase(file_system_name, L"ReFS")
             ? StampTrust::kTrusted
             : StampTrust::kUntrusted;
}
