#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cwctype>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/extended_path.h"
#include "convert/file_io.h"
#include "convert/stamp_trust.h"
#include "convert/temporary_name.h"
#include "convert/unix_mounts.h"

namespace {

HANDLE Win32Handle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

NewFileWatch g_watch;

// A virus scanner or an indexer may hold the new file for a moment, so a
// refused move is tried again for about a second.
constexpr int kMoveAttempts = 10;
constexpr DWORD kMoveRetryDelayMs = 100;

std::wstring NextTemporaryNameFor(const std::wstring& path) {
  static std::atomic<std::uint32_t> counter{0};
  return TemporaryNameFor(path, GetCurrentProcessId(), counter++);
}

bool WriteAll(HANDLE file, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(file, data, chunk, &written, nullptr) || written == 0) {
      return false;
    }
    data += written;
    size -= written;
  }
  return true;
}

HANDLE CreateTemporaryFile(const std::wstring& path, std::wstring& temporary) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporary = NextTemporaryNameFor(path);
    const HANDLE file = CreateFileW(ExtendedLengthPath(temporary).c_str(), GENERIC_WRITE, 0,
                                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) {
      return file;
    }
  }
  return INVALID_HANDLE_VALUE;
}

// A read-only file is one the player wants kept as it is; a folder of that
// name can never be replaced, so neither is worth a try.
bool MayReplace(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(ExtendedLengthPath(path).c_str());
  return attributes == INVALID_FILE_ATTRIBUTES ||
         (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == 0;
}

// Written through, so that the new name is on the disk when the call returns.
bool MoveIntoPlace(const std::wstring& temporary, const std::wstring& path) {
  for (int attempt = 1;; ++attempt) {
    if (MoveFileExW(ExtendedLengthPath(temporary).c_str(), ExtendedLengthPath(path).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) {
      return true;
    }
    const DWORD error = GetLastError();
    if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) ||
        attempt == kMoveAttempts) {
      return false;
    }
    Sleep(kMoveRetryDelayMs);
  }
}

// Flushed before the move: after a power cut the name then holds the old
// contents or the new ones, never data that had not reached the disk.
bool WriteToDisk(HANDLE file, const void* data, std::size_t size) {
  return WriteAll(file, static_cast<const unsigned char*>(data), size) &&
         FlushFileBuffers(file) != 0;
}

// From the basic and the standard information, not the full one
// (GetFileInformationByHandle): that also asks for the volume's serial
// number, which costs Wine a round trip to another process for every call.
bool ReadStamp(HANDLE file, FileStamp& stamp, bool& directory) {
  FILE_BASIC_INFO basic;
  FILE_STANDARD_INFO standard;
  if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) ||
      !GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard)) {
    return false;
  }
  stamp = {standard.EndOfFile.QuadPart, basic.LastWriteTime.QuadPart, basic.ChangeTime.QuadPart};
  directory = standard.Directory != 0;
  return true;
}

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

InputFile::~InputFile() { Close(); }

bool InputFile::Open(const NativeString& path) {
  Close();
  // Every sharing mode, so that a file the game client keeps open (even for
  // writing) can still be read.
  const HANDLE file = CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  // Devices and pipes ("NUL", "CON", "\\.\pipe\...") are no settings files.
  FileStamp stamp;
  bool directory = false;
  if (GetFileType(file) != FILE_TYPE_DISK || !ReadStamp(file, stamp, directory) || directory) {
    CloseHandle(file);
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  stamp_ = stamp;
  return true;
}

FileStamp InputFile::CurrentStamp() const {
  FileStamp stamp;
  bool directory = false;
  if (handle_ == -1 || !ReadStamp(Win32Handle(handle_), stamp, directory)) {
    return {};
  }
  return stamp;
}

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

FileIdentity InputFile::Identity() const { return {}; }

std::int64_t NanosecondsSince(std::int64_t stamp_time) {
  FILETIME now_time;
  GetSystemTimeAsFileTime(&now_time);
  const std::int64_t now = static_cast<std::int64_t>(
      (std::uint64_t{now_time.dwHighDateTime} << 32) | now_time.dwLowDateTime);
  // In 100-nanosecond units; a time no file system gives (negative, or
  // millennia away) is held in range, so that nothing overflows.
  const std::int64_t then = std::clamp<std::int64_t>(stamp_time, 0, INT64_MAX / 2);
  constexpr std::int64_t kLimit = INT64_MAX / 100;
  return std::clamp<std::int64_t>(now - then, -kLimit, kLimit) * 100;
}

std::int64_t InputFile::ReadAt(std::int64_t offset, void* buffer, std::size_t size) {
  // A seek and plain reads, not reads at an OVERLAPPED offset: for those Wine
  // asks its server about a completion port after every read.
  LARGE_INTEGER position;
  position.QuadPart = offset;
  if (!SetFilePointerEx(Win32Handle(handle_), position, nullptr, FILE_BEGIN)) {
    return -1;
  }
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::size_t total = 0;
  while (total < size) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - total, 1u << 30));
    DWORD got = 0;
    if (!ReadFile(Win32Handle(handle_), bytes + total, chunk, &got, nullptr)) {
      return -1;
    }
    if (got == 0) {
      break;
    }
    total += got;
  }
  return static_cast<std::int64_t>(total);
}

void InputFile::Close() {
  if (handle_ != -1) {
    CloseHandle(Win32Handle(handle_));
    handle_ = -1;
    stamp_ = {};
  }
}

bool ReplaceFileContents(const NativeString& path, const void* data, std::size_t size) {
  if (!MayReplace(path)) {
    return false;
  }
  std::wstring temporary;
  const HANDLE file = CreateTemporaryFile(path, temporary);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  if (g_watch.made != nullptr) {
    g_watch.made(temporary);
  }
  const bool written = WriteToDisk(file, data, size);
  const bool closed = CloseHandle(file) != 0;
  const bool moved = written && closed && MoveIntoPlace(temporary, path);
  if (!moved) {
    DeleteFileW(ExtendedLengthPath(temporary).c_str());
  }
  if (g_watch.gone != nullptr) {
    g_watch.gone();
  }
  return moved;
}

void WatchNewFiles(const NewFileWatch& watch) { g_watch = watch; }
