#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "base/extended_path.h"
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
    const HANDLE file = CreateFileW(ExtendedLengthPath(temporary).c_str(), GENERIC_WRITE, 0,
                                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
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
  const HANDLE file = CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  // Devices and pipes ("NUL", "CON", "\\.\pipe\...") are no settings files.
  BY_HANDLE_FILE_INFORMATION information;
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &information) ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    CloseHandle(file);
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  size_ = static_cast<std::int64_t>((static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) |
                                    information.nFileSizeLow);
  return true;
}

std::size_t InputFile::ReadAt(std::int64_t offset, void* buffer, std::size_t size) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::size_t total = 0;
  while (total < size) {
    const std::uint64_t position = static_cast<std::uint64_t>(offset) + total;
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(position & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(position >> 32);
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - total, 1u << 30));
    DWORD got = 0;
    if (!ReadFile(Win32Handle(handle_), bytes + total, chunk, &got, &at) || got == 0) {
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
      MoveFileExW(ExtendedLengthPath(temporary).c_str(), ExtendedLengthPath(path).c_str(),
                  MOVEFILE_REPLACE_EXISTING) != 0) {
    return true;
  }
  DeleteFileW(ExtendedLengthPath(temporary).c_str());
  return false;
}
