// Times the census of open writers of Tarnwick.exe under Wine: ROUNDS
// censuses (25 unless given), then the fastest, median and slowest, with
// what the census found. open_writers_bench starts the processes it looks at.
//
//   win32_census_bench [ROUNDS]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "settle/open_writers.h"

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 25;
  if (rounds < 1) return 2;
  std::vector<double> milliseconds;
  OpenWriters writers;
  for (int round = 0; round < rounds; ++round) {
    const auto begin = std::chrono::steady_clock::now();
    writers = FindOpenWriters();
    const auto end = std::chrono::steady_clock::now();
    milliseconds.push_back(std::chrono::duration<double, std::milli>(end - begin).count());
  }
  std::sort(milliseconds.begin(), milliseconds.end());
  std::printf(
      "census under Wine: min %.2f ms, median %.2f ms, max %.2f ms over %d rounds; %zu files "
      "open for writing, complete: %s\n",
      milliseconds.front(), milliseconds[milliseconds.size() / 2], milliseconds.back(), rounds,
      writers.files.size(), writers.complete ? "yes" : "no");
  return 0;
}
