// Input files that the game shrinks while they are being read. The test
// binary supplies its own pread, which every read of the conversion goes
// through: once armed, it truncates the chosen file just before the first
// read of it, that is after the program has taken the file's size.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "convert/convert.h"
#include "fixtures.h"
#include "temp_dir.h"

namespace {

struct ShrinkOnRead {
  std::string path;
  off_t new_size = 0;
  bool armed = false;
  bool fired = false;
};

ShrinkOnRead g_shrink;

bool IsArmedFile(int fd) {
  struct stat open_file;
  struct stat named_file;
  return g_shrink.armed && fstat(fd, &open_file) == 0 &&
         stat(g_shrink.path.c_str(), &named_file) == 0 && open_file.st_dev == named_file.st_dev &&
         open_file.st_ino == named_file.st_ino;
}

}  // namespace

extern "C" ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
  using Pread = ssize_t (*)(int, void*, size_t, off_t);
  static const auto real_pread = reinterpret_cast<Pread>(dlsym(RTLD_NEXT, "pread"));
  if (IsArmedFile(fd)) {
    g_shrink.armed = false;
    g_shrink.fired = truncate(g_shrink.path.c_str(), g_shrink.new_size) == 0;
  }
  return real_pread(fd, buffer, count, offset);
}

namespace {

class ShrinkingFileTest : public InTempDirTest {
 protected:
  void ShrinkBeforeFirstRead(const std::string& path, off_t new_size) {
    g_shrink = {path, new_size, true, false};
  }
  void TearDown() override {
    g_shrink = {};
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

TEST_F(ShrinkingFileTest, ASettingsFileCutInsideItsBlockGivesTheBytesThatWereRead) {
  WriteBytes("A@S.tmp", CharacterFile(7));
  WriteBytes("A@S_sc.tmp", "xx<ui>abcdefgh</ui>");
  ShrinkBeforeFirstRead("A@S_sc.tmp", 9);
  NativeString output_name;
  EXPECT_EQ(ConvertFilePair("A@S.tmp", "A@S_sc.tmp", "", output_name), kConverted);
  EXPECT_TRUE(g_shrink.fired);
  EXPECT_EQ(ReadBytes("ui.7.xml"), Utf16Of("<ui>abc"));
}

}  // namespace
