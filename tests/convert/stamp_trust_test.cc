#include "convert/stamp_trust.h"

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
      {0x794C7630, "overlay", StampTrust::kTrusted},   {0x4d44, "vfat", StampTrust::kUntrusted},
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
  for (const char* name : {"ext2", "ext3", "ext4", "xfs", "btrfs", "tmpfs", "f2fs", "overlay"}) {
    EXPECT_EQ(TrustOfLinuxFileSystemName(name), StampTrust::kTrusted) << name;
  }
  for (const char* name : {"vfat", "exfat", "fuseblk", "fuse", "fuse.sshfs", "cifs", "smb3", "nfs",
                           "nfs4", "9p", "ext4x", "Ext4", ""}) {
    EXPECT_EQ(TrustOfLinuxFileSystemName(name), StampTrust::kUntrusted) << name;
  }
}

struct VolumeCase {
  std::wstring_view name;
  bool remote;
  StampTrust trust;
};

TEST(StampTrustTest, OnlyLocalNtfsAndRefsVolumesAreTrusted) {
  const VolumeCase cases[] = {
      {L"NTFS", false, StampTrust::kTrusted},    {L"ntfs", false, StampTrust::kTrusted},
      {L"ReFS", false, StampTrust::kTrusted},    {L"FAT32", false, StampTrust::kUntrusted},
      {L"exFAT", false, StampTrust::kUntrusted}, {L"NTFS", true, StampTrust::kUntrusted},
      {L"NTFSX", false, StampTrust::kUntrusted}, {L"", false, StampTrust::kUntrusted},
  };
  for (const VolumeCase& c : cases) {
    EXPECT_EQ(TrustOfWindowsVolume(c.name, c.remote), c.trust)
        << std::string(c.name.begin(), c.name.end()) << (c.remote ? " remote" : "");
  }
}

}  // namespace
