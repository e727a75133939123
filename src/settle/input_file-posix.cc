#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "settle/input_file.h"
#include "settle/open_writers.h"

namespace {

int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

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

InputFolder::~InputFolder() {
  if (handle_ >= 0) close(Fd(handle_));
}

bool InputFolder::Open(const NativeString& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    return false;
  }
  if (handle_ >= 0) close(Fd(handle_));
  handle_ = fd;
  return true;
}

bool InputFile::Open(const NativeString& path) { return OpenAt(AT_FDCWD, path); }

bool InputFile::Open(const InputFolder& folder, const NativeString& name) {
  return folder.handle_ >= 0 && OpenAt(Fd(folder.handle_), name);
}

bool InputFile::OpenAt(int folder_fd, const NativeString& path) {
  Close();
  // Non-blocking, so that a FIFO in the cache folder cannot hang the run.
  const int fd = openat(folder_fd, path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
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
  inode_ = static_cast<std::uint64_t>(info.st_ino);
  return true;
}

FileStamp InputFile::CurrentStamp() const {
  struct stat info;
  if (handle_ < 0 || fstat(Fd(handle_), &info) != 0) {
    return {};
  }
  return StampOf(info);
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

std::uint64_t InputFile::InodeNumber() const { return inode_; }

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
    inode_ = 0;
  }
}
