#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
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
constexpr ULONG kRemoteDevice = 0x10;
constexpr DWORD kNetworkFileSystemDevice = 0x14;

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
Function NtdllFunction(const char* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
}

// Straight from the volume, not by GetVolumeInformationByHandleW, which also
// asks for the label and the serial number; a name too long for the buffer
// is no NTFS nor ReFS.
StampTrust TrustOfVolume(HANDLE file) {
  static const auto query = NtdllFunction<QueryVolumeInformation>("NtQueryVolumeInformationFile");
  IoStatus io = {};
  FsDeviceInformation device = {};
  FsAttributeInformation attribute = {};
  if (query == nullptr || query(file, &io, &device, sizeof device, kFileFsDeviceInformation) < 0 ||
      query(file, &io, &attribute, sizeof attribute, kFileFsAttributeInformation) < 0) {
    return StampTrust::kUntrusted;
  }
  const bool remote = (device.characteristics & kRemoteDevice) != 0 ||
                      device.device_type == kNetworkFileSystemDevice;
  const std::size_t name_length =
      std::min<std::size_t>(attribute.name_bytes / sizeof(wchar_t), std::size(attribute.name));
  return TrustOfWindowsVolume(std::wstring_view(attribute.name, name_length), remote);
}

enum class System { kWindows, kWineOnLinux, kWineElsewhere };

// Wine calls every volume NTFS and no share remote; under Wine on Linux the
// file system is found from the Linux side instead. Wine on another system
// earns no trust, as no Linux file system table applies there.
System RunningSystem() {
  static const System system = [] {
    using HostVersion = void(CDECL*)(const char** system, const char** release);
    if (NtdllFunction<void (*)()>("wine_get_version") == nullptr) {
      return System::kWindows;
    }
    const auto host_version = NtdllFunction<HostVersion>("wine_get_host_version");
    const char* host = nullptr;
    const char* release = nullptr;
    if (host_version != nullptr) {
      host_version(&host, &release);
    }
    return host != nullptr && std::string_view(host) == "Linux" ? System::kWineOnLinux
                                                                : System::kWineElsewhere;
  }();
  return system;
}

std::string ReadWholeFile(const wchar_t* path) {
  std::string text;
  const HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return text;
  }
  char buffer[16384];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    text.append(buffer, got);
  }
  CloseHandle(file);
  return text;
}

// A mount of the Linux side, by the Windows path of its folder.
struct WineMount {
  std::wstring folder;
  std::string type;
};

std::vector<WineMount> ReadWineMounts() {
  std::vector<WineMount> mounts;
  using DosFileName = WCHAR*(CDECL*)(const char* unix_path);
  const auto dos_file_name = reinterpret_cast<DosFileName>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
  if (dos_file_name == nullptr) {
    return mounts;
  }
  for (UnixMount& mount : ParseMountInfo(ReadWholeFile(L"\\\\?\\unix\\proc\\self\\mountinfo"))) {
    WCHAR* folder = dos_file_name(mount.mount_point.c_str());
    if (folder != nullptr) {
      std::wstring path = folder;
      HeapFree(GetProcessHeap(), 0, folder);
      if (path.ends_with(L'\\')) {
        path.pop_back();
      }
      mounts.push_back({std::move(path), std::move(mount.type)});
    }
  }
  return mounts;
}

// Learnt once per run. The server of Wine reads mountinfo, in the same
// mount namespace.
const std::vector<WineMount>& WineMounts() {
  static const std::vector<WineMount> mounts = ReadWineMounts();
  return mounts;
}

// Wine names a file and a mount's folder alike by its Unix path with every
// link followed: as the drive whose root is the nearest folder above, and
// the rest. So the nearest folder on the file's way that is a mount's
// folder holds it, unless the drive's root lies inside a mount, above its
// folder: the path below a drive's root cannot show that mount, and the
// file earns no trust.
StampTrust TrustUnderWine(HANDLE file) {
  std::wstring path = FinalPathOf(file);
  if (!path.starts_with(L"\\\\?\\") || path.size() < 7 || path[5] != L':') {
    return StampTrust::kUntrusted;
  }
  path.erase(0, 4);
  const std::vector<WineMount>& mounts = WineMounts();
  while (path.size() >= 2) {
    const auto mount = std::ranges::find(mounts, path, &WineMount::folder);
    if (mount != mounts.end()) {
      return TrustOfLinuxFileSystemName(mount->type);
    }
    const std::size_t separator = path.rfind(L'\\');
    path.resize(separator == std::wstring::npos ? 0 : separator);
  }
  return StampTrust::kUntrusted;
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
  switch (RunningSystem()) {
    case System::kWindows:
      return TrustOfVolume(Win32Handle(handle_));
    case System::kWineOnLinux:
      return TrustUnderWine(Win32Handle(handle_));
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
