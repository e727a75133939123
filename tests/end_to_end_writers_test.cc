// The game saves its files while the program reads them, and Wine opens
// files for Windows programs without blocking: an open that the program made
// wait would fail the game's save at once. Nothing the program does may
// refuse or hold up such an open, whether it runs or is stopped (Ctrl+Z).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "end_to_end_fixture.h"
#include "fixtures.h"

namespace {

// Far beyond any open that nothing holds up, far below a hang.
constexpr auto kPromptly = std::chrono::seconds(5);

std::string LargeBlock(char filler, std::size_t size) {
  return "<ui>" + std::string(size - 9, filler) + "</ui>";
}

class WritersTest : public EndToEndTest {};

// The settings file holds a 16 MiB layout, which takes the program a while
// to read; every 2 ms the writer opens it without blocking and rewrites its
// first 4 KiB. Any hold the program takes on the file while it reads would
// fail one of those opens.
TEST_F(WritersTest, AWriterThatOpensWithoutBlockingNeverFailsASave) {
  SKIP_UNDER_WINE();
  const std::string settings = SettingsFile(LargeBlock('a', 16 << 20));
  AddPair("Saving@S", CharacterFile(7), settings);
  WriteBytes(root_ + "/head1", settings.substr(0, 4096));
  std::string head2 = settings.substr(0, 4096);
  head2.replace(head2.size() - 100, 100, 100, 'b');
  WriteBytes(root_ + "/head2", head2);
  BackgroundProgram writer({TARNWICK_GAME_WRITER, "--nonblock", "in-place", "1500", "2000",
                            cache_ + "Saving@S_sc.tmp", root_ + "/head1", root_ + "/head2"},
                           environment_);
  ASSERT_EQ(writer.ReadLine(), "writing");
  const ProgramRun first = RunWithin(60, {});
  const ProgramRun second = RunWithin(60, {});
  EXPECT_EQ(writer.Finish(), 0) << "a save failed while the program read the file";
  EXPECT_EQ(first.exit_code, 0);
  EXPECT_EQ(second.exit_code, 0);
}

// A run on a large cache is stopped at random moments; each time, every
// settings file opens for writing without blocking, at once. Continued, the
// run converts every pair.
TEST_F(WritersTest, AStoppedRunHoldsUpNoWriter) {
  SKIP_UNDER_WINE();
  constexpr int kPairs = 60;
  std::vector<std::string> settings_files;
  for (int k = 0; k < kPairs; ++k) {
    const std::string name = "Char" + std::to_string(k) + "@S";
    AddPair(name, CharacterFile(1000 + static_cast<std::uint64_t>(k)),
            SettingsFile(LargeBlock(static_cast<char>('a' + k % 26), 1 << 20)));
    settings_files.push_back(cache_ + name + "_sc.tmp");
  }
  // Past the two seconds after which the program reads each file once.
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
  std::random_device seed_source;
  const unsigned seed = seed_source();
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> pause_ms(5, 150);
  SCOPED_TRACE("seed " + std::to_string(seed));

  BackgroundProgram program({program_folder_ + "/" + ProgramName()}, environment_);
  ASSERT_GT(program.pid(), 0);
  for (int stop = 0; stop < 5; ++stop) {
    std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms(random)));
    ASSERT_EQ(kill(program.pid(), SIGSTOP), 0);
    siginfo_t info = {};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(program.pid()), &info, WSTOPPED | WNOWAIT), 0);
    for (const std::string& path : settings_files) {
      const auto started = std::chrono::steady_clock::now();
      const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      const int error = errno;
      EXPECT_GE(fd, 0) << "stop " << stop << ", " << path << ": " << std::strerror(error);
      EXPECT_LT(std::chrono::steady_clock::now() - started, kPromptly);
      if (fd >= 0) close(fd);
    }
    ASSERT_EQ(kill(program.pid(), SIGCONT), 0);
  }
  // The banner, a line per pair and the closing count; a program that
  // ended early leaves empty lines.
  int converted = 0;
  bool done = false;
  for (int k = 0; k < kPairs + 20 && !done; ++k) {
    const std::string line = program.ReadLine();
    done = line.starts_with("Done!");
    if (line.starts_with("[SUCCESS]")) ++converted;
    if (line.starts_with("[")) {
      EXPECT_TRUE(line.starts_with("[SUCCESS]")) << line;
    }
  }
  EXPECT_TRUE(done);
  EXPECT_EQ(program.Finish(), 0);
  EXPECT_EQ(converted, kPairs);
}

}  // namespace
