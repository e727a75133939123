#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "settle/open_writers.h"
#include "settle/proc_text.h"
#include "settle/wine_system.h"

// Windows itself offers no look at whether another program holds a file
// open for writing: the Restart Manager names the programs that hold it
// open, for reading or for writing alike, so the program sees no writer
// there.
//
// Under Wine on Linux the census is the Linux program's, read through Wine's
// Unix paths: every process's /proc/<pid>/fdinfo/<n> tells the open flags,
// mount and inode of one open file description. Only fdinfo is listed, never
// /proc/<pid>/fd: Wine's listing looks at each entry, and would follow an fd
// link to its file, which a dead mount would block. A Windows program's open
// files are held by the Wine server too, which opens every file for the
// programs it serves and keeps the descriptor while the handle is open, so
// a writer under Wine is seen through the server even before it has written.
// No process is left out as this program's own: "/proc/self" names the Wine
// server there (it opens the paths), and this program opens its inputs only
// for reading, so neither its own opens nor the server's count as writers.

namespace {

const std::wstring kProc = L"\\\\?\\unix\\proc\\";

enum class Look { kDone, kGone, kDenied };

// A process that ended, or a descriptor closed, since its folder was listed.
Look LookAfter(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Look::kGone
                                                                        : Look::kDenied;
}

class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

HANDLE OpenProcFile(const std::wstring& path) {
  return CreateFileW(path.c_str(), GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The first bytes of a small /proc file, which hold the fields wanted.
Look ReadStart(const std::wstring& path, char* buffer, DWORD size, std::string_view& text) {
  const Handle file(OpenProcFile(path));
  if (file.get() == INVALID_HANDLE_VALUE) return LookAfter(GetLastError());
  DWORD got = 0;
  if (!ReadFile(file.get(), buffer, size, &got, nullptr)) return LookAfter(GetLastError());
  text = std::string_view(buffer, got);
  return Look::kDone;
}

// Adds every mount of a mountinfo file, read to its end (the kernel gives
// it a page at a time).
Look LoadMounts(const std::wstring& path, MountTable& mounts) {
  const Handle file(OpenProcFile(path));
  if (file.get() == INVALID_HANDLE_VALUE) return LookAfter(GetLastError());
  char chunk[16384];
  DWORD got = 0;
  Look look = Look::kDone;
  for (;;) {
    if (!ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr)) {
      look = LookAfter(GetLastError());
      break;
    }
    if (got == 0) break;
    mounts.Feed(std::string_view(chunk, got));
  }
  mounts.EndText();
  return look;
}

std::string Narrow(std::wstring_view name) {
  std::string text;
  for (const wchar_t c : name) {
    if (c < L'0' || c > L'9') return {};
    text += static_cast<char>(c);
  }
  return text;
}

// Calls `visit` with each name in `folder` that is a number.
template <typename Visit>
Look ListNumbers(const std::wstring& folder, Visit visit) {
  WIN32_FIND_DATAW entry;
  const HANDLE search = FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &entry,
                                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) return LookAfter(GetLastError());
  do {
    const std::string name = Narrow(entry.cFileName);
    if (IsProcNumber(name)) visit(name);
  } while (FindNextFileW(search, &entry));
  FindClose(search);
  return Look::kDone;
}

std::wstring Wide(const std::string& number) { return std::wstring(number.begin(), number.end()); }

// Other mount namespaces are rare (containers, sandboxes such as the one
// Steam starts games in); a few are read, each once per census.
constexpr int kMaxMountTables = 64;

class WineCensus {
 public:
  bool Start() { return LoadMounts(kProc + L"self\\mountinfo", mounts_) == Look::kDone; }

  void LookAtProcess(const std::string& pid) {
    const std::wstring folder = kProc + Wide(pid) + L"\\fdinfo";
    bool table_loaded = false;
    bool gone = false;
    const Look listed = ListNumbers(folder, [&](const std::string& fd) {
      if (!gone) gone = !LookAtDescription(pid, folder + L"\\" + Wide(fd), table_loaded);
    });
    if (listed == Look::kDenied) complete_ = false;
  }

  OpenWriters Result() {
    OpenWriters result;
    result.files = files_.Take();
    result.complete = complete_;
    result.complete_for_own_user = complete_;
    return result;
  }

 private:
  // False when the process has ended.
  bool LookAtDescription(const std::string& pid, const std::wstring& path, bool& table_loaded) {
    char buffer[1024];
    std::string_view text;
    const Look read = ReadStart(path, buffer, sizeof buffer, text);
    if (read == Look::kDenied) complete_ = false;
    if (read != Look::kDone) return true;
    const DescriptionInfo info = ParseFdinfo(text);
    if (!info.for_writing) return true;
    if (!info.mount_id || !info.inode) {
      // A kernel older than 5.14 tells no inode: the file cannot be named.
      complete_ = false;
      return true;
    }
    std::optional<std::uint64_t> device = mounts_.DeviceOf(*info.mount_id);
    if (!device && !std::ranges::binary_search(unlisted_, *info.mount_id)) {
      if (!table_loaded) {
        if (tables_loaded_ >= kMaxMountTables) {
          complete_ = false;
          return true;
        }
        ++tables_loaded_;
        const Look loaded = LoadMounts(kProc + Wide(pid) + L"\\mountinfo", mounts_);
        if (loaded == Look::kGone) return false;
        if (loaded == Look::kDenied) {
          complete_ = false;
          return true;
        }
        table_loaded = true;
        device = mounts_.DeviceOf(*info.mount_id);
      }
      // A mount that not even the process's own table lists is one of the
      // kernel's own (a pipe, a socket, an anonymous inode), for every
      // process: mount IDs are unique across namespaces.
      if (!device) {
        unlisted_.insert(std::ranges::upper_bound(unlisted_, *info.mount_id), *info.mount_id);
      }
    }
    if (device) files_.Add({*device, *info.inode});
    return true;
  }

  MountTable mounts_;
  std::vector<std::uint64_t> unlisted_;  ///< Sorted.
  int tables_loaded_ = 0;
  WrittenFiles files_;
  bool complete_ = true;
};

}  // namespace

OpenWriters FindOpenWriters(const std::string&) {
  if (!IsWineOnLinux()) return {};
  WineCensus census;
  if (!census.Start()) return {};
  std::vector<std::string> pids;
  const std::wstring folder = kProc.substr(0, kProc.size() - 1);
  if (ListNumbers(folder, [&](const std::string& pid) { pids.push_back(pid); }) != Look::kDone) {
    return {};
  }
  for (const std::string& pid : pids) census.LookAtProcess(pid);
  return census.Result();
}

namespace {

// The Wine server's process ID: "/proc/self" opened through Wine is the
// server's, which opens every path. Not its files by that name, though:
// Wine first looks a path up in this program's own process, where
// "/proc/self/fdinfo/<n>" is this program's descriptor.
std::string WineServerPid() {
  const Handle self(CreateFileW((kProc + L"self").c_str(), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  wchar_t path[MAX_PATH];
  const DWORD length = self.get() == INVALID_HANDLE_VALUE
                           ? 0
                           : GetFinalPathNameByHandleW(self.get(), path, MAX_PATH, 0);
  if (length == 0 || length >= MAX_PATH) return {};
  const std::wstring_view final_path(path, length);
  return Narrow(final_path.substr(final_path.rfind(L'\\') + 1));
}

}  // namespace

// The Wine server opened the file for this program and holds its descriptor
// while the handle is open: among the server's descriptors of the inode, the
// file's. Should two of them lie on different devices (a file of the same
// inode number on another file system, open too), the file is not told.
bool WineOpenFileIdentity(std::uint64_t inode, FileIdentity& identity) {
  static const std::string server = WineServerPid();
  if (!IsProcNumber(server)) return false;
  std::vector<std::uint64_t> mount_ids;
  const std::wstring folder = kProc + Wide(server) + L"\\fdinfo";
  const Look listed = ListNumbers(folder, [&](const std::string& fd) {
    char buffer[1024];
    std::string_view text;
    if (ReadStart(folder + L"\\" + Wide(fd), buffer, sizeof buffer, text) != Look::kDone) return;
    const DescriptionInfo info = ParseFdinfo(text);
    if (info.inode == inode && info.mount_id) mount_ids.push_back(*info.mount_id);
  });
  MountTable mounts;
  if (listed != Look::kDone || mount_ids.empty() ||
      LoadMounts(kProc + Wide(server) + L"\\mountinfo", mounts) != Look::kDone) {
    return false;
  }
  std::optional<std::uint64_t> device;
  for (const std::uint64_t mount_id : mount_ids) {
    const std::optional<std::uint64_t> found = mounts.DeviceOf(mount_id);
    if (!found || (device && *device != *found)) return false;
    device = found;
  }
  identity = {*device, inode};
  return true;
}
