#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "fixtures.h"
#include "settle/open_writers.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

// The exit status of `child`; -1 when a signal ended it.
int ExitStatusOf(pid_t child) {
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A second process that holds `path` open with `flags` until Release.
class Holder {
 public:
  Holder(const std::string& path, int flags) {
    int ready[2];
    if (pipe(ready) != 0 || pipe(release_) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(release_[1]);
      const int fd = open(path.c_str(), flags | O_CLOEXEC);
      char byte = 'r';
      if (fd < 0 || write(ready[1], &byte, 1) != 1) _exit(1);
      while (read(release_[0], &byte, 1) > 0) {
      }
      _exit(close(fd) == 0 ? 0 : 2);
    }
    close(ready[1]);
    close(release_[0]);
    char byte = 0;
    held_ = read(ready[0], &byte, 1) == 1;
    close(ready[0]);
  }
  ~Holder() { Release(); }

  bool held() const { return held_; }

  // Closes the file in the holder and waits for it to end; its exit status.
  int Release() {
    if (pid_ <= 0) return -1;
    close(release_[1]);
    const int status = ExitStatusOf(pid_);
    pid_ = 0;
    return status;
  }

 private:
  pid_t pid_ = 0;
  int release_[2] = {-1, -1};
  bool held_ = false;
};

FileIdentity IdentityOfPath(const std::string& path) {
  FileIdentity identity;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0) << path;
  EXPECT_TRUE(OpenFileIdentity(fd, identity)) << path;
  close(fd);
  return identity;
}

class OpenWritersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = (dir_.path() / "CHAR@SERVER_sc.tmp").string();
    WriteBytes(path_, "settings");
    file_ = IdentityOfPath(path_);
  }

  TempDir dir_;
  std::string path_;
  FileIdentity file_;
};

// On the local file systems of the tests the mount table's device is the
// file's st_dev.
TEST_F(OpenWritersTest, AnOpenFileIsNamedAsStatNamesIt) {
  struct stat info;
  ASSERT_EQ(stat(path_.c_str(), &info), 0);
  EXPECT_EQ(file_, (FileIdentity{info.st_dev, info.st_ino}));
}

struct HeldCase {
  std::string name;
  int flags;
  bool writer;
};

void PrintTo(const HeldCase& c, std::ostream* out) { *out << c.name; }

class HeldByAnotherProcess : public OpenWritersTest,
                             public ::testing::WithParamInterface<HeldCase> {};

TEST_P(HeldByAnotherProcess, IsAWriterOnlyWhileOpenForWriting) {
  Holder holder(path_, GetParam().flags);
  ASSERT_TRUE(holder.held());
  const OpenWriters held = FindOpenWriters();
  EXPECT_EQ(WriterOf(held, file_) == WriterCheck::kOpen, GetParam().writer);

  ASSERT_EQ(holder.Release(), 0);
  const OpenWriters closed = FindOpenWriters();
  EXPECT_EQ(WriterOf(closed, file_), WriterCheck::kNone);
}

INSTANTIATE_TEST_SUITE_P(Flags, HeldByAnotherProcess,
                         ::testing::Values(HeldCase{"WriteOnly", O_WRONLY, true},
                                           HeldCase{"ReadWrite", O_RDWR, true},
                                           HeldCase{"Appending", O_WRONLY | O_APPEND, true},
                                           HeldCase{"ReadOnly", O_RDONLY, false}),
                         CaseName());

TEST_F(OpenWritersTest, NamesOnlyTheFileHeldNotOneOfTheSameInodeElsewhere) {
  const std::string other = (dir_.path() / "other").string();
  WriteBytes(other, "other");
  Holder holder(other, O_WRONLY);
  ASSERT_TRUE(holder.held());
  const FileIdentity held = IdentityOfPath(other);
  const OpenWriters writers = FindOpenWriters();
  ASSERT_EQ(WriterOf(writers, held), WriterCheck::kOpen);
  EXPECT_NE(WriterOf(writers, file_), WriterCheck::kOpen);
  EXPECT_NE(WriterOf(writers, FileIdentity{held.device + 1, held.inode}), WriterCheck::kOpen);
  EXPECT_NE(WriterOf(writers, FileIdentity{held.device, held.inode + 1}), WriterCheck::kOpen);
}

TEST_F(OpenWritersTest, LeavesOutThisProcessItself) {
  const int fd = open(path_.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_NE(WriterOf(FindOpenWriters(), file_), WriterCheck::kOpen);
  close(fd);
}

// A writer that opens without blocking, truncates and writes, over and
// over while the census runs, is never refused nor held up.
TEST_F(OpenWritersTest, NeverHoldsUpAWriter) {
  constexpr int kSaves = 3000;
  const pid_t writer = fork();
  if (writer == 0) {
    for (int save = 0; save < kSaves; ++save) {
      const int fd =
          open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | (save % 2 == 0 ? O_TRUNC : 0));
      if (fd < 0) _exit(1);
      if (write(fd, "saved", 5) != 5 || ftruncate(fd, save % 7) != 0) _exit(2);
      if (close(fd) != 0) _exit(3);
    }
    _exit(0);
  }
  int censuses = 0;
  int status = 0;
  while (waitpid(writer, &status, WNOHANG) == 0) {
    FindOpenWriters();
    ++censuses;
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "a save failed, after " << censuses << " censuses";
}

// A folder laid out as /proc, for what a real system rarely shows. This
// process is 100; its mount table names mount 27 (device 8:1) after a line
// longer than any buffer.
class FakeProc {
 public:
  explicit FakeProc(const fs::path& root) : root_(root) {
    fs::create_directories(root_ / "100" / "fd");
    fs::create_directories(root_ / "100" / "ns");
    fs::create_symlink("100", root_ / "self");
    fs::create_symlink("mnt:[1]", root_ / "100" / "ns" / "mnt");
    WriteBytes(root_ / "100" / "mountinfo",
               "26 1 254:0 / / rw - ext4 /dev/vda rw\n"
               "30 26 0:5 / /" +
                   std::string(20000, 'x') + " rw - tmpfs tmpfs rw\n" +
                   "27 26 8:1 / /home rw - ext4 /dev/sda1 rw\n");
  }

  fs::path Process(const std::string& pid, const std::string& mount_namespace = "mnt:[1]") const {
    const fs::path process = root_ / pid;
    if (!fs::exists(process / "ns")) {
      fs::create_directories(process / "fd");
      fs::create_directories(process / "fdinfo");
      fs::create_directories(process / "ns");
      fs::create_symlink(mount_namespace, process / "ns" / "mnt");
    }
    return process;
  }

  // An open file `fd` of `pid` whose fdinfo text is `info`.
  void Open(const std::string& pid, int fd, const std::string& info) const {
    const fs::path process = Process(pid);
    fs::create_symlink("/home/player/file", process / "fd" / std::to_string(fd));
    WriteBytes(process / "fdinfo" / std::to_string(fd), info);
  }

  const fs::path& root() const { return root_; }

 private:
  fs::path root_;
};

std::string Fdinfo(const std::string& flags, int mount, int inode) {
  return "pos:\t0\nflags:\t" + flags + "\nmnt_id:\t" + std::to_string(mount) + "\nino:\t" +
         std::to_string(inode) + "\n";
}

const FileIdentity kHomeFile{makedev(8, 1), 1234};

struct FakeCase {
  std::string name;
  std::function<void(const FakeProc&)> lay_out;
  std::vector<FileIdentity> files;
};

void PrintTo(const FakeCase& c, std::ostream* out) { *out << c.name; }

const FakeCase kFakeCases[] = {
    {"WriteOnly",
     [](const FakeProc& p) { p.Open("200", 3, Fdinfo("0100001", 27, 1234)); },
     {kHomeFile}},
    {"ReadWrite",
     [](const FakeProc& p) { p.Open("200", 3, Fdinfo("02100002", 27, 1234)); },
     {kHomeFile}},
    {"ReadOnly", [](const FakeProc& p) { p.Open("200", 3, Fdinfo("0100000", 27, 1234)); }, {}},
    {"HeldByTwoProcessesNamedOnce",
     [](const FakeProc& p) {
       p.Open("200", 3, Fdinfo("01", 27, 1234));
       p.Open("300", 9, Fdinfo("01", 27, 1234));
       p.Open("300", 10, Fdinfo("01", 27, 99));
     },
     {{makedev(8, 1), 99}, kHomeFile}},
    {"ThisProcessLeftOut",
     [](const FakeProc& p) {
       fs::create_directories(p.root() / "100" / "fdinfo");
       p.Open("100", 3, Fdinfo("01", 27, 1234));
     },
     {}},
    {"NoProcess",
     [](const FakeProc& p) {
       fs::create_directories(p.root() / "sys" / "fdinfo");
       fs::create_directories(p.root() / "sys" / "fd");
       fs::create_symlink("/x", p.root() / "sys" / "fd" / "3");
       WriteBytes(p.root() / "sys" / "fdinfo" / "3", Fdinfo("01", 27, 1234));
     },
     {}},
    {"FdFolderUnreadable",
     [](const FakeProc& p) {
       fs::create_directories(p.root() / "200");
       WriteBytes(p.root() / "200" / "fd", "not a folder");
     },
     {}},
    {"EndedBeforeItsFdFolderWasRead",
     [](const FakeProc& p) { fs::create_directories(p.root() / "200"); },
     {}},
    {"FdClosedBeforeItsFdinfoWasRead",
     [](const FakeProc& p) {
       fs::create_symlink("/home/player/file", p.Process("200") / "fd" / "3");
       p.Open("200", 4, Fdinfo("01", 27, 1234));
     },
     {kHomeFile}},
    {"FdinfoWithoutInode",
     [](const FakeProc& p) {
       p.Open("200", 3, "pos:\t0\nflags:\t01\nmnt_id:\t27\n");
       p.Open("200", 4, Fdinfo("01", 27, 1234));
     },
     {kHomeFile}},
    // A pipe, a socket, a memfd: mounts that no mount table lists.
    {"KernelMountOfThisNamespace",
     [](const FakeProc& p) { p.Open("200", 3, Fdinfo("02", 15, 1234)); },
     {}},
    {"MountOfAnotherNamespace",
     [](const FakeProc& p) {
       WriteBytes(p.Process("200", "mnt:[2]") / "mountinfo", "99 98 0:50 / / rw - btrfs x rw\n");
       p.Open("200", 3, Fdinfo("01", 99, 1234));
       p.Open("200", 4, Fdinfo("01", 15, 1234));
     },
     {{makedev(0, 50), 1234}}},
    {"MountTableOfAnotherNamespaceUnreadable",
     [](const FakeProc& p) {
       fs::create_directories(p.Process("200", "mnt:[2]") / "mountinfo");
       p.Open("200", 3, Fdinfo("01", 99, 1234));
     },
     {}},
};

class FakeProcTest : public ::testing::TestWithParam<FakeCase> {
 protected:
  TempDir dir_;
};

TEST_P(FakeProcTest, TellsWhatItFound) {
  const FakeProc proc(dir_.path() / "proc");
  GetParam().lay_out(proc);
  const OpenWriters writers = FindOpenWriters(proc.root().string());
  EXPECT_EQ(writers.files, GetParam().files);
}

INSTANTIATE_TEST_SUITE_P(Cases, FakeProcTest, ::testing::ValuesIn(kFakeCases), CaseName());

TEST(FakeProcBoundsTest, KeepsEachFileOnceHoweverManyDescriptionsHoldIt) {
  TempDir dir;
  const FakeProc proc(dir.path() / "proc");
  for (int fd = 0; fd < 5000; ++fd) {
    proc.Open("200", fd, Fdinfo("01", 27, 1234 + fd % 3));
  }
  const OpenWriters writers = FindOpenWriters(proc.root().string());
  EXPECT_EQ(writers.files.size(), 3u);
  EXPECT_EQ(writers.files.capacity() < 4096, true) << writers.files.capacity();
  EXPECT_EQ(WriterOf(writers, kHomeFile), WriterCheck::kOpen);
}

TEST(FakeProcBoundsTest, WithoutAMountTableKnowsNothing) {
  TempDir dir;
  const OpenWriters writers = FindOpenWriters((dir.path() / "no-proc").string());
  EXPECT_TRUE(writers.files.empty());
  EXPECT_EQ(WriterOf(writers, kHomeFile), WriterCheck::kNone);
}

}  // namespace
