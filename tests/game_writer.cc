// Rewrites a settings or character file the way the game saves it, for the
// end-to-end tests: each version in pieces (4 KiB unless --piece says), a
// pause between two pieces, either after truncating the file or over the
// old bytes in place. With --date-back it sets the file's access and write
// times a day back after every piece, as a restore or sync tool that keeps
// the source's times does. With --stall=US it stalls that long after the
// first piece instead of the pause, as a save held up by the disk or the
// game does; with --reopen too it closes the file for the stall and opens it
// again, without truncating, to write the rest. With --nonblock it opens the
// file as Wine opens files for Windows programs, without blocking: an open
// that would wait fails at once, and so does the writer.
//
//   game_writer [--piece=BYTES] [--date-back] [--stall=US [--reopen]] [--nonblock]
//               truncate|in-place ROUNDS|forever PAUSE_US FILE VERSION...
//
// Round k writes the bytes of the file VERSION[k % count]. It prints
// "writing" once the first piece is written, so that the test can start the
// program during the write. "forever" goes on until its standard input
// closes; a number of rounds ends by itself.

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::size_t g_piece_size = 4096;
bool g_date_back = false;
useconds_t g_stall_us = 0;
bool g_reopen = false;
bool g_nonblock = false;

std::string ReadFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool InputClosed() {
  pollfd input{STDIN_FILENO, POLLIN, 0};
  return poll(&input, 1, 0) > 0;
}

// Both times at once: a FUSE driver built on libfuse 2 (exfat-fuse on
// Debian 12) drops a write time that comes without the access time, and
// still reports success.
bool DateBack(int fd) {
  timespec times[2] = {};
  clock_gettime(CLOCK_REALTIME, &times[1]);
  times[1].tv_sec -= 24 * 60 * 60;
  times[0] = times[1];
  return futimens(fd, times) == 0;
}

bool WritePiece(int fd, const std::string& version, std::size_t at) {
  const std::size_t size = std::min(g_piece_size, version.size() - at);
  return pwrite(fd, version.data() + at, size, static_cast<off_t>(at)) ==
             static_cast<ssize_t>(size) &&
         (!g_date_back || DateBack(fd));
}

}  // namespace

int main(int argc, char** argv) {
  bool known_options = true;
  for (; argc > 1 && std::strncmp(argv[1], "--", 2) == 0; --argc, ++argv) {
    if (std::strncmp(argv[1], "--piece=", 8) == 0) {
      g_piece_size = static_cast<std::size_t>(std::atol(argv[1] + 8));
    } else if (std::strcmp(argv[1], "--date-back") == 0) {
      g_date_back = true;
    } else if (std::strncmp(argv[1], "--stall=", 8) == 0) {
      g_stall_us = static_cast<useconds_t>(std::atol(argv[1] + 8));
    } else if (std::strcmp(argv[1], "--reopen") == 0) {
      g_reopen = true;
    } else if (std::strcmp(argv[1], "--nonblock") == 0) {
      g_nonblock = true;
    } else {
      known_options = false;
    }
  }
  if (argc < 6 || g_piece_size == 0 || !known_options) {
    std::fputs(
        "usage: game_writer [--piece=BYTES] [--date-back] [--stall=US [--reopen]] [--nonblock] "
        "truncate|in-place ROUNDS|forever PAUSE_US FILE VERSION...\n",
        stderr);
    return 2;
  }
  const bool truncate = std::strcmp(argv[1], "truncate") == 0;
  const bool forever = std::strcmp(argv[2], "forever") == 0;
  const long rounds = forever ? -1 : std::atol(argv[2]);
  const useconds_t pause = static_cast<useconds_t>(std::atol(argv[3]));
  const char* path = argv[4];
  std::vector<std::string> versions;
  for (int k = 5; k < argc; ++k) {
    versions.push_back(ReadFile(argv[k]));
  }
  bool announced = false;
  for (long round = 0; forever || round < rounds; ++round) {
    const std::string& version = versions[static_cast<std::size_t>(round) % versions.size()];
    int fd =
        open(path, O_WRONLY | O_CLOEXEC | (truncate ? O_TRUNC : 0) | (g_nonblock ? O_NONBLOCK : 0));
    if (fd < 0) {
      std::perror(path);
      return 1;
    }
    for (std::size_t at = 0; at < version.size(); at += g_piece_size) {
      if (!WritePiece(fd, version, at)) {
        std::perror(path);
        return 1;
      }
      if (!announced) {
        std::puts("writing");
        std::fflush(stdout);
        announced = true;
        if (g_stall_us != 0) {
          if (g_reopen) close(fd);
          usleep(g_stall_us);
          if (g_reopen && (fd = open(path, O_WRONLY | O_CLOEXEC)) < 0) {
            std::perror(path);
            return 1;
          }
          continue;
        }
      }
      if (forever && InputClosed()) {
        close(fd);
        return 0;
      }
      usleep(pause);
    }
    close(fd);
  }
  return 0;
}
