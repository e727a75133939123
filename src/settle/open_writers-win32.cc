#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
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
// mount and inode of one open file description. Only fdinfo is read, never
// /proc/<pid>/fd, and each folder is listed by its names alone: Wine's
// listing with file details looks at every entry, and would follow an fd
// link to its file, which a dead mount would block. Every fdinfo is read,
// since nothing cheaper tells a writer here: three round trips to the Wine
// server each (open, read, close), which makes this census cost many times
// the Linux program's. A Windows program's open files are held by the Wine
// server too, which opens every file for the programs it serves and keeps
// the descriptor while the handle is open, so a writer under Wine is seen
// through the server even before it has written. No process is left out as
// this program's own: "/proc/self" names the Wine server there (it opens the
// paths), and this program opens its inputs only for reading, so neither
// its own opens nor the server's count as writers.

namespace {

const std::wstring kProcFolder = L"\\\\?\\unix\\proc";
const std::wstring kProc = kProcFolder + L"\\";

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

struct IoStatus {
  union {
    LONG status;
    void* pointer;
  };
  ULONG_PTR information;
};
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
using ReadFileFunction = LONG(WINAPI*)(HANDLE, HANDLE, void*, void*, IoStatus*, void*, ULONG,
                                       LARGE_INTEGER*, ULONG*);
constexpr LONG kObjectNameNotFound = static_cast<LONG>(0xC0000034);
constexpr LONG kObjectPathNotFound = static_cast<LONG>(0xC000003A);
constexpr LONG kEndOfFile = static_cast<LONG>(0xC0000011);

template <typename Function>
Function NtdllFunction(const char* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
}

// The first bytes of the file `name` in the open folder `folder`: opened
// relative to it, one round trip to the Wine server fewer than a full path
// costs, and read by ntdll, whose call CreateFileW and ReadFile wrap.
Look ReadStartIn(HANDLE folder, const std::string& name, char* buffer, ULONG size,
                 std::string_view& text) {
  static const auto create = NtdllFunction<CreateFileFunction>("NtCreateFile");
  static const auto read = NtdllFunction<ReadFileFunction>("NtReadFile");
  if (create == nullptr || read == nullptr) return Look::kDenied;
  std::wstring wide(name.begin(), name.end());
  UnicodeText object_name = {static_cast<USHORT>(wide.size() * sizeof(wchar_t)),
                             static_cast<USHORT>(wide.size() * sizeof(wchar_t)), wide.data()};
  ObjectAttributes attributes = {
      sizeof(ObjectAttributes), folder, &object_name, 0, nullptr, nullptr};
  IoStatus io = {};
  HANDLE file = nullptr;
  const LONG opened =
      create(&file, GENERIC_READ | SYNCHRONIZE, &attributes, &io, nullptr, 0,
             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 1, 0x20 | 0x40, nullptr, 0);
  if (opened < 0) {
    return opened == kObjectNameNotFound || opened == kObjectPathNotFound ? Look::kGone
                                                                          : Look::kDenied;
  }
  const Handle held(file);
  LARGE_INTEGER offset = {};
  const LONG got = read(file, nullptr, nullptr, nullptr, &io, buffer, size, &offset, nullptr);
  if (got < 0 && got != kEndOfFile) return Look::kDenied;
  text = std::string_view(buffer, got < 0 ? 0 : io.information);
  return Look::kDone;
}

using QueryDirectoryFunction = LONG(WINAPI*)(HANDLE, HANDLE, void*, void*, IoStatus*, void*, ULONG,
                                             int, BOOLEAN, UnicodeText*, BOOLEAN);
constexpr int kFileNamesInformation = 12;
constexpr LONG kNoMoreFiles = static_cast<LONG>(0x80000006);

// The names in the open folder `folder` that are numbers, by names only:
// Wine looks at no entry to list them.
bool ListNumbersIn(HANDLE folder, std::vector<std::string>& names) {
  static const auto query = NtdllFunction<QueryDirectoryFunction>("NtQueryDirectoryFile");
  if (query == nullptr) return false;
  alignas(8) unsigned char buffer[16384];
  for (BOOLEAN restart = TRUE;; restart = FALSE) {
    IoStatus io = {};
    const LONG status = query(folder, nullptr, nullptr, nullptr, &io, buffer, sizeof buffer,
                              kFileNamesInformation, FALSE, nullptr, restart);
    if (status == kNoMoreFiles) return true;
    if (status < 0) return false;
    for (std::size_t at = 0;;) {
      ULONG next = 0;
      ULONG name_bytes = 0;
      std::memcpy(&next, buffer + at, sizeof next);
      std::memcpy(&name_bytes, buffer + at + 8, sizeof name_bytes);
      std::wstring name(name_bytes / sizeof(wchar_t), L'\0');
      std::memcpy(name.data(), buffer + at + 12, name.size() * sizeof(wchar_t));
      std::string number = Narrow(name);
      if (IsProcNumber(number)) names.push_back(std::move(number));
      if (next == 0) break;
      at += next;
    }
  }
}

// A /proc folder, opened to be listed and to open the files within it.
HANDLE OpenProcFolder(const std::wstring& path) {
  return CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

std::wstring Wide(const std::string& number) { return std::wstring(number.begin(), number.end()); }

// Other mount namespaces are rare (containers, sandboxes such as the one
// Steam starts games in); a few are read, each once per census.
constexpr int kMaxMountTables = 64;

class WineCensus {
 public:
  bool Start() { return LoadMounts(kProc + L"self\\mountinfo", mounts_) == Look::kDone; }

  void LookAtProcess(const std::string& pid) {
    const Handle folder(OpenProcFolder(kProc + Wide(pid) + L"\\fdinfo"));
    if (folder.get() == INVALID_HANDLE_VALUE) {
      return;
    }
    fds_.clear();
    if (!ListNumbersIn(folder.get(), fds_)) {
      return;
    }
    bool table_loaded = false;
    for (const std::string& fd : fds_) {
      if (!LookAtDescription(pid, folder.get(), fd, table_loaded)) return;
    }
  }

  OpenWriters Result() {
    OpenWriters result;
    result.files = files_.Take();
    return result;
  }

 private:
  // False when the process has ended.
  bool LookAtDescription(const std::string& pid, HANDLE folder, const std::string& fd,
                         bool& table_loaded) {
    char buffer[1024];
    std::string_view text;
    const Look read = ReadStartIn(folder, fd, buffer, sizeof buffer, text);
    if (read != Look::kDone) return true;
    const DescriptionInfo info = ParseFdinfo(text);
    if (!info.for_writing) return true;
    if (!info.mount_id || !info.inode) {
      // A kernel older than 5.14 tells no inode: the file cannot be named.
      return true;
    }
    std::optional<std::uint64_t> device = mounts_.DeviceOf(*info.mount_id);
    if (!device && !std::ranges::binary_search(unlisted_, *info.mount_id)) {
      if (!table_loaded) {
        if (tables_loaded_ >= kMaxMountTables) {
          return true;
        }
        ++tables_loaded_;
        const Look loaded = LoadMounts(kProc + Wide(pid) + L"\\mountinfo", mounts_);
        if (loaded == Look::kGone) return false;
        if (loaded == Look::kDenied) {
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
  std::vector<std::string> fds_;         ///< Of the process looked at.
  std::vector<std::uint64_t> unlisted_;  ///< Sorted.
  int tables_loaded_ = 0;
  WrittenFiles files_;
};

}  // namespace

OpenWriters FindOpenWriters(const std::string&) {
  if (!IsWineOnLinux()) return {};
  WineCensus census;
  if (!census.Start()) return {};
  std::vector<std::string> pids;
  const Handle proc(OpenProcFolder(kProcFolder));
  if (proc.get() == INVALID_HANDLE_VALUE || !ListNumbersIn(proc.get(), pids)) return {};
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
  const Handle folder(OpenProcFolder(kProc + Wide(server) + L"\\fdinfo"));
  std::vector<std::string> fds;
  if (folder.get() == INVALID_HANDLE_VALUE || !ListNumbersIn(folder.get(), fds)) return false;
  std::vector<std::uint64_t> mount_ids;
  for (const std::string& fd : fds) {
    char buffer[1024];
    std::string_view text;
    if (ReadStartIn(folder.get(), fd, buffer, sizeof buffer, text) != Look::kDone) continue;
    const DescriptionInfo info = ParseFdinfo(text);
    if (info.inode == inode && info.mount_id) mount_ids.push_back(*info.mount_id);
  }
  MountTable mounts;
  if (mount_ids.empty() ||
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
