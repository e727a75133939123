#include "platform/starting_path.h"

#include <sys/stat.h>

#include <cstdlib>

std::optional<std::string> ProgramPathFromStartingPath(const std::string& started_as) {
  if (started_as.find('/') == std::string::npos) {
    return std::nullopt;
  }
  char* full = realpath(started_as.c_str(), nullptr);
  if (full == nullptr) {
    return std::nullopt;
  }
  std::string path = full;
  std::free(full);
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return std::nullopt;
  }
  return path;
}
