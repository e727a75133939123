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

// The new files under way, for RemoveNewFiles, which a signal handler may
// call at any moment: each slot points at a name in `g_names`, or is null.
// A name is written before its slot points at it, and its bytes are reused
// only once no slot points at them. The names are packed, so that only the
// pages they take are ever touched.
std::atomic<const char*> g_slots[kMaxNewFilesUnderWay];
char g_names[kMaxNewFilesUnderWay * PATH_MAX];
std::size_t g_names_used = 0;
static_assert(std::atomic<const char*>::is_always_lock_free);

bool AnyNewFileUnderWay() {
  for (const std::atomic<const char*>& slot : g_slots) {
    if (slot.load() != nullptr) return true;
  }
  return false;
}

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
  if (!AnyNewFileUnderWay()) {
    g_names_used = 0;
  }
  // A name too long for the room left is too long for the system too: each
  // name of a full group fits.
  if (path.size() + 1 > sizeof g_names - g_names_used) {
    return;
  }
  for (std::atomic<const char*>& slot : g_slots) {
    if (slot.load() == nullptr) {
      char* const name = g_names + g_names_used;
      std::memcpy(name, path.c_str(), path.size() + 1);
      g_names_used += path.size() + 1;
      slot.store(name);
      return;
    }
  }
}

void NewFileGone(const NativeString& path) {
  for (std::atomic<const char*>& slot : g_slots) {
    const char* const name = slot.load();
    if (name != nullptr && path == name) {
      slot.store(nullptr);
      // The room of the newest name is taken back at once: a write that
      // failed gives back what it took.
      if (name + path.size() + 1 == g_names + g_names_used) {
        g_names_used = static_cast<std::size_t>(name - g_names);
      }
      return;
    }
  }
}

void RemoveNewFiles() {
  for (std::atomic<const char*>& slot : g_slots) {
    if (const char* const name = slot.exchange(nullptr)) {
      unlink(name);
    }
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
