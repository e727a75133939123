#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "convert/file_io.h"

namespace {

HANDLE Win32Handle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// A name beside `path` that no other run or file is likely to use, and that
// never looks like a settings file.
std::wstring TemporaryNameFor(const std::wstring& path) {
  static std::atomic<unsigned> counter{0};
  return path + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++) +
         L".part";
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
    temporary = TemporaryNameFor(path);
    const HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) {
      return file;
    }
  }
  return INVALID_HANDLE_VALUE;
}

}  // namespace

InputFile::~InputFile() { Close(); }

bool InputFile::Open(const NativeString& path) {
  Close();
  // Every sharing mode, so that a file the game client keeps open (even for
  // writing) can still be read.
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  // Devices and pipes ("NUL", "CON", "\\.\pipe\...") are no settings files.
  // The standard information is all that is needed: the full one also asks
  // for the volume's serial number, which costs Wine a round trip to another
  // process for every file.
  FILE_STANDARD_INFO information;
  if (GetFileType(file) != FILE_TYPE_DISK ||
      !GetFileInformationByHandleEx(file, FileStandardInfo, &information, sizeof information) ||
      information.Directory) {
    CloseHandle(file);
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  size_ = information.EndOfFile.QuadPart;
  return true;
}

std::size_t InputFile::ReadAt(std::int64_t offset, void* buffer, std::size_t size) {
  // A seek and plain reads, not reads at an OVERLAPPED offset: for those Wine
  // asks its server about a completion port after every read.
  LARGE_INTEGER position;
  position.QuadPart = offset;
  if (!SetFilePointerEx(Win32Handle(handle_), position, nullptr, FILE_BEGIN)) {
    return 0;
  }
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::size_t total = 0;
  while (total < size) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - total, 1u << 30));
    DWORD got = 0;
    if (!ReadFile(Win32Handle(handle_), bytes + total, chunk, &got, nullptr) || got == 0) {
      break;
    }
    total += got;
  }
  return total;
}

void InputFile::Close() {
  if (handle_ != -1) {
    CloseHandle(Win32Handle(handle_));
    handle_ = -1;
    size_ = -1;
  }
}

bool ReplaceFileContents(const NativeString& path, const void* data, std::size_t size) {
  std::wstring temporary;
  const HANDLE file = CreateTemporaryFile(path, temporary);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  const bool written = WriteAll(file, static_cast<const unsigned char*>(data), size);
  const bool closed = CloseHandle(file) != 0;
  if (written && closed &&
      MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0) {
    return true;
  }
  DeleteFileW(temporary.c_str());
  return false;
}
