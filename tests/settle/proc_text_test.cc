// The /proc texts that both programs parse: the Linux one from /proc, the
// Windows one under Wine through Wine's Unix paths.

#include "settle/proc_text.h"

#include <gtest/gtest.h>

#include <string>

#ifndef _WIN32
#include <sys/sysmacros.h>
#endif

namespace {

struct FdinfoCase {
  const char* text;
  bool for_writing;
  std::optional<std::uint64_t> mount_id;
  std::optional<std::uint64_t> inode;
};

TEST(ProcTextTest, TellsWhatAnFdinfoTextSays) {
  const FdinfoCase cases[] = {
      {"pos:\t0\nflags:\t0100001\nmnt_id:\t27\nino:\t1234\n", true, 27, 1234},
      {"pos:\t0\nflags:\t02100002\nmnt_id:\t27\nino:\t1234\n", true, 27, 1234},
      // Read-only, as this program opens its inputs (and the Wine server
      // opens them for it): no writer.
      {"pos:\t0\nflags:\t0100000\nmnt_id:\t27\nino:\t1234\n", false, 27, 1234},
      {"pos:\t0\nflags:\t02000003\nmnt_id:\t27\nino:\t1234\n", false, 27, 1234},
      // A kernel before 5.14 tells no inode.
      {"pos:\t0\nflags:\t01\nmnt_id:\t27\n", true, 27, std::nullopt},
      // No flags: taken as a writer, to be named by its mount and inode.
      {"mnt_id:\t8\nino:\t9", true, 8, 9},
      {"flags:\t0100001\nmnt_id:\tx\nino:\t99999999999999999999999\n", true, std::nullopt,
       std::nullopt},
  };
  for (const FdinfoCase& c : cases) {
    const DescriptionInfo info = ParseFdinfo(c.text);
    EXPECT_EQ(info.for_writing, c.for_writing) << c.text;
    EXPECT_EQ(info.mount_id, c.mount_id) << c.text;
    EXPECT_EQ(info.inode, c.inode) << c.text;
  }
}

TEST(ProcTextTest, DeviceNumbersAreStatsOwn) {
  EXPECT_EQ(LinuxDevice(8, 1), 0x801u);
  EXPECT_EQ(LinuxDevice(0, 45), 45u);
  EXPECT_EQ(LinuxDevice(259, 0x12345), 0x12310345u);
#ifndef _WIN32
  for (const auto& [major_number, minor_number] :
       {std::pair{8u, 1u}, {0u, 45u}, {259u, 0x12345u}, {0xABCDEu, 0xFFFFFFu}}) {
    EXPECT_EQ(LinuxDevice(major_number, minor_number), makedev(major_number, minor_number));
  }
#endif
}

// A table read a page at a time, or less, gives the mounts of one read whole.
TEST(ProcTextTest, AMountTableFedInPiecesIsTheWholeTable) {
  const std::string table = "36 35 98:0 /mnt1 /mnt/" + std::string(200, 'x') +
                            " rw,noatime master:1 - ext3 /dev/root rw\n"
                            "37 36 259:65541 / /home rw - ext4 /dev/nvme0n1p5 rw\n"
                            "broken line\n"
                            "38 37 0:45 / /run/user rw - tmpfs tmpfs rw\n";
  MountTable whole;
  whole.Feed(table);
  whole.EndText();
  MountTable pieces;
  for (const char c : table) pieces.Feed(std::string(1, c));
  pieces.EndText();
  for (const MountTable* mounts : {&whole, &pieces}) {
    EXPECT_EQ(mounts->DeviceOf(36), LinuxDevice(98, 0));
    EXPECT_EQ(mounts->DeviceOf(37), LinuxDevice(259, 65541));
    EXPECT_EQ(mounts->DeviceOf(38), LinuxDevice(0, 45));
    EXPECT_EQ(mounts->DeviceOf(35), std::nullopt);
  }
}

}  // namespace
