#include <windows.h>

#include <algorithm>
#include <cstdint>

#include "base/extended_path.h"
#include "settle/input_file.h"

namespace {

HANDLE Win32Handle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

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
