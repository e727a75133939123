#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>

#include "convert/replace_file.h"
#include "convert/temporary_name.h"

namespace {

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

}  // namespace

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
