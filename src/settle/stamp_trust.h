#pragma once

#include <cstdint>
#include <string_view>

#include "settle/input_file.h"

/// The trust that a Linux file system's stamps earn, by the type that
/// statfs gives (f_type). Also asked by the Windows program under Wine,
/// whose files lie on Linux file systems.
StampTrust TrustOfLinuxFileSystem(std::uint64_t type);

/// The same choice by the type's name in /proc/self/mountinfo ("ext4",
/// "fuseblk", ...), which is all that the Windows program under Wine sees.
StampTrust TrustOfLinuxFileSystemName(std::string_view type);

/// The trust that a Windows volume's stamps earn, by what the volume says of
/// itself: its device type and characteristics (FileFsDeviceInformation)
/// and the name of its file system ("NTFS", "FAT32", ...).
StampTrust TrustOfWindowsVolume(std::uint32_t device_type, std::uint32_t characteristics,
                                std::wstring_view file_system_name);
