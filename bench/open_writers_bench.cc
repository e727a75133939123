// Times one census of the files other processes hold open for writing on a
// "desktop": it starts PROCESSES sleeping processes (300 unless given), each
// holding FDS files open (30 unless given), every third of them for writing,
// then runs FindOpenWriters ROUNDS times (25 unless given) and prints the
// fastest, median and slowest round, with what the census found. Given a
// COMMAND, it runs that instead of its own census, with the holders up: the
// census of Tarnwick.exe under Wine is timed so, by the Windows program
// win32_census_bench.exe.
//
//   open_writers_bench [PROCESSES [FDS [ROUNDS [COMMAND...]]]]

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "settle/open_writers.h"

namespace {

// A child that opens its files, says so on `ready` and sleeps until killed.
pid_t StartHolder(const std::string& folder, int index, int fds, int ready) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  for (int k = 0; k < fds; ++k) {
    const std::string path = folder + "/f" + std::to_string(index) + "-" + std::to_string(k);
    const int flags = k % 3 == 0 ? O_WRONLY | O_CREAT : O_RDONLY | O_CREAT;
    if (open(path.c_str(), flags, 0600) < 0) _exit(1);
  }
  const char byte = 'r';
  if (write(ready, &byte, 1) != 1) _exit(1);
  for (;;) pause();
}

}  // namespace

int main(int argc, char** argv) {
  const int processes = argc > 1 ? std::atoi(argv[1]) : 300;
  const int fds = argc > 2 ? std::atoi(argv[2]) : 30;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 25;
  char folder[] = "/dev/shm/tarnwick-census-XXXXXX";
  if (processes < 0 || fds < 0 || rounds < 1 || mkdtemp(folder) == nullptr) {
    std::fputs("usage: open_writers_bench [PROCESSES [FDS [ROUNDS]]] (needs /dev/shm)\n", stderr);
    return 2;
  }
  int ready[2];
  if (pipe(ready) != 0) return 1;
  std::vector<pid_t> children;
  for (int k = 0; k < processes; ++k) children.push_back(StartHolder(folder, k, fds, ready[1]));
  close(ready[1]);
  int started = 0;
  char byte;
  while (started < processes && read(ready[0], &byte, 1) == 1) ++started;

  std::vector<double> milliseconds;
  OpenWriters writers;
  int status = 0;
  if (argc > 4) {
    std::string command;
    for (int k = 4; k < argc; ++k)
      command += std::string(command.empty() ? "'" : " '") + argv[k] + "'";
    command += ' ';
    command += std::to_string(rounds);
    status = std::system(command.c_str());
  }
  for (int round = 0; round < rounds && argc <= 4; ++round) {
    const auto begin = std::chrono::steady_clock::now();
    writers = FindOpenWriters();
    const auto end = std::chrono::steady_clock::now();
    milliseconds.push_back(std::chrono::duration<double, std::milli>(end - begin).count());
  }
  std::sort(milliseconds.begin(), milliseconds.end());
  std::printf(
      "%d holders of %d files each started; census: min %.2f ms, median %.2f ms, max %.2f ms over "
      "%d rounds; %zu files open for writing\n",
      started, fds, milliseconds.front(), milliseconds[milliseconds.size() / 2],
      milliseconds.back(), rounds, writers.files.size());

  for (const pid_t child : children) kill(child, SIGKILL);
  for (const pid_t child : children) waitpid(child, nullptr, 0);
  const std::string remove = std::string("rm -rf ") + folder;
  return std::system(remove.c_str()) == 0 && started == processes && status == 0 ? 0 : 1;
}
