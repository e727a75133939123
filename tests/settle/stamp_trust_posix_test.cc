// Linux program only: the trust of a file comes from the file system that
// fstatfs names for it.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "settle/input_file.h"
#include "temp_dir.h"

namespace {

// A file never copied up carries the times of the overlay's lower layer,
// which may lie on any file system (here the test folder's), so no file
// reached through an overlay is trusted.
TEST(OverlayStampTrustTest, AFileThroughAnOverlayEarnsNoTrust) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root, to mount an overlay";
  }
  TempDir dir;
  const std::filesystem::path lower = dir.path() / "lower";
  const std::filesystem::path merged = dir.path() / "merged";
  for (const char* folder : {"lower", "upper", "work", "merged"}) {
    std::filesystem::create_directories(dir.path() / folder);
  }
  WriteBytes(lower / "a@S_sc.tmp", "<ui/>");
  const std::string options = "lowerdir=" + lower.string() +
                              ",upperdir=" + (dir.path() / "upper").string() +
                              ",workdir=" + (dir.path() / "work").string();
  if (mount("overlay", merged.c_str(), "overlay", 0, options.c_str()) != 0) {
    GTEST_SKIP() << "cannot mount an overlay here (" << std::strerror(errno)
                 << "): the kernel may lack it, or the test folder's file system cannot be a "
                    "layer";
  }
  {
    InputFile file;
    ASSERT_TRUE(file.Open((merged / "a@S_sc.tmp").string()));
    EXPECT_EQ(file.Trust(), StampTrust::kUntrusted);
  }
  umount2(merged.c_str(), MNT_DETACH);
}

}  // namespace
