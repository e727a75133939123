// The program out of memory in the middle of a run: under an address-space
// limit just too small for the buffer of one conversion, it must say so, in
// the system's words, wait for a key as after any run, and end with its own
// exit status, leaving no file behind.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "faults/program_under_test.h"
#include "fixtures.h"
#include "run_program.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

const std::string kPause = "Press any key to continue . . . \n";

// The peak address space, in KiB, of the program run with `argv` once it
// waits at the pause; 0 when it cannot be taken.
long PeakAddressSpaceKib(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment) {
  std::vector<char*> args, env;
  for (const std::string& s : argv) args.push_back(const_cast<char*>(s.c_str()));
  for (const std::string& s : environment) env.push_back(const_cast<char*>(s.c_str()));
  args.push_back(nullptr);
  env.push_back(nullptr);
  int in[2], out[2];
  if (pipe(in) != 0 || pipe(out) != 0) return 0;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
    execve(args[0], args.data(), env.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  std::string output;
  char buffer[4096];
  ssize_t got = 0;
  pollfd ready{out[0], POLLIN, 0};
  const std::string prompt = kPause.substr(0, kPause.size() - 1);
  while (!output.ends_with(prompt) && poll(&ready, 1, 20000) > 0 &&
         (got = read(out[0], buffer, sizeof buffer)) > 0) {
    output.append(buffer, static_cast<std::size_t>(got));
  }
  long peak_kib = 0;
  const std::string status = ReadBytes("/proc/" + std::to_string(pid) + "/status");
  const std::size_t at = status.find("VmPeak:");
  if (output.ends_with(prompt) && at != std::string::npos) {
    peak_kib = std::stol(status.substr(at + 7));
  }
  close(in[1]);
  close(out[0]);
  waitpid(pid, nullptr, 0);
  return peak_kib;
}

TEST(OutOfMemoryTest, TheRunSaysSoWaitsForAKeyAndEndsWithItsOwnStatus) {
  TempDir dir;
  const std::string root = dir.path().string();
  const std::string program_folder = root + "/game";
  const std::string cache = root + "/home/Documents/Quellmoor/cache/";
  fs::create_directories(program_folder);
  fs::create_directories(cache);
  fs::create_directories(root + "/caller");
  fs::copy_file(g_program, program_folder + "/tarnwick");
  const std::vector<std::string> environment = {"HOME=" + root + "/home", "PATH=/usr/bin:/bin"};
  const std::vector<std::string> argv = {program_folder + "/tarnwick", cache + "A@S_sc.tmp"};
  std::string block = "<ui>";
  while (block.size() < 200000) block += "<w t=\"\xE5\xB8\x83\"/>\n";
  WriteBytes(cache + "A@S_sc.tmp", SettingsFile(block + "</ui>"));

  // Without its character file the pair fails before its buffer is taken:
  // everything else the run needs fits under this peak.
  const long peak_kib = PeakAddressSpaceKib(argv, environment);
  ASSERT_GT(peak_kib, 0) << "no peak address space in /proc";
  if (peak_kib > 4L * 1024 * 1024) {
    GTEST_SKIP() << "a sanitizer build reserves " << peak_kib << " KiB it never uses";
  }
  WriteBytes(cache + "A@S.tmp", CharacterFile(1));
  std::vector<std::string> limited = {"/usr/bin/prlimit",
                                      "--as=" + std::to_string((peak_kib + 256) * 1024), "--"};
  limited.insert(limited.end(), argv.begin(), argv.end());
  const ProgramRun run = RunProgram(limited, environment, root + "/caller");
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(run.exit_code, 253);
  EXPECT_EQ(run.output,
            "=================================\n"
            " Tarnwick - UI Layout Extractor\n"
            "=================================\n"
            "Current Dir: " +
                program_folder +
                "\n\n"
                "[ERROR] Out of memory (Cannot allocate memory); the run stopped.\n" +
                kPause);
  EXPECT_EQ(ListFolder(program_folder), "tarnwick");
}

}  // namespace
