#include <dirent.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/new_files.h"

namespace {

// The new file under way, for RemoveNewFile, which a signal handler may call
// at any moment: a plain array, written only while `g_in_flight` is false.
char g_in_flight_name[PATH_MAX];
std::atomic<bool> g_in_flight{false};
static_assert(std::atomic<bool>::is_always_lock_free);

bool ProcessRuns(std::uint32_t pid) {
  if (pid > static_cast<std::uint32_t>(INT_MAX)) {
    return false;
  }
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

bool IsLeftoverFile(const std::string& folder, const char* name,
                    std::optional<std::uint32_t> (*writer_of)(const NativeString& name)) {
  const std::optional<std::uint32_t> owner = writer_of(name);
  if (!owner || *owner == static_cast<std::uint32_t>(getpid()) || ProcessRuns(*owner)) {
    return false;
  }
  struct stat info;
  return lstat((folder + name).c_str(), &info) == 0 && S_ISREG(info.st_mode);
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
                         std::optional<std::uint32_t> (*writer_of)(const NativeString& name)) {
  DIR* directory = opendir(folder.c_str());
  if (directory == nullptr) {
    return;
  }
  const std::string prefix = folder.ends_with('/') ? folder : folder + '/';
  while (const dirent* entry = readdir(directory)) {
    if (IsLeftoverFile(prefix, entry->d_name, writer_of)) {
      unlink((prefix + entry->d_name).c_str());
    }
  }
  closedir(directory);
}
