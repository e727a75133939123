#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>

#include "base/extended_path.h"
#include "convert/replace_file.h"
#include "convert/temporary_name.h"

namespace {

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

void TellGone(const std::wstring& temporary) {
  if (g_watch.gone != nullptr) {
    g_watch.gone(temporary);
  }
}

}  // namespace

// Handles are not counted against a limit of the process.
std::size_t OutputGroup::MaxOpenFiles() { return SIZE_MAX; }

OutputGroup::~OutputGroup() {
  for (const NewFile& file : files_) {
    Remove(file);
  }
}

void OutputGroup::Remove(const NewFile& file) {
  CloseHandle(reinterpret_cast<HANDLE>(file.handle));
  DeleteFileW(ExtendedLengthPath(file.temporary).c_str());
  TellGone(file.temporary);
}

bool OutputGroup::Write(const NativeString& path, const void* data, std::size_t size) {
  if (!MayReplace(path)) {
    return false;
  }
  std::wstring temporary;
  const HANDLE handle = CreateTemporaryFile(path, temporary);
  if (handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  if (g_watch.made != nullptr) {
    g_watch.made(temporary);
  }
  NewFile file{std::move(temporary), path, reinterpret_cast<std::intptr_t>(handle)};
  if (!WriteToDisk(handle, data, size)) {
    Remove(file);
    return false;
  }
  files_.push_back(std::move(file));
  bytes_ += size;
  return true;
}

// Each new file was flushed as it was written; each move is written through.
// No call that needs no administrator flushes a folder on Windows.
std::vector<bool> OutputGroup::Commit() {
  std::vector<NewFile> files;
  files.swap(files_);
  bytes_ = 0;
  std::vector<bool> placed(files.size(), false);
  // In the order written, so that of two new files for one output the later
  // stays.
  for (std::size_t k = 0; k < files.size(); ++k) {
    const NewFile& file = files[k];
    placed[k] = CloseHandle(reinterpret_cast<HANDLE>(file.handle)) != 0 &&
                MoveIntoPlace(file.temporary, file.path);
    if (!placed[k]) {
      DeleteFileW(ExtendedLengthPath(file.temporary).c_str());
    }
    TellGone(file.temporary);
  }
  return placed;
}

void WatchNewFiles(const NewFileWatch& watch) { g_watch = watch; }
