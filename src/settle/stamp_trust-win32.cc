#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cwctype>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/extended_path.h"
#include "settle/input_file.h"
#include "settle/stamp_trust.h"
#include "settle/unix_mounts.h"
#include "settle/wine_system.h"

namespace {

HANDLE Win32Handle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// ntdll's, looked up at run time: the program imports only DLLs that every
// Windows ships under the names it links against.
struct IoStatus {
  union {
    LONG status;
    void* pointer;
  };
  ULONG_PTR information;
};
using QueryVolumeInformation = LONG(WINAPI*)(HANDLE, IoStatus*, void*, ULONG, int);
constexpr int kFileFsDeviceInformation = 4;
constexpr int kFileFsAttributeInformation = 5;

struct FsDeviceInformation {
  DWORD device_type;
  ULONG characteristics;
};

struct FsAttributeInformation {
  ULONG attributes;
  LONG longest_name;
  ULONG name_bytes;
  wchar_t name[32];
};

// Through void (*)(), the type that stands for any function.
template <typename Function>
Function ExportedFunction(const wchar_t* module, const char* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(module), name)));
}

// Straight from the volume, not by GetVolumeInformationByHandleW, which also
// asks for the label and the serial number; a name too long for the buffer
// is no NTFS nor ReFS.
StampTrust TrustOfVolume(HANDLE file) {
  static const auto query =
      ExportedFunction<QueryVolumeInformation>(L"ntdll.dll", "NtQueryVolumeInformationFile");
  IoStatus io = {};
  FsDeviceInformation device = {};
  FsAttributeInformation attribute = {};
  if (query == nullptr || query(file, &io, &device, sizeof device, kFileFsDeviceInformation) < 0 ||
      query(file, &io, &attribute, sizeof attribute, kFileFsAttributeInformation) < 0) {
    return StampTrust::kUntrusted;
  }
  const std::size_t name_length =
      std::min<std::size_t>(attribute.name_bytes / sizeof(wchar_t), std::size(attribute.name));
  return TrustOfWindowsVolume(device.device_type, device.characteristics,
                              std::wstring_view(attribute.name, name_length));
}

enum class System { kWindows, kWineOnLinux, kWineElsewhere };

// What the program learns once per run of the system it runs on.
struct RunningSystem {
  System system = System::kWindows;
  HANDLE mount_table = INVALID_HANDLE_VALUE;  ///< Under Wine on Linux.
  wchar_t root_drive = 0;                     ///< The drive whose root is "/", if any.
};

// The drive letter that wine_get_dos_file_name gives the Unix root: Wine
// looks only at "/" and at each drive's own root for it.
wchar_t RootDrive() {
  using DosFileName = WCHAR*(CDECL*)(const char* unix_path);
  const auto dos_file_name =
      ExportedFunction<DosFileName>(L"kernel32.dll", "wine_get_dos_file_name");
  WCHAR* root = dos_file_name == nullptr ? nullptr : dos_file_name("/");
  if (root == nullptr) {
    return 0;
  }
  std::wstring_view name = root;
  if (name.starts_with(L"\\\\?\\")) {
    name.remove_prefix(4);
  }
  const wchar_t drive = name.size() == 3 && name.substr(1) == L":\\"
                            ? static_cast<wchar_t>(std::towupper(name[0]))
                            : 0;
  HeapFree(GetProcessHeap(), 0, root);
  return drive;
}

// Wine calls every volume NTFS and no share remote, so under Wine on Linux
// the file system is found from the Linux side instead. Wine is known by
// the Linux mount table that only it opens through a "\\?\unix\" path, as
// well as by its exports, which it can hide from programs; Wine on another
// system earns no trust, as no Linux file system table applies there.
RunningSystem LearnRunningSystem() {
  RunningSystem running;
  running.mount_table = CreateFileW(L"\\\\?\\unix\\proc\\self\\mountinfo", GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (running.mount_table != INVALID_HANDLE_VALUE) {
    running.system = System::kWineOnLinux;
    running.root_drive = RootDrive();
    return running;
  }
  const HANDLE unix_root = CreateFileW(L"\\\\?\\unix\\", 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (unix_root != INVALID_HANDLE_VALUE) {
    CloseHandle(unix_root);
    running.system = System::kWineElsewhere;
  } else if (ExportedFunction<void (*)()>(L"ntdll.dll", "wine_get_version") != nullptr) {
    running.system = System::kWineElsewhere;
  }
  return running;
}

const RunningSystem& Running() {
  static const RunningSystem running = LearnRunningSystem();
  return running;
}

// The mount table as it is now, read again from its start through the
// handle kept open, so that a mount made during the run shows: about as
// cheap as the kernel's making of the text. Read to its end, since the
// kernel gives it a page at a time.
std::string ReadMountTable(HANDLE table) {
  static SRWLOCK lock = SRWLOCK_INIT;
  std::string text;
  AcquireSRWLockExclusive(&lock);
  LARGE_INTEGER start = {};
  if (SetFilePointerEx(table, start, nullptr, FILE_BEGIN)) {
    char buffer[16384];
    DWORD got = 0;
    while (ReadFile(table, buffer, sizeof buffer, &got, nullptr) && got > 0) {
      text.append(buffer, got);
    }
  }
  ReleaseSRWLockExclusive(&lock);
  return text;
}

// The Unix path of a file whose final path lies on the drive whose root is
// "/": the rest of its final path. Empty for any other drive: Wine names a
// file there from the drive's own folder (the prefix's drive_c for C:),
// which cannot be placed on a mount without a look at the folders above it.
// Empty too where Wine stood in a private character for one that Windows
// names cannot hold.
std::string UnixPathOf(std::wstring_view final_path, wchar_t root_drive) {
  if (!final_path.starts_with(L"\\\\?\\") || final_path.size() < 7 || root_drive == 0 ||
      std::towupper(final_path[4]) != root_drive || final_path.substr(5, 2) != L":\\") {
    return {};
  }
  std::wstring rest(final_path.substr(7));
  for (wchar_t& c : rest) {
    if (c >= 0xF000 && c <= 0xF0FF) return {};
    if (c == L'\\') c = L'/';
  }
  std::string path(rest.size() * 3 + 1, '\0');
  const int length = rest.empty()
                         ? 0
                         : WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, rest.data(),
                                               static_cast<int>(rest.size()), path.data() + 1,
                                               static_cast<int>(path.size() - 1), nullptr, nullptr);
  if (!rest.empty() && length <= 0) {
    return {};
  }
  path[0] = '/';
  path.resize(1 + static_cast<std::size_t>(length));
  return path;
}

// The file's own final path (every link followed) as a Unix path, then the
// mount that holds it in the mount table as it is after the file was opened.
// Nothing but the file's own path is looked at: no other mount's folder,
// which a dead network or FUSE mount would block. What this cannot see: the
// table and the final path are the Wine server's (it opens both), which
// shares the program's mount namespace unless a launcher puts them apart;
// and a file on a drive other than the root's (C:, where Proton keeps the
// documents) earns no trust.
StampTrust TrustUnderWine(HANDLE file, const RunningSystem& running) {
  const std::string path = UnixPathOf(FinalPathOf(file), running.root_drive);
  const std::vector<UnixMount> mounts = ParseMountInfo(ReadMountTable(running.mount_table));
  const UnixMount* mount = MountHolding(mounts, path);
  return mount != nullptr ? TrustOfLinuxFileSystemName(mount->type) : StampTrust::kUntrusted;
}

}  // namespace

bool IsWineOnLinux() { return Running().system == System::kWineOnLinux; }

StampTrust InputFile::Trust() const {
  if (handle_ == -1) {
    return StampTrust::kUntrusted;
  }
  const RunningSystem& running = Running();
  switch (running.system) {
    case System::kWindows:
      return TrustOfVolume(Win32Handle(handle_));
    case System::kWineOnLinux:
      return TrustUnderWine(Win32Handle(handle_), running);
    case System::kWineElsewhere:
      break;
  }
  return StampTrust::kUntrusted;
}
