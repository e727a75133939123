#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "settle/open_writers.h"
#include "settle/proc_text.h"

// Per process, /proc/<pid>/fd is listed and each entry looked at with
// fstatat(AT_SYMLINK_NOFOLLOW): the link's own mode carries the owner's
// write bit exactly when the file description was opened for writing, and
// looking at the link follows nothing. Only for those entries is the fdinfo
// text read, whose mnt_id and ino name the file; the mount table of the
// process's mount namespace turns the mount into a device.

namespace {

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

class DirStream {
 public:
  explicit DirStream(DIR* dir) : dir_(dir) {}
  ~DirStream() {
    if (dir_ != nullptr) closedir(dir_);
  }
  DirStream(const DirStream&) = delete;
  DirStream& operator=(const DirStream&) = delete;
  DIR* get() const { return dir_; }

 private:
  DIR* dir_;
};

// A process that ended since /proc listed it.
bool IsGone(int error) { return error == ENOENT || error == ESRCH; }

// The first bytes of a small /proc file, which hold the fields wanted; -1
// with errno set when it cannot be read.
ssize_t ReadStart(int dir_fd, const char* name, char* buffer, std::size_t size) {
  UniqueFd fd(openat(dir_fd, name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) return -1;
  ssize_t got;
  do {
    got = read(fd.get(), buffer, size);
  } while (got < 0 && errno == EINTR);
  return got;
}

// Adds every mount of a mountinfo file to `mounts`; false when it cannot be
// read.
bool LoadMounts(int dir_fd, const char* name, MountTable& mounts) {
  UniqueFd fd(openat(dir_fd, name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) return false;
  char chunk[16384];
  for (;;) {
    const ssize_t got = read(fd.get(), chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      mounts.EndText();
      return false;
    }
    if (got == 0) break;
    mounts.Feed(std::string_view(chunk, static_cast<std::size_t>(got)));
  }
  mounts.EndText();
  return true;
}

// The target of a short link in /proc, such as "self" or "<pid>/ns/mnt".
std::optional<std::string> LinkText(int dir_fd, const std::string& name) {
  char text[256];
  const ssize_t got = readlinkat(dir_fd, name.c_str(), text, sizeof text);
  if (got < 0 || static_cast<std::size_t>(got) == sizeof text) return std::nullopt;
  return std::string(text, static_cast<std::size_t>(got));
}

// Other mount namespaces are rare (containers, sandboxes such as the one
// Steam starts games in); a few are read, each once per census.
constexpr std::size_t kMaxMountNamespaces = 64;

class Census {
 public:
  explicit Census(int proc_fd) : proc_fd_(proc_fd) {}

  bool Start() {
    if (!LoadMounts(proc_fd_, "self/mountinfo", mounts_)) return false;
    // Its own mounts are in already: a mount that it does not list is one
    // of the kernel's own.
    if (const auto own = LinkText(proc_fd_, "self/ns/mnt")) loaded_namespaces_.push_back(*own);
    self_ = LinkText(proc_fd_, "self").value_or(std::to_string(getpid()));
    return true;
  }

  void LookAtProcess(const std::string& pid) {
    if (pid == self_) return;
    UniqueFd fd_dir(
        openat(proc_fd_, (pid + "/fd").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
    // A process this program may not look at, or one that has ended, shows
    // no writer.
    if (fd_dir.get() < 0) return;
    DirStream entries(fdopendir(fd_dir.get()));
    if (entries.get() == nullptr) return;
    fd_dir.release();
    ProcessLook look{pid, UniqueFd(), false, false};
    while (const dirent* entry = readdir(entries.get())) {
      if (!LookAtDescription(look, dirfd(entries.get()), entry->d_name)) return;
    }
  }

  OpenWriters Result() {
    OpenWriters result;
    result.files = files_.Take();
    return result;
  }

 private:
  struct ProcessLook {
    std::string pid;
    UniqueFd fdinfo_dir;
    bool gone = false;
    bool namespace_loaded = false;  ///< Its mounts are in the table.
  };

  // False when the process cannot be looked at further.
  bool LookAtDescription(ProcessLook& look, int fd_dir, const char* name) {
    if (look.gone || !IsProcNumber(name)) return true;
    struct stat link;
    if (fstatat(fd_dir, name, &link, AT_SYMLINK_NOFOLLOW) != 0) {
      // Closed since the listing.
      return IsGone(errno);
    }
    if ((link.st_mode & S_IWUSR) == 0) return true;
    if (look.fdinfo_dir.get() < 0) {
      look.fdinfo_dir.reset(openat(proc_fd_, (look.pid + "/fdinfo").c_str(),
                                   O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
      if (look.fdinfo_dir.get() < 0) {
        look.gone = IsGone(errno);
        return look.gone;
      }
    }
    // The flags, mount and inode lines come first; what follows (locks,
    // watches of an inotify or epoll descriptor) is not needed.
    char text[1024];
    const ssize_t got = ReadStart(look.fdinfo_dir.get(), name, text, sizeof text);
    if (got < 0) return IsGone(errno);
    const DescriptionInfo info = ParseFdinfo(std::string_view(text, static_cast<std::size_t>(got)));
    if (!info.for_writing) return true;
    // A kernel older than 5.14 tells no inode: the file cannot be named.
    if (!info.mount_id || !info.inode) return true;
    std::optional<std::uint64_t> device = mounts_.DeviceOf(*info.mount_id);
    if (!device && !look.namespace_loaded) {
      const NamespaceLook found = LoadNamespaceOf(look.pid);
      if (found == NamespaceLook::kGone) {
        look.gone = true;
        return true;
      }
      if (found == NamespaceLook::kUnreadable) return true;
      look.namespace_loaded = true;
      device = mounts_.DeviceOf(*info.mount_id);
    }
    // A mount that not even the namespace of the process lists is one of
    // the kernel's own: a pipe, a socket, an anonymous inode, a memfd. No
    // path reaches its files.
    if (device) files_.Add({*device, *info.inode});
    return true;
  }

  enum class NamespaceLook { kLoaded, kGone, kUnreadable };

  // Adds the mounts of the mount namespace of `pid` unless they are in.
  NamespaceLook LoadNamespaceOf(const std::string& pid) {
    const std::optional<std::string> name = LinkText(proc_fd_, pid + "/ns/mnt");
    if (!name) return IsGone(errno) ? NamespaceLook::kGone : NamespaceLook::kUnreadable;
    if (std::find(loaded_namespaces_.begin(), loaded_namespaces_.end(), *name) !=
        loaded_namespaces_.end()) {
      return NamespaceLook::kLoaded;
    }
    if (loaded_namespaces_.size() >= kMaxMountNamespaces) return NamespaceLook::kUnreadable;
    if (!LoadMounts(proc_fd_, (pid + "/mountinfo").c_str(), mounts_)) {
      return IsGone(errno) ? NamespaceLook::kGone : NamespaceLook::kUnreadable;
    }
    loaded_namespaces_.push_back(*name);
    return NamespaceLook::kLoaded;
  }

  int proc_fd_;
  MountTable mounts_;
  std::vector<std::string> loaded_namespaces_;
  std::string self_;
  WrittenFiles files_;
};

}  // namespace

OpenWriters FindOpenWriters(const std::string& proc) {
  UniqueFd proc_fd(open(proc.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
  if (proc_fd.get() < 0) return {};
  Census census(proc_fd.get());
  if (!census.Start()) return {};
  UniqueFd listing(dup(proc_fd.get()));
  DirStream processes(listing.get() < 0 ? nullptr : fdopendir(listing.get()));
  if (processes.get() == nullptr) return {};
  listing.release();
  while (const dirent* entry = readdir(processes.get())) {
    if (IsProcNumber(entry->d_name)) census.LookAtProcess(entry->d_name);
  }
  return census.Result();
}

bool OpenFileIdentity(int fd, FileIdentity& identity, const std::string& proc) {
  UniqueFd proc_fd(open(proc.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
  if (proc_fd.get() < 0) return false;
  char text[1024];
  const ssize_t got =
      ReadStart(proc_fd.get(), ("self/fdinfo/" + std::to_string(fd)).c_str(), text, sizeof text);
  if (got < 0) return false;
  const DescriptionInfo info = ParseFdinfo(std::string_view(text, static_cast<std::size_t>(got)));
  MountTable mounts;
  if (!info.mount_id || !info.inode || !LoadMounts(proc_fd.get(), "self/mountinfo", mounts)) {
    return false;
  }
  const std::optional<std::uint64_t> device = mounts.DeviceOf(*info.mount_id);
  if (!device) return false;
  identity = {*device, *info.inode};
  return true;
}
