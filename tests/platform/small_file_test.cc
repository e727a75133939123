#include "platform/small_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

class SmallFileTest : public InTempDirTest {};

TEST_F(SmallFileTest, ReadsARegularFileUpToTheLimit) {
  WriteBytes("exact", std::string(100, 'x') + '\0');
  fs::create_symlink("exact", "link");
  WriteBytes("empty", "");
  std::string contents = "left over";
  EXPECT_TRUE(ReadSmallFile("exact", 101, contents));
  EXPECT_EQ(contents, std::string(100, 'x') + '\0');
  EXPECT_TRUE(ReadSmallFile("link", 101, contents));
  EXPECT_EQ(contents.size(), 101u);
  EXPECT_TRUE(ReadSmallFile("empty", 101, contents));
  EXPECT_EQ(contents, "");
}

// None of these may hang, grow without bound or leave anything in `contents`.
TEST_F(SmallFileTest, TurnsAwayWhatIsNoSmallRegularFile) {
  WriteBytes("large", std::string(102, 'x'));
  fs::create_directory("folder");
  ASSERT_EQ(mkfifo("fifo", 0600), 0);
  fs::create_symlink("/dev/zero", "zero");
  fs::create_symlink("missing", "dangling");
  for (const char* path : {"large", "folder", "fifo", "zero", "dangling", "missing", ""}) {
    std::string contents = "left over";
    EXPECT_FALSE(ReadSmallFile(path, 101, contents)) << path;
    EXPECT_EQ(contents, "") << path;
  }
}

// A /proc file says its size is 0 and still holds text: only the read
// itself can keep to the limit.
TEST_F(SmallFileTest, KeepsToTheLimitWhenTheSizeSaysNothing) {
  const std::string status = "/proc/self/status";
  ASSERT_EQ(fs::file_size(status), 0u);
  std::string contents;
  EXPECT_TRUE(ReadSmallFile(status, 1 << 20, contents));
  EXPECT_TRUE(contents.starts_with("Name:")) << contents;
  EXPECT_GT(contents.size(), 101u);
  EXPECT_FALSE(ReadSmallFile(status, 101, contents));
  EXPECT_EQ(contents, "");
}

}  // namespace
