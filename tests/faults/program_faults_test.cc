// Runs the built program into the faults a player's machine can throw at it:
// folders it may not write, a full disk, folders and unreadable files where
// files should be, a huge cache folder and very long paths. Each test checks
// the console, and that no earlier layout is lost or damaged.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fixtures.h"
#include "pretend_clock.h"
#include "run_program.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

std::string g_program;

const std::string kPause = kPausePrompt + "\n";

// Root ignores file permissions; the unprivileged user "nobody" does not.
const std::vector<std::string> kAsNobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                            "--clear-groups", "--"};

std::string CannotCreate(const std::string& settings_path) {
  return "[ERROR] Failed to create ui.####.xml for \"" + settings_path + "\".\n";
}
std::string CannotOpenSettings(const std::string& settings_path) {
  return "[ERROR] Cannot open \"" + settings_path + "\", unable to extract <ui>.\n";
}
std::string CannotOpenCharacter(const std::string& character_path) {
  return "[WARNING] Cannot open \"" + character_path + "\", unable to extract character ID.\n";
}
std::string NotFound(const std::string& settings_path) {
  return "[ERROR] \"<ui>\" not found in \"" + settings_path + "\".\n";
}

std::size_t CountOf(const std::string& text, const std::string& piece) {
  std::size_t count = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos;
       at = text.find(piece, at + piece.size())) {
    ++count;
  }
  return count;
}

// The layout of one character, about `size` bytes of markup.
std::string LargeBlock(std::size_t size) {
  std::string block = "<ui>";
  while (block.size() + 40 < size) {
    block += "<w id=\"" + std::to_string(block.size()) + "\" t=\"\xE5\xB8\x83\"/>\n";
  }
  return block + "</ui>";
}

class ProgramFaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = dir_.path().string();
    // Everything must be reachable for the unprivileged runs.
    fs::permissions(root_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
    UseFolders(root_ + "/game", root_ + "/home");
  }

  void UseFolders(const std::string& program_folder, const std::string& home) {
    program_folder_ = program_folder;
    cache_ = home + "/Documents/Quellmoor/cache/";
    fs::create_directories(program_folder_);
    fs::create_directories(cache_);
    fs::create_directories(root_ + "/caller");
    fs::copy_file(g_program, program_folder_ + "/tarnwick", fs::copy_options::overwrite_existing);
    environment_ = {"HOME=" + home, "PATH=/usr/bin:/bin"};
  }

  ProgramRun Run(const std::vector<std::string>& arguments,
                 const std::vector<std::string>& prefix = {}) {
    std::vector<std::string> argv = prefix;
    argv.push_back(program_folder_ + "/tarnwick");
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ProgramRun run = RunProgram(argv, environment_, root_ + "/caller");
    EXPECT_EQ(run.errors, "");
    return run;
  }

  std::string Header() { return kBanner + "Current Dir: " + program_folder_ + "\n\n"; }

  void AddPair(const std::string& name, std::uint64_t id, const std::string& block) {
    WriteBytes(cache_ + name + ".tmp", CharacterFile(id));
    WriteBytes(cache_ + name + "_sc.tmp", SettingsFile(block));
  }

  // Skips the test where the unprivileged user cannot be taken on, or cannot
  // reach the test's folder (a temporary folder inside a private home).
  bool CanRunAsNobody() {
    std::vector<std::string> whoami = kAsNobody;
    whoami.insert(whoami.end(), {"/usr/bin/id", "-u"});
    std::vector<std::string> reach = kAsNobody;
    reach.insert(reach.end(), {"/usr/bin/test", "-x", program_folder_ + "/tarnwick"});
    return getuid() == 0 && RunProgram(whoami, environment_, "/").output == "65534\n" &&
           RunProgram(reach, environment_, "/").exit_code == 0;
  }

  TempDir dir_;
  std::string root_;
  std::string program_folder_;
  std::string cache_;
  std::vector<std::string> environment_;
};

TEST_F(ProgramFaultsTest, AReadOnlyProgramFolderGetsNoFileAndTheScanGoesOn) {
  if (!CanRunAsNobody())
    GTEST_SKIP() << "needs root, setpriv, and a test folder that nobody can reach";
  AddPair("A@S", 1, "<ui>new a</ui>");
  AddPair("B@S", 2, "<ui>new b</ui>");
  WriteBytes(cache_ + "C@S.tmp", CharacterFile(3));
  WriteBytes(cache_ + "C@S_sc.tmp", "no block");
  WriteBytes(program_folder_ + "/ui.1.xml", "an earlier layout");
  // The program's own user owns the folder, without write permission.
  ASSERT_EQ(chown(program_folder_.c_str(), 65534, 65534), 0);
  fs::permissions(program_folder_, fs::perms::owner_write | fs::perms::group_write,
                  fs::perm_options::remove);

  const ProgramRun run = Run({}, kAsNobody);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, Header() + CannotCreate(cache_ + "A@S_sc.tmp") +
                            CannotCreate(cache_ + "B@S_sc.tmp") + NotFound(cache_ + "C@S_sc.tmp") +
                            Closing(0) + kPause);
  EXPECT_EQ(ListFolder(program_folder_), "tarnwick ui.1.xml");
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.1.xml"), "an earlier layout");
}

TEST_F(ProgramFaultsTest, UnreadableInputsAreReportedAndTheRestConverted) {
  if (!CanRunAsNobody())
    GTEST_SKIP() << "needs root, setpriv, and a test folder that nobody can reach";
  fs::permissions(program_folder_, fs::perms::all);
  AddPair("A@S", 1, "<ui>a</ui>");
  AddPair("B@S", 2, "<ui>b</ui>");
  AddPair("C@S", 3, "<ui>c</ui>");
  WriteBytes(root_ + "/drop/D@S_sc.tmp", SettingsFile("<ui>d</ui>"));
  WriteBytes(cache_ + "D@S.tmp", CharacterFile(4));
  for (const std::string& path :
       {cache_ + "A@S_sc.tmp", cache_ + "B@S.tmp", root_ + "/drop/D@S_sc.tmp"}) {
    fs::permissions(path, fs::perms::none);
  }

  const ProgramRun scan = Run({}, kAsNobody);
  EXPECT_EQ(scan.exit_code, 0);
  EXPECT_EQ(scan.output, Header() + CannotOpenSettings(cache_ + "A@S_sc.tmp") +
                             CannotOpenCharacter(cache_ + "B@S.tmp") +
                             Success(cache_ + "C@S_sc.tmp", "3") + Closing(1) + kPause);
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.3.xml"), Utf16Of("<ui>c</ui>"));

  // An unreadable file still exists, so it passes the first argument's test.
  const ProgramRun dropped = Run({root_ + "/drop/D@S_sc.tmp", cache_ + "C@S_sc.tmp"}, kAsNobody);
  EXPECT_EQ(dropped.exit_code, 0);
  EXPECT_EQ(dropped.output, Header() + CannotOpenSettings(root_ + "/drop/D@S_sc.tmp") +
                                Success(cache_ + "C@S_sc.tmp", "3") + Closing(1) + kPause);

  // A cache folder that cannot be listed is one without settings files.
  fs::permissions(cache_, fs::perms::others_read, fs::perm_options::remove);
  const ProgramRun unlisted = Run({}, kAsNobody);
  EXPECT_EQ(unlisted.exit_code, 254);
  EXPECT_EQ(unlisted.output, Header() + "[ERROR] Cannot find any CHAR@SERVER_sc.tmp file in \"" +
                                 cache_ + "\".\n" + kPause);
  EXPECT_EQ(ListFolder(program_folder_), "tarnwick ui.3.xml");
}

TEST_F(ProgramFaultsTest, FoldersAndSpecialFilesAsInputsAreReportedWithoutHanging) {
  AddPair("A@S", 1, "<ui>a</ui>");
  fs::create_directory(cache_ + "Dir@S_sc.tmp");
  WriteBytes(cache_ + "Dir@S.tmp", CharacterFile(5));
  WriteBytes(cache_ + "F@S_sc.tmp", SettingsFile("<ui>f</ui>"));
  fs::create_directory(cache_ + "F@S.tmp");
  ASSERT_EQ(mkfifo((cache_ + "P@S_sc.tmp").c_str(), 0644), 0);
  WriteBytes(cache_ + "P@S.tmp", CharacterFile(6));
  WriteBytes(cache_ + "Q@S_sc.tmp", SettingsFile("<ui>q</ui>"));
  ASSERT_EQ(mkfifo((cache_ + "Q@S.tmp").c_str(), 0644), 0);
  fs::create_symlink("/dev/zero", cache_ + "Z@S_sc.tmp");
  WriteBytes(cache_ + "Z@S.tmp", CharacterFile(7));
  fs::create_symlink(cache_ + "gone", cache_ + "L@S_sc.tmp");
  WriteBytes(cache_ + "L@S.tmp", CharacterFile(8));

  const ProgramRun scan = Run({});
  EXPECT_EQ(scan.exit_code, 0);
  EXPECT_EQ(scan.output, Header() + Success(cache_ + "A@S_sc.tmp", "1") +
                             CannotOpenCharacter(cache_ + "F@S.tmp") +
                             CannotOpenSettings(cache_ + "L@S_sc.tmp") +
                             CannotOpenSettings(cache_ + "P@S_sc.tmp") +
                             CannotOpenCharacter(cache_ + "Q@S.tmp") +
                             CannotOpenSettings(cache_ + "Z@S_sc.tmp") + Closing(1) + kPause);

  const ProgramRun dropped = Run({cache_ + "Dir@S_sc.tmp", cache_ + "P@S_sc.tmp"});
  EXPECT_EQ(dropped.exit_code, 0);
  EXPECT_EQ(dropped.output, Header() + CannotOpenSettings(cache_ + "Dir@S_sc.tmp") +
                                CannotOpenSettings(cache_ + "P@S_sc.tmp") + Closing(0) + kPause);
  EXPECT_EQ(ListFolder(program_folder_), "tarnwick ui.1.xml");
}

TEST_F(ProgramFaultsTest, AFolderWhereTheOutputGoesIsLeftAsItWas) {
  AddPair("A@S", 1, "<ui>a</ui>");
  AddPair("H@S", 8, "<ui>h</ui>");
  WriteBytes(program_folder_ + "/ui.8.xml/keep.txt", "kept");

  const ProgramRun run = Run({});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, Header() + Success(cache_ + "A@S_sc.tmp", "1") +
                            CannotCreate(cache_ + "H@S_sc.tmp") + Closing(1) + kPause);
  EXPECT_EQ(ListFolder(program_folder_), "tarnwick ui.1.xml ui.8.xml");
  EXPECT_EQ(ListFolder(program_folder_ + "/ui.8.xml"), "keep.txt");
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.8.xml/keep.txt"), "kept");
}

// Converts A@S (ID 1) with a small layout, then changes it into a large one
// and adds B@S (ID 2) with a small one: the run after `fill_disk` must fail
// on A@S alone, keep the first layout whole and still convert B@S.
class FullDiskTest : public ProgramFaultsTest {
 protected:
  void CheckNothingLostWhenTheDiskFills(const std::vector<std::string>& prefix) {
    AddPair("A@S", 1, "<ui>first</ui>");
    ASSERT_EQ(Run({}).output, Header() + Success(cache_ + "A@S_sc.tmp", "1") + Closing(1) + kPause);
    const std::string first = ReadBytes(program_folder_ + "/ui.1.xml");
    ASSERT_EQ(first, Utf16Of("<ui>first</ui>"));
    AddPair("A@S", 1, LargeBlock(150000));
    AddPair("B@S", 2, "<ui>b</ui>");

    const ProgramRun run = Run({}, prefix);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.output, Header() + CannotCreate(cache_ + "A@S_sc.tmp") +
                              Success(cache_ + "B@S_sc.tmp", "2") + Closing(1) + kPause);
    EXPECT_EQ(ReadBytes(program_folder_ + "/ui.1.xml"), first);
    EXPECT_EQ(ReadBytes(program_folder_ + "/ui.2.xml"), Utf16Of("<ui>b</ui>"));
  }
};

TEST_F(FullDiskTest, OnASmallFileSystemTheEarlierLayoutStaysWhole) {
  const std::string mount_point = root_ + "/small";
  fs::create_directories(mount_point);
  const std::uintmax_t program_size = fs::file_size(g_program);
  const std::string options = "size=" + std::to_string(program_size + (1 << 20));
  if (mount("tarnwick-test", mount_point.c_str(), "tmpfs", 0, options.c_str()) != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  }
  // Unmounted however the test ends, before its folder is removed.
  const std::unique_ptr<const char, void (*)(const char*)> unmount(
      mount_point.c_str(), [](const char* path) { umount2(path, MNT_DETACH); });
  UseFolders(mount_point + "/game", root_ + "/home");
  const std::string filler = program_folder_ + "/filler";
  {
    // Fill the file system, then leave a few pages: enough for a small
    // layout, too little for a large one.
    const int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const std::string block(4096, 'f');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    ASSERT_EQ(ftruncate(fd, lseek(fd, 0, SEEK_CUR) - 48 * 1024), 0);
    close(fd);
  }
  CheckNothingLostWhenTheDiskFills({});
  EXPECT_EQ(ListFolder(program_folder_), "filler tarnwick ui.1.xml ui.2.xml");
}

// The limit's signal ends a program by default: the program must not let it.
TEST_F(FullDiskTest, UnderAFileSizeLimitTheEarlierLayoutStaysWhole) {
  const auto previous = std::signal(SIGXFSZ, SIG_DFL);
  CheckNothingLostWhenTheDiskFills({"/usr/bin/prlimit", "--fsize=65536", "--"});
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(ListFolder(program_folder_), "tarnwick ui.1.xml ui.2.xml");
}

struct MeasuredRun {
  int exit_code = -1;
  std::string output;
  long peak_kib = 0;                ///< Resident memory.
  long peak_address_space_kib = 0;  ///< Virtual memory, as an address-space limit counts it.
  long resident_kib = 0;            ///< Resident memory at the pause.
};

// A memory figure of a running process, from /proc: `field` is "VmHWM"
// (peak resident), "VmPeak" (peak address space) or "VmRSS" (resident now);
// 0 when it cannot be read.
long PeakKibOf(pid_t pid, const std::string& field) {
  const std::string status = ReadBytes("/proc/" + std::to_string(pid) + "/status");
  const std::size_t at = status.find(field + ":");
  return at == std::string::npos ? 0 : std::stol(status.substr(at + field.size() + 1));
}

// Runs the program and takes its peak memory while it waits at the pause,
// its work done. (The kernel's count at exit would include the memory of
// the test process that forked it.)
MeasuredRun RunMeasured(const std::vector<std::string>& argv,
                        const std::vector<std::string>& environment) {
  std::vector<char*> args, env;
  for (const std::string& s : argv) args.push_back(const_cast<char*>(s.c_str()));
  for (const std::string& s : environment) env.push_back(const_cast<char*>(s.c_str()));
  args.push_back(nullptr);
  env.push_back(nullptr);
  int in[2], out[2];
  if (pipe(in) != 0 || pipe(out) != 0) return {};
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
  MeasuredRun run;
  char buffer[65536];
  ssize_t got = 0;
  // A minute without output ends the wait too, should the prompt change.
  pollfd output{out[0], POLLIN, 0};
  while (!run.output.ends_with(kPause.substr(0, kPause.size() - 1)) &&
         poll(&output, 1, 60000) > 0 && (got = read(out[0], buffer, sizeof buffer)) > 0) {
    run.output.append(buffer, static_cast<std::size_t>(got));
  }
  run.peak_kib = PeakKibOf(pid, "VmHWM");
  run.peak_address_space_kib = PeakKibOf(pid, "VmPeak");
  run.resident_kib = PeakKibOf(pid, "VmRSS");
  close(in[1]);
  while ((got = read(out[0], buffer, sizeof buffer)) > 0) {
    run.output.append(buffer, static_cast<std::size_t>(got));
  }
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

TEST_F(ProgramFaultsTest, AHugeCacheFolderRunsToTheEndInFlatMemory) {
  // Freed memory must go back at once, or the sanitizer's quarantine would
  // show up as growth.
  environment_.push_back("ASAN_OPTIONS=quarantine_size_mb=0");
  // Full-size settings files whose block fills the read buffer, shared
  // through hard links to keep the disk small.
  const std::string settings = root_ + "/large_sc";
  const std::string character = root_ + "/character";
  WriteBytes(settings, LargeBlock(204700));
  WriteBytes(character, CharacterFile(1));
  const auto link = [](const std::string& target, const std::string& path) {
    fs::create_hard_link(target, path);
  };
  link(settings, cache_ + "Only@S_sc.tmp");
  link(character, cache_ + "Only@S.tmp");
  const std::vector<std::string> argv = {program_folder_ + "/tarnwick"};
  const MeasuredRun one = RunMeasured(argv, environment_);
  ASSERT_EQ(one.exit_code, 0);
  ASSERT_EQ(CountOf(one.output, "[SUCCESS]"), 1u);

  const int pairs = 1000;
  for (int i = 0; i < pairs; ++i) {
    const std::string name = cache_ + "Char" + std::to_string(i) + "@S";
    link(settings, name + "_sc.tmp");
    link(character, name + ".tmp");
    link(settings, cache_ + "Lone" + std::to_string(i) + "@S_sc.tmp");
    link(settings, cache_ + "Upper" + std::to_string(i) + "@S_SC.TMP");
    fs::create_directory(cache_ + "Folder" + std::to_string(i) + "@S_sc.tmp");
    WriteBytes(cache_ + "other" + std::to_string(i) + ".dat", "x");
  }
  const MeasuredRun many = RunMeasured(argv, environment_);
  EXPECT_EQ(many.exit_code, 0);
  EXPECT_EQ(CountOf(many.output, "[SUCCESS]"), pairs + 1u);
  EXPECT_EQ(CountOf(many.output, "unable to extract character ID"), pairs + 0u);
  EXPECT_EQ(CountOf(many.output, "file name incorrect"), pairs + 0u);
  EXPECT_TRUE(many.output.ends_with(Closing(pairs + 1) + kPause));
  EXPECT_TRUE(ReadBytes(program_folder_ + "/ui.1.xml").starts_with("\xFF\xFE<\0u\0i\0>\0"s));
  // Every pair needs the same memory again; a few MiB of names may add up.
  ASSERT_GT(one.peak_kib, 0) << "no peak memory in /proc";
  EXPECT_LT(many.peak_kib, one.peak_kib + 16 * 1024)
      << "one pair: " << one.peak_kib << " KiB, " << pairs << " more pairs: " << many.peak_kib
      << " KiB";
}

// A layout of tens of MiB needs that much memory and twice as much for its
// output, which must not stay with the run (through the pause, say).
TEST_F(ProgramFaultsTest, ALargeLayoutsMemoryIsGivenBackOnceItIsWritten) {
  environment_.push_back("ASAN_OPTIONS=quarantine_size_mb=0");
  AddPair("A@S", 1, LargeBlock(40 << 20));
  const MeasuredRun run = RunMeasured({program_folder_ + "/tarnwick"}, environment_);
  ASSERT_EQ(run.exit_code, 0);
  ASSERT_EQ(CountOf(run.output, "[SUCCESS]"), 1u);
  ASSERT_GT(run.peak_kib, 100 * 1024) << "the block was never held whole";
  EXPECT_LT(run.resident_kib, run.peak_kib - 100 * 1024)
      << "peak " << run.peak_kib << " KiB, at the pause " << run.resident_kib << " KiB";
}

TEST_F(ProgramFaultsTest, PathsOfMoreThan400CharactersWork) {
  std::string deep = root_;
  while (deep.size() < 800) {
    deep += "/" + std::string(90, 'd') + "\xE6\xB7\xB1";
  }
  UseFolders(deep + "/game", deep + "/home");
  const std::string name = std::string(200, 'n') + "@" + std::string(40, 's');
  AddPair(name, 9, "<ui>deep</ui>");
  ASSERT_GT((cache_ + name + "_sc.tmp").size(), 1000u);

  const ProgramRun scan = Run({});
  EXPECT_EQ(scan.exit_code, 0);
  EXPECT_EQ(scan.output, Header() + Success(cache_ + name + "_sc.tmp", "9") + Closing(1) + kPause);

  fs::remove(program_folder_ + "/ui.9.xml");
  const ProgramRun dropped = Run({cache_ + name + "_sc.tmp"});
  EXPECT_EQ(dropped.exit_code, 0);
  EXPECT_EQ(dropped.output,
            Header() + Success(cache_ + name + "_sc.tmp", "9") + Closing(1) + kPause);
  EXPECT_EQ(ReadBytes(program_folder_ + "/ui.9.xml"), Utf16Of("<ui>deep</ui>"));
}

// Out of memory in the middle of a run, under an address-space limit just
// too small for the buffer of one conversion: the run says so in the
// system's words, waits for a key as after any run, ends with its own exit
// status and leaves no file behind.
TEST_F(ProgramFaultsTest, OutOfMemoryIsReportedWithAPauseAndItsOwnStatus) {
  WriteBytes(cache_ + "A@S_sc.tmp", SettingsFile(LargeBlock(200000)));
  const std::vector<std::string> argv = {program_folder_ + "/tarnwick", cache_ + "A@S_sc.tmp"};
  // Without its character file the pair fails before its buffer is taken:
  // everything else the run needs fits under this peak.
  const MeasuredRun measured = RunMeasured(argv, environment_);
  ASSERT_EQ(measured.exit_code, 0);
  ASSERT_GT(measured.peak_address_space_kib, 0) << "no peak address space in /proc";
  if (measured.peak_address_space_kib > 4L * 1024 * 1024) {
    GTEST_SKIP() << "a sanitizer build reserves " << measured.peak_address_space_kib
                 << " KiB of address space it never uses";
  }
  WriteBytes(cache_ + "A@S.tmp", CharacterFile(1));
  const std::string limit = std::to_string((measured.peak_address_space_kib + 256) * 1024);
  const ProgramRun run = Run({cache_ + "A@S_sc.tmp"}, {"/usr/bin/prlimit", "--as=" + limit, "--"});
  EXPECT_EQ(run.exit_code, 253);
  EXPECT_EQ(
      run.output,
      Header() + "[ERROR] Out of memory (Cannot allocate memory); the run stopped.\n" + kPause);
  EXPECT_EQ(ListFolder(program_folder_), "tarnwick");
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument.starts_with("--program=")) {
      g_program = fs::absolute(argument.substr(10)).string();
    }
  }
  if (g_program.empty()) {
    std::fprintf(stderr, "usage: %s --program=PATH_TO_TARNWICK\n", argv[0]);
    return 2;
  }
  // Files the tests write must be readable by the unprivileged runs.
  umask(022);
  // The conversions in this binary wait for their files by a clock of its
  // own; the program runs wait for real.
  UsePretendClock();
  return RUN_ALL_TESTS();
}
