#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>

#include "convert/file_io.h"
#include "convert/open_writers.h"
#include "convert/stamp_trust.h"
#include "convert/temporary_name.h"

namespace {

int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

NewFileWatch g_watch;

std::string NextTemporaryNameFor(const std::string& path) {
  static std::atomic<std::uint32_t> counter{0};
  return TemporaryNameFor(path, static_cast<std::uint32_t>(getpid()), counter++);
}

bool WriteAll(int fd, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

int CreateTemporaryFile(const std::string& path, std::string& temporary) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporary = NextTemporaryNameFor(path);
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) {
      return fd;
    }
  }
  return -1;
}

// Locked until it is renamed or removed: the sweep of another run, which may
// run in a PID namespace of its own, then keeps it. Where the file system
// keeps no locks, the file's fresh time of writing keeps it all the same.
void LockForItsLife(int fd) {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  fcntl(fd, F_OFD_SETLK, &lock);
}

// Flushed before the rename: after a power cut the name then holds the old
// contents or the new ones, never data that had not reached the disk.
bool FlushToDisk(int fd) {
  while (fsync(fd) != 0) {
    if (errno != EINTR) {
      // A file system with no disk behind it has nothing to flush.
      return errno == EINVAL;
    }
  }
  return true;
}

// The owner's write bit cleared: the player wants this file kept as it is.
bool IsReadOnlyFile(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & S_IWUSR) == 0;
}

constexpr std::int64_t kNanosecondsPerSecond = 1000000000;

// Saturated, so that a file dated centuries away cannot overflow the count,
// nor the difference of two counts.
std::int64_t Nanoseconds(const timespec& time) {
  constexpr std::int64_t kLimit = INT64_MAX / kNanosecondsPerSecond / 2 - 1;
  const std::int64_t seconds = std::clamp<std::int64_t>(time.tv_sec, -kLimit, kLimit);
  return seconds * kNanosecondsPerSecond + time.tv_nsec;
}

FileStamp StampOf(const struct stat& info) {
  return {static_cast<std::int64_t>(info.st_size), Nanoseconds(info.st_mtim),
          Nanoseconds(info.st_ctim)};
}

}  // namespace

InputFile::~InputFile() { Close(); }

bool InputFile::Open(const NativeString& path) {
  Close();
  // Non-blocking, so that a FIFO in the cache folder cannot hang the run.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    return false;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return false;
  }
  handle_ = fd;
  stamp_ = StampOf(info);
  return true;
}

FileStamp InputFile::CurrentStamp() const {
  struct stat info;
  if (handle_ < 0 || fstat(Fd(handle_), &info) != 0) {
    return {};
  }
  return StampOf(info);
}

StampTrust InputFile::Trust() const {
  struct statfs info;
  if (handle_ < 0 || fstatfs(Fd(handle_), &info) != 0) {
    return StampTrust::kUntrusted;
  }
  return TrustOfLinuxFileSystem(static_cast<std::uint64_t>(info.f_type));
}

// Asked only when a census of writers is, not on every open: it reads the
// file's fdinfo and the mount table.
FileIdentity InputFile::Identity() const {
  FileIdentity identity;
  if (handle_ < 0 || !OpenFileIdentity(Fd(handle_), identity)) {
    return {};
  }
  return identity;
}

std::int64_t NanosecondsSince(std::int64_t stamp_time) {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return Nanoseconds(now) - stamp_time;
}

std::int64_t InputFile::ReadAt(std::int64_t offset, void* buffer, std::size_t size) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::size_t total = 0;
  while (total < size) {
    const ssize_t got = pread(Fd(handle_), bytes + total, size - total,
                              static_cast<off_t>(offset) + static_cast<off_t>(total));
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (got == 0) break;
    total += static_cast<std::size_t>(got);
  }
  return static_cast<std::int64_t>(total);
}

void InputFile::Close() {
  if (handle_ >= 0) {
    close(Fd(handle_));
    handle_ = -1;
    stamp_ = {};
  }
}

bool ReplaceFileContents(const NativeString& path, const void* data, std::size_t size) {
  if (IsReadOnlyFile(path)) {
    return false;
  }
  std::string temporary;
  const int fd = CreateTemporaryFile(path, temporary);
  if (fd < 0) {
    return false;
  }
  LockForItsLife(fd);
  if (g_watch.made != nullptr) {
    g_watch.made(temporary);
  }
  const bool written =
      WriteAll(fd, static_cast<const unsigned char*>(data), size) && FlushToDisk(fd);
  const bool renamed = written && rename(temporary.c_str(), path.c_str()) == 0;
  if (!renamed) {
    unlink(temporary.c_str());
  }
  if (g_watch.gone != nullptr) {
    g_watch.gone();
  }
  // Closed, and so unlocked, only once the new name is gone. The flush has
  // put every byte on the disk already: closing can lose none.
  close(fd);
  return renamed;
}

void WatchNewFiles(const NewFileWatch& watch) { g_watch = watch; }
