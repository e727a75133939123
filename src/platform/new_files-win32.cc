#include <windows.h>

#include <string>

#include "base/extended_path.h"
#include "platform/new_files.h"

namespace {

// Held while any new file is under way, from the first NewFileMade to the
// NewFileGone of the last, all on the thread that converts. A console control
// handler runs on a thread of its own: taking this lock, it waits until the
// replace has renamed or removed every new file.
SRWLOCK g_new_file_lock = SRWLOCK_INIT;
int g_new_files_under_way = 0;

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

std::wstring FinalFolderPath(const std::wstring& folder) {
  const HANDLE handle = CreateFileW(ExtendedLengthPath(folder).c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return {};
  }
  std::wstring path = FinalPathOf(handle);
  CloseHandle(handle);
  if (!path.empty() && !path.ends_with(L'\\')) {
    path += L'\\';
  }
  return path;
}

// A file that lies in the folder itself. Under Wine a symbolic link of the
// Unix file system shows as the file it names, with no reparse point, and
// removing it would remove that file; its final path gives it away.
bool IsFileOfFolder(HANDLE file, const std::wstring& final_folder, const wchar_t* name) {
  return !final_folder.empty() && FinalPathOf(file) == final_folder + name;
}

// Removed through a handle of its own, once that handle shows what it is.
// A writer's open handle shares nothing, so the system refuses this one
// while the file is still being written.
void RemoveIfFileOfFolder(const std::wstring& path, const std::wstring& final_folder,
                          const wchar_t* name) {
  const HANDLE file = CreateFileW(ExtendedLengthPath(path).c_str(), DELETE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return;
  }
  if (IsFileOfFolder(file, final_folder, name)) {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
  }
  CloseHandle(file);
}

}  // namespace

void NewFileMade(const NativeString&) {
  if (g_new_files_under_way++ == 0) {
    AcquireSRWLockExclusive(&g_new_file_lock);
  }
}

void NewFileGone(const NativeString&) {
  if (--g_new_files_under_way == 0) {
    ReleaseSRWLockExclusive(&g_new_file_lock);
  }
}

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
  // Asked only once a file looks like a leftover, which few runs meet.
  std::wstring final_folder;
  bool final_folder_known = false;
  do {
    if (IsLeftoverFile(found, is_new_file_name, now)) {
      if (!final_folder_known) {
        final_folder = FinalFolderPath(prefix);
        final_folder_known = true;
      }
      RemoveIfFileOfFolder(prefix + found.cFileName, final_folder, found.cFileName);
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
}
