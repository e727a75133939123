#include <windows.h>

#include <algorithm>
#include <cstdint>

#include "base/extended_path.h"
#include "settle/input_file.h"
#include "settle/open_writers.h"
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
using QueryInformationFile = LONG(WINAPI*)(HANDLE, IoStatus*, void*, ULONG, int);
constexpr int kFileInternalInformation = 6;

struct UnicodeText {
  USHORT length;
  USHORT maximum_length;
  wchar_t* buffer;
};
struct ObjectAttributes {
  ULONG length;
  HANDLE root_directory;
  UnicodeText* object_name;
  ULONG attributes;
  void* security_descriptor;
  void* security_quality_of_service;
};
using CreateFileFunction = LONG(WINAPI*)(HANDLE*, ACCESS_MASK, ObjectAttributes*, IoStatus*,
                                         LARGE_INTEGER*, ULONG, ULONG, ULONG, ULONG, void*, ULONG);
constexpr ULONG kObjectCaseInsensitive = 0x40;
constexpr ULONG kFileOpen = 1;
constexpr ULONG kFileSynchronousIoNonAlert = 0x20;
constexpr ULONG kFileNonDirectoryFile = 0x40;

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

}  // namespace

InputFile::~InputFile() { Close(); }

InputFolder::~InputFolder() {
  if (handle_ != -1) CloseHandle(Win32Handle(handle_));
}

// Every sharing mode: the folder can still be renamed or removed.
bool InputFolder::Open(const NativeString& path) {
  const HANDLE folder = CreateFileW(ExtendedLengthPath(path).c_str(),
                                    FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) {
    return false;
  }
  if (handle_ != -1) CloseHandle(Win32Handle(handle_));
  handle_ = reinterpret_cast<std::intptr_t>(folder);
  return true;
}

bool InputFile::Open(const NativeString& path) {
  Close();
  // Every sharing mode, so that a file the game client keeps open (even for
  // writing) can still be read.
  const HANDLE file = CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return file != INVALID_HANDLE_VALUE && Take(reinterpret_cast<std::intptr_t>(file));
}

// Relative to the folder's handle, which only ntdll's NtCreateFile opens
// by; with what CreateFileW asks for above.
bool InputFile::Open(const InputFolder& folder, const NativeString& name) {
  Close();
  static const auto create = reinterpret_cast<CreateFileFunction>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtCreateFile")));
  constexpr std::size_t kLongestName = 0x7FFF;
  if (create == nullptr || folder.handle_ == -1 || name.empty() || name.size() > kLongestName ||
      name.find_first_of(L"\\/") != NativeString::npos) {
    return false;
  }
  NativeString buffer = name;
  UnicodeText object_name = {static_cast<USHORT>(buffer.size() * sizeof(wchar_t)),
                             static_cast<USHORT>(buffer.size() * sizeof(wchar_t)), buffer.data()};
  ObjectAttributes attributes = {sizeof(ObjectAttributes),
                                 Win32Handle(folder.handle_),
                                 &object_name,
                                 kObjectCaseInsensitive,
                                 nullptr,
                                 nullptr};
  IoStatus io = {};
  HANDLE file = nullptr;
  if (create(&file, GENERIC_READ | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, kFileOpen,
             kFileNonDirectoryFile | kFileSynchronousIoNonAlert, nullptr, 0) < 0) {
    return false;
  }
  return Take(reinterpret_cast<std::intptr_t>(file));
}

bool InputFile::Take(std::intptr_t handle) {
  const HANDLE file = Win32Handle(handle);
  // Devices and pipes ("NUL", "CON", "\\.\pipe\...") are no settings files.
  FileStamp stamp;
  bool directory = false;
  if (GetFileType(file) != FILE_TYPE_DISK || !ReadStamp(file, stamp, directory) || directory) {
    CloseHandle(file);
    return false;
  }
  handle_ = handle;
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

// Wine gives a file's Linux inode number as its index number; on Windows
// itself no census names files, so none is asked for.
std::uint64_t InputFile::InodeNumber() const {
  static const auto query =
      IsWineOnLinux()
          ? reinterpret_cast<QueryInformationFile>(reinterpret_cast<void (*)()>(
                GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile")))
          : nullptr;
  IoStatus io = {};
  LARGE_INTEGER index = {};
  if (handle_ == -1 || query == nullptr ||
      query(Win32Handle(handle_), &io, &index, sizeof index, kFileInternalInformation) < 0) {
    return 0;
  }
  return static_cast<std::uint64_t>(index.QuadPart);
}

FileIdentity InputFile::Identity() const {
  FileIdentity identity;
  const std::uint64_t inode = InodeNumber();
  if (inode == 0 || !WineOpenFileIdentity(inode, identity)) {
    return {};
  }
  return identity;
}

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
