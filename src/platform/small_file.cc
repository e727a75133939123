#include "platform/small_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

// Reads to the end of the file, but never more than one byte past `limit`:
// the size that fstat reported may have changed since, or never held.
bool ReadUpTo(int fd, std::size_t limit, std::string& contents) {
  constexpr std::size_t kChunk = 16384;
  for (;;) {
    const std::size_t used = contents.size();
    const std::size_t wanted = std::min(kChunk, limit + 1 - used);
    contents.resize(used + wanted);
    const ssize_t got = read(fd, contents.data() + used, wanted);
    if (got < 0 && errno == EINTR) {
      contents.resize(used);
      continue;
    }
    if (got < 0) {
      return false;
    }
    contents.resize(used + static_cast<std::size_t>(got));
    if (got == 0) {
      return true;
    }
    if (contents.size() > limit) {
      return false;
    }
  }
}

}  // namespace

bool ReadSmallFile(const std::string& path, std::size_t limit, std::string& contents) {
  contents.clear();
  // Non-blocking, so that a FIFO cannot hang the run before fstat turns it away.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    return false;
  }
  struct stat info;
  const bool usable = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                      static_cast<std::size_t>(info.st_size) <= limit &&
                      ReadUpTo(fd, limit, contents);
  close(fd);
  if (!usable) {
    contents.clear();
  }
  return usable;
}
