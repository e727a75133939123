// Input files that the game shrinks or rewrites while they are being read,
// and disks that fail mid-read. The test binary supplies its own pread,
// which every read of the conversion goes through: once armed, it truncates
// the chosen file just before the first read of it, that is after the
// program has taken the file's size, plays the game rewriting the file
// during reads, or fails reads past an offset as a failing disk does. Its
// own fstat plays a file system that keeps times in two-second steps.

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "convert/convert.h"
#include "convert/pair_queue.h"
#include "fixtures.h"
#include "read_error_cases.h"
#include "settle/input_file.h"
#include "settle/quiet_read.h"
#include "temp_dir.h"

namespace {

struct ShrinkOnRead {
  std::string path;
  off_t new_size = 0;
  bool armed = false;
  bool fired = false;
};

ShrinkOnRead g_shrink;

// The game rewriting a file, `rewrites_left` more times, each caught by a
// read: it truncates the file and writes the first `torn_at` bytes of the
// next version just before a read, and the rest once the read has met the
// end of that fragment. Every version gets a write time of its own, as it
// would on a clock that ticks between two rewrites, or, with
// `kept_write_time` set, the write time the file had before, as a program
// that sets it back would leave it. With `in_place` set, it writes over the
// old bytes without truncating, the rest right after the read, and leaves
// the times as the writes set them.
struct GameWriter {
  std::string path;
  std::vector<std::string> versions;
  std::size_t torn_at = 0;
  int rewrites_left = 0;
  int rewrites = 0;
  bool torn = false;
  std::optional<timespec> kept_write_time;
  bool in_place = false;
};

GameWriter g_writer;

// A disk that fails every read of the file at `path` that reaches past
// byte `from`.
struct FailingDisk {
  std::string path;
  off_t from = 0;
  int failed_reads = 0;
};

FailingDisk g_disk;

// A file system that keeps the times of one file in two-second steps,
// counted from the moment the test armed it, so that the whole test falls
// within one step.
struct CoarseClock {
  dev_t device = 0;
  ino_t inode = 0;
  timespec origin = {};
};

std::optional<CoarseClock> g_coarse_clock;

std::int64_t NanosecondsOf(const timespec& time) {
  return std::int64_t{time.tv_sec} * 1'000'000'000 + time.tv_nsec;
}

// A time at or after the origin goes back to the start of its step.
void HoldToItsStep(timespec& time) {
  constexpr std::int64_t kStepNs = 2'000'000'000;
  const std::int64_t origin = NanosecondsOf(g_coarse_clock->origin);
  const std::int64_t since = NanosecondsOf(time) - origin;
  if (since >= 0) {
    const std::int64_t held = origin + since / kStepNs * kStepNs;
    time = {static_cast<time_t>(held / 1'000'000'000), static_cast<long>(held % 1'000'000'000)};
  }
}

bool IsFile(int fd, const std::string& path) {
  struct stat open_file;
  struct stat named_file;
  return fstat(fd, &open_file) == 0 && stat(path.c_str(), &named_file) == 0 &&
         open_file.st_dev == named_file.st_dev && open_file.st_ino == named_file.st_ino;
}

bool IsArmedFile(int fd) { return g_shrink.armed && IsFile(fd, g_shrink.path); }

const std::string& NextVersion() {
  return g_writer.versions[static_cast<std::size_t>(g_writer.rewrites) % g_writer.versions.size()];
}

void WriteNextVersion(std::size_t from, std::size_t to, int flags) {
  const int fd = open(g_writer.path.c_str(), O_WRONLY | flags);
  ASSERT_GE(fd, 0);
  const std::string& version = NextVersion();
  ASSERT_EQ(pwrite(fd, version.data() + from, to - from, static_cast<off_t>(from)),
            static_cast<ssize_t>(to - from));
  if (!g_writer.in_place) {
    const timespec written[2] = {
        {0, UTIME_OMIT},
        g_writer.kept_write_time.value_or(timespec{1000000 + g_writer.rewrites, 0})};
    ASSERT_EQ(futimens(fd, written), 0);
  }
  close(fd);
}

}  // namespace

extern "C" int fstat(int fd, struct stat* info) {
  using Fstat = int (*)(int, struct stat*);
  static const auto real_fstat = reinterpret_cast<Fstat>(dlsym(RTLD_NEXT, "fstat"));
  const int result = real_fstat(fd, info);
  if (result == 0 && g_coarse_clock && info->st_dev == g_coarse_clock->device &&
      info->st_ino == g_coarse_clock->inode) {
    HoldToItsStep(info->st_mtim);
    HoldToItsStep(info->st_ctim);
  }
  return result;
}

extern "C" ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
  using Pread = ssize_t (*)(int, void*, size_t, off_t);
  static const auto real_pread = reinterpret_cast<Pread>(dlsym(RTLD_NEXT, "pread"));
  if (!g_disk.path.empty() && offset + static_cast<off_t>(count) > g_disk.from &&
      IsFile(fd, g_disk.path)) {
    ++g_disk.failed_reads;
    errno = EIO;
    return -1;
  }
  if (IsArmedFile(fd)) {
    g_shrink.armed = false;
    g_shrink.fired = truncate(g_shrink.path.c_str(), g_shrink.new_size) == 0;
  }
  const bool rewriting = (g_writer.torn || g_writer.rewrites_left > 0) && IsFile(fd, g_writer.path);
  if (rewriting && !g_writer.torn) {
    if (g_writer.kept_write_time) {
      // The change time moves by the file system's clock, whose tick may be
      // as coarse as a few milliseconds.
      usleep(20000);
    }
    WriteNextVersion(0, g_writer.torn_at, g_writer.in_place ? 0 : O_TRUNC);
    g_writer.torn = true;
    --g_writer.rewrites_left;
  }
  const ssize_t got = real_pread(fd, buffer, count, offset);
  if (rewriting && (got == 0 || g_writer.in_place)) {
    WriteNextVersion(g_writer.torn_at, NextVersion().size(), 0);
    g_writer.torn = false;
    ++g_writer.rewrites;
  }
  return got;
}

namespace {

class ShrinkingFileTest : public InTempDirTest {
 protected:
  void ShrinkBeforeFirstRead(const std::string& path, off_t new_size) {
    g_shrink = {path, new_size, true, false};
  }
  void TearDown() override {
    g_shrink = {};
    g_writer = {};
    g_disk = {};
    g_coarse_clock.reset();
    InTempDirTest::TearDown();
  }
};

struct ShrinkCase {
  std::string name;
  unsigned char layout_byte;
  std::size_t size;
  off_t shrunk_to;
};

class CharacterFileShrinks : public ShrinkingFileTest,
                             public ::testing::WithParamInterface<ShrinkCase> {};

TEST_P(CharacterFileShrinks, GivesTooShortAndNeverAnIdFromUnreadBytes) {
  const ShrinkCase& c = GetParam();
  WriteBytes("A@S.tmp", CharacterFile(7, c.layout_byte, c.size));
  WriteBytes("A@S_sc.tmp", SettingsFile("<ui>x</ui>"));
  ShrinkBeforeFirstRead("A@S.tmp", c.shrunk_to);
  NativeString output_name;
  EXPECT_EQ(ConvertFilePair("A@S.tmp", "A@S_sc.tmp", "", output_name), kCharacterFileTooShort);
  EXPECT_TRUE(g_shrink.fired) << "the character file was never read";
  EXPECT_EQ(output_name, "");
  EXPECT_EQ(ListFolder("."), "A@S.tmp A@S_sc.tmp");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CharacterFileShrinks,
    ::testing::Values(ShrinkCase{"Emptied", 0x02, 64, 0},
                      ShrinkCase{"ToTheLayoutByte", 0x02, 64, 1},
                      ShrinkCase{"ToTheIdOffset", 0x02, 64, 29},
                      ShrinkCase{"IntoTheShortLayoutId", 0x02, 64, 33},
                      ShrinkCase{"ToOneByteShortOfTheShortLayoutId", 0x02, 37, 36},
                      ShrinkCase{"IntoTheLongLayoutId", 0x13, 45, 40},
                      ShrinkCase{"ToOneByteShortOfTheLongLayoutId", 0x13, 64, 44}),
    CaseName());

TEST_F(ShrinkingFileTest, ACharacterFileThatKeepsItsIdBytesStillConverts) {
  WriteBytes("A@S.tmp", CharacterFile(7, 0x02, 64));
  WriteBytes("A@S_sc.tmp", SettingsFile("<ui>x</ui>"));
  ShrinkBeforeFirstRead("A@S.tmp", 37);
  NativeString output_name;
  EXPECT_EQ(ConvertFilePair("A@S.tmp", "A@S_sc.tmp", "", output_name), kConverted);
  EXPECT_TRUE(g_shrink.fired);
  EXPECT_EQ(ReadBytes("ui.7.xml"), Utf16Of("<ui>x</ui>"));
}

TEST_F(ShrinkingFileTest, ASettingsFileCutBeforeItsBlockGivesNotFound) {
  WriteBytes("A@S.tmp", CharacterFile(7));
  WriteBytes("ui.7.xml", "an earlier layout");
  WriteBytes("A@S_sc.tmp", std::string(5000, 'x') + "<ui>late</ui>");
  ShrinkBeforeFirstRead("A@S_sc.tmp", 4000);
  NativeString output_name;
  EXPECT_EQ(ConvertFilePair("A@S.tmp", "A@S_sc.tmp", "", output_name), kUiBlockNotFound);
  EXPECT_TRUE(g_shrink.fired);
  EXPECT_EQ(ReadBytes("ui.7.xml"), "an earlier layout");
}

// The cut is a change of the file: it is read again, whole as it now stands,
// and what it now holds is a layout cut short, which is not written.
TEST_F(ShrinkingFileTest, ASettingsFileCutInsideItsBlockIsReadAgainAsItNowStands) {
  WriteBytes("A@S.tmp", CharacterFile(7));
  WriteBytes("A@S_sc.tmp", "xx<ui>abcdefgh</ui>");
  WriteBytes("ui.7.xml", "an earlier layout");
  ShrinkBeforeFirstRead("A@S_sc.tmp", 9);
  NativeString output_name;
  EXPECT_EQ(ConvertFilePair("A@S.tmp", "A@S_sc.tmp", "", output_name), kUiBlockCut);
  EXPECT_TRUE(g_shrink.fired);
  EXPECT_EQ(ReadBytes("ui.7.xml"), "an earlier layout");
}

class ReadFails : public ShrinkingFileTest, public ::testing::WithParamInterface<ReadErrorCase> {};

// A read error is never taken for the end of the file.
TEST_P(ReadFails, GivesItsResultAndWritesNothing) {
  const ReadErrorCase& c = GetParam();
  WriteBytes("A@S.tmp", CharacterFile(7));
  WriteBytes("A@S_sc.tmp", kLongSettingsFile);
  WriteBytes("ui.7.xml", "an earlier layout");
  g_disk = {c.path, c.failing_from, 0};
  NativeString output_name;
  EXPECT_EQ(ConvertFilePair("A@S.tmp", "A@S_sc.tmp", "", output_name), c.result);
  EXPECT_GT(g_disk.failed_reads, 0);
  EXPECT_EQ(output_name, "");
  EXPECT_EQ(ReadBytes("ui.7.xml"), "an earlier layout");
  EXPECT_EQ(ListFolder("."), "A@S.tmp A@S_sc.tmp ui.7.xml");
}

// Through the conversion a failed read and a file that ends before its
// stamped size look alike while the stamp holds: neither is taken. The read
// itself must still say which it was, or only that stamp check would stand
// between a disk error and a layout cut short.
TEST_P(ReadFails, IsToldFromTheEndOfTheFile) {
  const ReadErrorCase& c = GetParam();
  WriteBytes(c.path, kLongSettingsFile);
  g_disk = {c.path, c.failing_from, 0};
  InputFile file;
  ASSERT_TRUE(file.Open(c.path));
  std::string buffer(kLongSettingsFile.size(), '\0');
  EXPECT_EQ(file.ReadAt(0, buffer.data(), buffer.size()), -1);
  EXPECT_GT(g_disk.failed_reads, 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReadFails, ::testing::ValuesIn(kReadErrorCases), CaseName());

// The settings file as the game writes it, version `number` of `size` bytes
// (every version as long as the next), and the block the tool cuts out of it.
std::string VersionBlock(int number, std::size_t size) {
  std::string block = "<ui><v n=\"" + std::to_string(number) + "\"/>";
  return block + std::string(size - block.size() - 20, static_cast<char>('a' + number)) + "</ui>";
}
std::string Version(int number, std::size_t size) {
  return "head\x01\0"s + VersionBlock(number, size) + "\0tail\xFF\x01\x02\x03\x04"s;
}

struct RewriteCase {
  std::string name;
  std::size_t size;
  std::size_t torn_at;
  int rewrites;
  ConversionResult result;
  int reads_rewritten;
  std::size_t new_size = 0;  ///< Of the versions written, when not `size`.
  bool keeps_write_time = false;
};

class SettingsFileRewritten : public ShrinkingFileTest,
                              public ::testing::WithParamInterface<RewriteCase> {};

TEST_P(SettingsFileRewritten, GivesAWholeVersionOrCannotOpenAndNeverAFragment) {
  const RewriteCase& c = GetParam();
  const std::size_t new_size = c.new_size != 0 ? c.new_size : c.size;
  WriteBytes("A@S.tmp", CharacterFile(7));
  WriteBytes("ui.7.xml", "an earlier layout");
  WriteBytes("A@S_sc.tmp", Version(0, c.size));
  g_writer.path = "A@S_sc.tmp";
  g_writer.versions = {Version(1, new_size), Version(2, new_size), Version(3, new_size)};
  g_writer.torn_at = c.torn_at;
  g_writer.rewrites_left = c.rewrites;
  if (c.keeps_write_time) {
    struct stat info;
    ASSERT_EQ(stat("A@S_sc.tmp", &info), 0);
    g_writer.kept_write_time = info.st_mtim;
  }
  NativeString output_name;
  EXPECT_EQ(ConvertFilePair("A@S.tmp", "A@S_sc.tmp", "", output_name), c.result);
  EXPECT_EQ(g_writer.rewrites, c.reads_rewritten) << "rewrites caught by a read";
  if (c.result == kConverted) {
    EXPECT_TRUE(ReadBytes("ui.7.xml") == Utf16Of(VersionBlock(c.reads_rewritten, new_size)))
        << "not the version the file held after the last rewrite";
  } else {
    EXPECT_EQ(output_name, "");
    EXPECT_EQ(ReadBytes("ui.7.xml"), "an earlier layout");
  }
  EXPECT_EQ(ListFolder("."), "A@S.tmp A@S_sc.tmp ui.7.xml");
}

// A read is made every settle interval until the wait runs out.
constexpr int kReadsBeforeGivingUp = 1 + static_cast<int>(kMaxSettleWaitNs / kSettleIntervalNs);

// Versions of one size, so that only the stamp's times tell them apart; and
// a longer version, whose block ends past the old end of the file.
INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsFileRewritten,
    ::testing::Values(RewriteCase{"OnceDuringTheFirstRead", 4000, 1000, 1, kConverted, 1},
                      RewriteCase{"TwiceDuringTheFirstReads", 4000, 1000, 2, kConverted, 2},
                      RewriteCase{"OnceCutInsideTheTag", 4000, 8, 1, kConverted, 1},
                      RewriteCase{"OncePastTheFirst204800Bytes", 300000, 250000, 1, kConverted, 1},
                      RewriteCase{"DuringThreeReadsInARow", 4000, 1000, 3, kConverted, 3},
                      RewriteCase{"OnceKeepingSizeAndWriteTime", 4000, 1000, 1, kConverted, 1, 0,
                                  true},
                      RewriteCase{"OnceToALongerVersion", 4000, 1000, 1, kConverted, 1, 6000},
                      RewriteCase{"WithoutEnd", 300000, 250000, 100, kCannotOpenSettingsFile,
                                  kReadsBeforeGivingUp}),
    CaseName());

// Rewritten in place, as big as before, within one step of a file system
// clock that keeps times in two-second steps: no time of the stamp moves,
// and neither does the size, so only the bytes read tell the versions apart.
struct CoarseClockCase {
  std::string name;
  std::string path;
  std::string old_version;
  std::string new_version;
  std::size_t torn_at;
  std::string output;  ///< The output file of the new version...
  int block_version;   ///< ...which holds the block of this version.
};

class CoarseClockRewrite : public ShrinkingFileTest,
                           public ::testing::WithParamInterface<CoarseClockCase> {};

TEST_P(CoarseClockRewrite, IsTakenOnlyAsTheWholeNewVersion) {
  const CoarseClockCase& c = GetParam();
  WriteBytes("A@S.tmp", CharacterFile(0x100000002));
  WriteBytes("A@S_sc.tmp", Version(0, 4000));
  WriteBytes(c.path, c.old_version);
  struct stat info;
  ASSERT_EQ(stat(c.path.c_str(), &info), 0);
  g_coarse_clock = CoarseClock{info.st_dev, info.st_ino, info.st_ctim};
  g_writer.path = c.path;
  g_writer.versions = {c.new_version};
  g_writer.torn_at = c.torn_at;
  g_writer.rewrites_left = 1;
  g_writer.in_place = true;
  NativeString output_name;
  EXPECT_EQ(ConvertFilePair("A@S.tmp", "A@S_sc.tmp", "", output_name), kConverted);
  ASSERT_EQ(g_writer.rewrites, 1) << "no read caught the rewrite";
  ASSERT_EQ(stat(c.path.c_str(), &info), 0);
  EXPECT_EQ(info.st_size, static_cast<off_t>(c.old_version.size()));
  EXPECT_EQ(output_name, ".\\" + c.output);
  EXPECT_TRUE(ReadBytes(c.output) == Utf16Of(VersionBlock(c.block_version, 4000)))
      << "not the block of one whole version";
  EXPECT_EQ(ListFolder("."), "A@S.tmp A@S_sc.tmp " + c.output);
}

// The character IDs 0x100000002 and 0x300000004: a read cut inside the ID
// gives 0x300000002, neither of them.
INSTANTIATE_TEST_SUITE_P(
    Cases, CoarseClockRewrite,
    ::testing::Values(CoarseClockCase{"SettingsFileCutInsideTheBlock", "A@S_sc.tmp",
                                      Version(0, 4000), Version(1, 4000), 1000, "ui.4294967298.xml",
                                      1},
                      CoarseClockCase{"CharacterFileCutInsideTheId", "A@S.tmp",
                                      CharacterFile(0x100000002), CharacterFile(0x300000004), 33,
                                      "ui.12884901892.xml", 0}),
    CaseName());

}  // namespace
