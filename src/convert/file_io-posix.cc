#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>

#include "convert/file_io.h"

namespace {

int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

// A name beside `path` that no other run or file is likely to use, and that
// never looks like a settings file.
std::string TemporaryNameFor(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, ".%ld-%u.part", static_cast<long>(getpid()), counter++);
  return path + suffix;
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
    temporary = TemporaryNameFor(path);
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) {
      return fd;
    }
  }
  return -1;
}

}  // namespace

InputFile::~InputFile() { Close(); }

static FileStamp StampOf(const struct stat& info) {
  return {static_cast<std::int64_t>(info.st_size),
          static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

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

std::size_t InputFile::ReadAt(std::int64_t offset, void* buffer, std::size_t size) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::size_t total = 0;
  while (total < size) {
    const ssize_t got = pread(Fd(handle_), bytes + total, size - total,
                              static_cast<off_t>(offset) + static_cast<off_t>(total));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    total += static_cast<std::size_t>(got);
  }
  return total;
}

void InputFile::Close() {
  if (handle_ >= 0) {
    close(Fd(handle_));
    handle_ = -1;
    stamp_ = {};
  }
}

bool ReplaceFileContents(const NativeString& path, const void* data, std::size_t size) {
  std::string temporary;
  const int fd = CreateTemporaryFile(path, temporary);
  if (fd < 0) {
    return false;
  }
  const bool written = WriteAll(fd, static_cast<const unsigned char*>(data), size);
  const bool closed = close(fd) == 0;
  if (written && closed && rename(temporary.c_str(), path.c_str()) == 0) {
    return true;
  }
  unlink(temporary.c_str());
  return false;
}
