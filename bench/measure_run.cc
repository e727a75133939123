// Runs a command and writes its wall time, processor time and peak resident
// memory to a file. A small launcher is needed for the memory figure: a child's peak
// counts the memory of the process that started it, which for a Python
// script that runs the benchmark is larger than the tool itself.
//
//   tarnwick_measure_run RESULT_FILE COMMAND [ARGUMENT...]
//
// RESULT_FILE gets one line: wall nanoseconds, processor (user + system)
// nanoseconds, peak KiB, exit status.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

#include <cstdio>

extern char** environ;

namespace {

long long NowNanoseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: tarnwick_measure_run RESULT_FILE COMMAND [ARGUMENT...]\n", stderr);
    return 2;
  }
  const long long start = NowNanoseconds();
  pid_t child = 0;
  if (posix_spawn(&child, argv[2], nullptr, nullptr, argv + 2, environ) != 0) {
    std::perror(argv[2]);
    return 1;
  }
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) != child) {
    std::perror("wait4");
    return 1;
  }
  const long long elapsed = NowNanoseconds() - start;
  std::FILE* result = std::fopen(argv[1], "w");
  if (result == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  const long long processor =
      (static_cast<long long>(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec) * 1000000000LL +
      (static_cast<long long>(usage.ru_utime.tv_usec) + usage.ru_stime.tv_usec) * 1000LL;
  const int exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::fprintf(result, "%lld %lld %ld %d\n", elapsed, processor, usage.ru_maxrss, exit_status);
  return std::fclose(result) == 0 ? 0 : 1;
}
