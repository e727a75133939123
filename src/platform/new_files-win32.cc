#include <windows.h>

#include <string>

#include "base/extended_path.h"
#include "platform/new_files.h"

namespace {

// Held from NewFileMade to NewFileGone. A console control handler runs on a
// thread of its own: taking this lock, it waits until the replace under way
// has renamed or removed its new file.
SRWLOCK g_new_file_lock = SRWLOCK_INIT;

constexpr ULONGLONG kFileTimeUnitsPerSecond = 10000000;

ULONGLONG FileTimeValue(const FILETIME& time) {
  return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

bool IsLeftoverFile(const WIN32_FIND_DATAW& found,
                    bool (*is_new_file_name)(const NativeString& name), ULONGLONG now) {
  constexpr DWORD kNoFile = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  const ULONGLONG written = FileTimeValue(found.ftLastWriteTime);
  return is_new_file_name(found.cFileName) && (found.dwFileAttributes & kNoFile) == 0 &&
         now >= written && now - written >= kLeftoverAgeSeconds * kFileTimeUnitsPerSecond;
}

}  // namespace

void NewFileMade(const NativeString&) { AcquireSRWLockExclusive(&g_new_file_lock); }

void NewFileGone() { ReleaseSRWLockExclusive(&g_new_file_lock); }

void WaitForNewFileToGo() {
  // Kept for good: the program ends, and no new file may start meanwhile.
  AcquireSRWLockExclusive(&g_new_file_lock);
}

void RemoveLeftoverFiles(const NativeString& folder,
                         bool (*is_new_file_name)(const NativeString& name)) {
  // "D:" alone is the drive's remembered folder; its root is meant.
  const std::wstring prefix = folder.ends_with(L'\\') ? folder : folder + L'\\';
  FILETIME now_time;
  GetSystemTimeAsFileTime(&now_time);
  const ULONGLONG now = FileTimeValue(now_time);
  WIN32_FIND_DATAW found;
  const HANDLE search =
      FindFirstFileExW(ExtendedLengthPath(prefix + L"ui.*.part").c_str(), FindExInfoBasic, &found,
                       FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) {
    return;
  }
  do {
    // A writer's open handle shares nothing, so the system refuses to
    // remove a file that is still being written.
    if (IsLeftoverFile(found, is_new_file_name, now)) {
      DeleteFileW(ExtendedLengthPath(prefix + found.cFileName).c_str());
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
}
