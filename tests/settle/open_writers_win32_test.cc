// Windows program only: under Wine on Linux the census of open writers is
// the Linux program's, read through Wine's Unix paths.

#include <windows.h>

#include <gtest/gtest.h>

#include "settle/input_file.h"
#include "settle/open_writers.h"
#include "settle/wine_system.h"
#include "temp_dir.h"

namespace {

class WineCensusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!IsWineOnLinux()) GTEST_SKIP() << "only under Wine on Linux";
    path_ = (dir_.path() / "Held@S_sc.tmp").wstring();
    WriteBytes(path_, "<ui></ui>");
  }

  TempDir dir_;
  std::wstring path_;
};

// A Windows program's handle open for writing is seen through the Wine
// server, which holds the file's descriptor for it (here this very program:
// its own opens are the server's, which "/proc/self" names); a handle open
// only for reading, like the program's own input, is no writer. The temporary
// folder lies on C:, which Wine keeps in the prefix, not on the drive of "/".
TEST_F(WineCensusTest, SeesAHandleOpenForWritingThroughTheWineServer) {
  InputFile file;
  ASSERT_TRUE(file.Open(path_));
  ASSERT_NE(file.InodeNumber(), 0u);
  const FileIdentity identity = file.Identity();
  EXPECT_EQ(identity.inode, file.InodeNumber());
  EXPECT_NE(identity.device, 0u);
  EXPECT_NE(WriterOf(FindOpenWriters(), file), WriterCheck::kOpen);

  const HANDLE writer =
      CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(WriterOf(FindOpenWriters(), file), WriterCheck::kOpen);
  CloseHandle(writer);
  EXPECT_NE(WriterOf(FindOpenWriters(), file), WriterCheck::kOpen);
}

}  // namespace
