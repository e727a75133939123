#include <fcntl.h>
#include <sys/resource.h>
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

// The owner's write bit cleared: the player wants this file kept as it is.
bool IsReadOnlyFile(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & S_IWUSR) == 0;
}

// The folder of `path`, for its flush.
std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return path.substr(0, slash == 0 ? 1 : slash);
}

// Reports the file system's writeback errors since `fd` was opened: a group
// flushes through its first new file, opened before any of the group's bytes
// were written, so that none of their errors goes unseen.
bool FlushFileSystem(int fd) { return syncfs(fd) == 0; }

// The new names reach the disk with the folder. A file system that cannot
// flush a folder has no disk behind it; a folder that cannot be opened to
// read is flushed with its whole file system.
bool FlushFolder(const std::string& folder, int file_of_folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return FlushFileSystem(file_of_folder);
  }
  bool flushed = true;
  while (fsync(fd) != 0) {
    if (errno != EINTR) {
      flushed = errno == EINVAL;
      break;
    }
  }
  close(fd);
  return flushed;
}

void TellGone(const std::string& temporary) {
  if (g_watch.gone != nullptr) {
    g_watch.gone(temporary);
  }
}

}  // namespace

std::size_t OutputGroup::MaxOpenFiles() {
  // Room for the standard streams, the inputs, the folders and the census.
  constexpr rlim_t kKeptForTheRest = 32;
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return SIZE_MAX;
  }
  return limit.rlim_cur > kKeptForTheRest + 2
             ? static_cast<std::size_t>((limit.rlim_cur - kKeptForTheRest) / 2)
             : 1;
}

OutputGroup::~OutputGroup() {
  for (const NewFile& file : files_) {
    Remove(file);
  }
}

// Closed, and so unlocked, only once the new name is gone.
void OutputGroup::Remove(const NewFile& file) {
  unlink(file.temporary.c_str());
  TellGone(file.temporary);
  close(static_cast<int>(file.handle));
}

bool OutputGroup::Write(const NativeString& path, const void* data, std::size_t size) {
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
  NewFile file{std::move(temporary), path, fd};
  if (!WriteAll(fd, static_cast<const unsigned char*>(data), size)) {
    Remove(file);
    return false;
  }
  files_.push_back(std::move(file));
  bytes_ += size;
  return true;
}

std::vector<bool> OutputGroup::Commit() {
  std::vector<NewFile> files;
  files.swap(files_);
  bytes_ = 0;
  std::vector<bool> placed(files.size(), false);
  if (files.empty()) {
    return placed;
  }
  const int first = static_cast<int>(files.front().handle);
  if (!FlushFileSystem(first)) {
    for (const NewFile& file : files) {
      Remove(file);
    }
    return placed;
  }
  // In the order written, so that of two new files for one output the later
  // stays.
  for (std::size_t k = 0; k < files.size(); ++k) {
    placed[k] = rename(files[k].temporary.c_str(), files[k].path.c_str()) == 0;
    if (!placed[k]) {
      unlink(files[k].temporary.c_str());
    }
    TellGone(files[k].temporary);
  }
  if (!FlushFolder(FolderOf(files.front().path), first)) {
    placed.assign(placed.size(), false);
  }
  // Closed, and so unlocked, once every new name is gone. The flushes have
  // put every byte on the disk already: closing can lose none.
  for (const NewFile& file : files) {
    close(static_cast<int>(file.handle));
  }
  return placed;
}

void WatchNewFiles(const NewFileWatch& watch) { g_watch = watch; }
