#include "settle/stamp_trust.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>

namespace {

struct LinuxTypeCase {
  std::uint64_t type;
  const char* name;
  StampTrust trust;
};

TEST(StampTrustTest, OnlyLocalLinuxFileSystemsThatKeepTheirOwnChangeTimeAreTrusted) {
  const LinuxTypeCase cases[] = {
      {0xEF53, "ext4", StampTrust::kTrusted},          {0x01021994, "tmpfs", StampTrust::kTrusted},
      {0x58465342, "xfs", StampTrust::kTrusted},       {0x9123683E, "btrfs", StampTrust::kTrusted},
      {0x794C7630, "overlay", StampTrust::kUntrusted}, {0x4d44, "vfat", StampTrust::kUntrusted},
      {0x2011BAB0, "exfat", StampTrust::kUntrusted},   {0x65735546, "fuse", StampTrust::kUntrusted},
      {0xFF534D42, "cifs", StampTrust::kUntrusted},    {0xFE534D42, "smb2", StampTrust::kUntrusted},
      {0x6969, "nfs", StampTrust::kUntrusted},         {0x01021997, "9p", StampTrust::kUntrusted},
      {0x12345678, "unknown", StampTrust::kUntrusted},
  };
  for (const LinuxTypeCase& c : cases) {
    EXPECT_EQ(TrustOfLinuxFileSystem(c.type), c.trust) << c.name;
  }
}

TEST(StampTrustTest, ByNameOnlyTheSameLinuxFileSystemsAreTrusted) {
  for (const char* name : {"ext2", "ext3", "ext4", "xfs", "btrfs", "tmpfs", "f2fs"}) {
    EXPECT_EQ(TrustOfLinuxFileSystemName(name), StampTrust::kTrusted) << name;
  }
  for (const char* name : {"overlay", "vfat", "exfat", "fuseblk", "fuse", "fuse.sshfs", "cifs",
                           "smb3", "nfs", "nfs4", "9p", "ext4x", "Ext4", ""}) {
    EXPECT_EQ(TrustOfLinuxFileSystemName(name), StampTrust::kUntrusted) << name;
  }
}

// What FileFsDeviceInformation and FileFsAttributeInformation answer: the
// device type (7 a disk, 0x14 a network file system), the characteristics
// (0x1 removable, 0x10 remote, 0x20 mounted) and the file system's name.
struct VolumeCase {
  const char* what;
  std::uint32_t device_type;
  std::uint32_t characteristics;
  std::wstring_view name;
  StampTrust trust;
};

TEST(StampTrustTest, OnlyLocalNtfsAndRefsVolumesAreTrusted) {
  const VolumeCase cases[] = {
      {"local NTFS", 0x07, 0x20, L"NTFS", StampTrust::kTrusted},
      {"NTFS in other case", 0x07, 0x00, L"ntfs", StampTrust::kTrusted},
      {"removable NTFS", 0x07, 0x21, L"NTFS", StampTrust::kTrusted},
      {"ReFS", 0x07, 0x20, L"ReFS", StampTrust::kTrusted},
      {"FAT32", 0x07, 0x20, L"FAT32", StampTrust::kUntrusted},
      {"exFAT", 0x07, 0x21, L"exFAT", StampTrust::kUntrusted},
      {"NTFS with the remote flag", 0x07, 0x30, L"NTFS", StampTrust::kUntrusted},
      {"NTFS on a network file system", 0x14, 0x00, L"NTFS", StampTrust::kUntrusted},
      {"a share", 0x14, 0x10, L"NTFS", StampTrust::kUntrusted},
      {"unknown name", 0x07, 0x20, L"NTFSX", StampTrust::kUntrusted},
      {"no name", 0x07, 0x20, L"", StampTrust::kUntrusted},
  };
  for (const VolumeCase& c : cases) {
    EXPECT_EQ(TrustOfWindowsVolume(c.device_type, c.characteristics, c.name), c.trust) << c.what;
  }
}

}  // namespace
