#include <windows.h>

#include <string>

#include "base/extended_path.h"
#include "platform/new_files.h"

namespace {

// Held from NewFileMade to NewFileGone. A console control handler runs on a
// thread of its own: taking this lock, it waits until the replace under way
// has renamed or removed its new file.
SRWLOCK g_new_file_lock = SRWLOCK_INIT;

bool ProcessRuns(std::uint32_t pid) {
  const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) {
    // Refused access is a process that runs; no such process is the other
    // answer.
    return GetLastError() != ERROR_INVALID_PARAMETER;
  }
  const bool runs = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return runs;
}

bool IsLeftoverFile(const WIN32_FIND_DATAW& found,
                    std::optional<std::uint32_t> (*writer_of)(const NativeString& name)) {
  const std::optional<std::uint32_t> owner = writer_of(found.cFileName);
  constexpr DWORD kNoFile = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  return owner && (found.dwFileAttributes & kNoFile) == 0 && *owner != GetCurrentProcessId() &&
         !ProcessRuns(*owner);
}

}  // namespace

void NewFileMade(const NativeString&) { AcquireSRWLockExclusive(&g_new_file_lock); }

void NewFileGone() { ReleaseSRWLockExclusive(&g_new_file_lock); }

void WaitForNewFileToGo() {
  // Kept for good: the program ends, and no new file may start meanwhile.
  AcquireSRWLockExclusive(&g_new_file_lock);
}

void RemoveLeftoverFiles(const NativeString& folder,
                         std::optional<std::uint32_t> (*writer_of)(const NativeString& name)) {
  // "D:" alone is the drive's remembered folder; its root is meant.
  const std::wstring prefix = folder.ends_with(L'\\') ? folder : folder + L'\\';
  WIN32_FIND_DATAW found;
  const HANDLE search =
      FindFirstFileExW(ExtendedLengthPath(prefix + L"ui.*.part").c_str(), FindExInfoBasic, &found,
                       FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) {
    return;
  }
  do {
    if (IsLeftoverFile(found, writer_of)) {
      DeleteFileW(ExtendedLengthPath(prefix + found.cFileName).c_str());
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
}
