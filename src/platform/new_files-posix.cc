#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "platform/new_files.h"

namespace {

// The new file under way, for RemoveNewFile, which a signal handler may call
// at any moment: a plain array, written only while `g_in_flight` is false.
char g_in_flight_name[PATH_MAX];
std::atomic<bool> g_in_flight{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// The writer's lock, seen from any process that opens the file, whatever
// PID namespace it runs in. A file system that keeps no locks answers with
// an error, and the file's age alone decides.
bool IsLockedByItsWriter(int fd) {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  return fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

bool IsLeftoverFile(int folder, const char* name, bool (*is_new_file_name)(const NativeString&),
                    time_t now) {
  if (!is_new_file_name(name)) {
    return false;
  }
  const int fd = openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  struct stat info;
  const bool leftover = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                        now - info.st_mtim.tv_sec >= kLeftoverAgeSeconds &&
                        !IsLockedByItsWriter(fd);
  close(fd);
  return leftover;
}

}  // namespace

void NewFileMade(const NativeString& path) {
  g_in_flight = false;
  // A name too long for the array is too long for the system too.
  if (path.size() < sizeof g_in_flight_name) {
    std::memcpy(g_in_flight_name, path.c_str(), path.size() + 1);
    g_in_flight = true;
  }
}

void NewFileGone() { g_in_flight = false; }

void RemoveNewFile() {
  if (g_in_flight.exchange(false)) {
    unlink(g_in_flight_name);
  }
}

void RemoveLeftoverFiles(const NativeString& folder,
                         bool (*is_new_file_name)(const NativeString& name)) {
  DIR* directory = opendir(folder.c_str());
  if (directory == nullptr) {
    return;
  }
  const time_t now = time(nullptr);
  while (const dirent* entry = readdir(directory)) {
    if (IsLeftoverFile(dirfd(directory), entry->d_name, is_new_file_name, now)) {
      unlinkat(dirfd(directory), entry->d_name, 0);
    }
  }
  closedir(directory);
}
