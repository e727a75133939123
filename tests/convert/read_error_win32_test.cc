// Windows only: a disk that fails mid-read, as the Linux fault tests stage
// it through pread. The test points this program's import of ReadFile at a
// failing disk, which fails every read of one file that reaches past a
// given byte, as a disk with a bad sector there does.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

#include "convert/convert.h"
#include "convert/pair_queue.h"
#include "fixtures.h"
#include "import_slot.h"
#include "read_error_cases.h"
#include "settle/input_file.h"
#include "temp_dir.h"

namespace {

struct FailingDisk {
  bool armed = false;
  BY_HANDLE_FILE_INFORMATION file = {};  ///< The file whose reads fail.
  std::int64_t from = 0;
  int failed_reads = 0;
};

FailingDisk g_disk;
decltype(&ReadFile) g_real_read = nullptr;

bool IsFailingFile(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(file, &info) &&
         info.dwVolumeSerialNumber == g_disk.file.dwVolumeSerialNumber &&
         info.nFileIndexHigh == g_disk.file.nFileIndexHigh &&
         info.nFileIndexLow == g_disk.file.nFileIndexLow;
}

BOOL WINAPI ReadFromFailingDisk(HANDLE file, void* buffer, DWORD size, DWORD* got,
                                OVERLAPPED* overlapped) {
  LARGE_INTEGER position = {};
  if (g_disk.armed && overlapped == nullptr &&
      SetFilePointerEx(file, LARGE_INTEGER{}, &position, FILE_CURRENT) &&
      position.QuadPart + size > g_disk.from && IsFailingFile(file)) {
    ++g_disk.failed_reads;
    if (got != nullptr) *got = 0;
    SetLastError(ERROR_CRC);
    return FALSE;
  }
  return g_real_read(file, buffer, size, got, overlapped);
}

class ReadFails : public InTempDirTest, public ::testing::WithParamInterface<ReadErrorCase> {
 protected:
  void SetUp() override {
    InTempDirTest::SetUp();
    g_real_read = reinterpret_cast<decltype(&ReadFile)>(
        SwapImport("ReadFile", reinterpret_cast<void*>(&ReadFromFailingDisk)));
    ASSERT_NE(g_real_read, nullptr);
    WriteBytes("A@S.tmp", CharacterFile(7));
    WriteBytes("A@S_sc.tmp", kLongSettingsFile);
    WriteBytes("ui.7.xml", "an earlier layout");
    FailReadsOf(GetParam().path, GetParam().failing_from);
  }
  void TearDown() override {
    if (g_real_read != nullptr) SwapImport("ReadFile", reinterpret_cast<void*>(g_real_read));
    g_disk = {};
    InTempDirTest::TearDown();
  }

  void FailReadsOf(const std::string& path, std::int64_t from) {
    const HANDLE file = CreateFileW(NativeOf(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(GetFileInformationByHandle(file, &g_disk.file));
    CloseHandle(file);
    g_disk.from = from;
    g_disk.armed = true;
  }
};

// A read error is never taken for the end of the file.
TEST_P(ReadFails, GivesItsResultAndWritesNothing) {
  NativeString output_name;
  EXPECT_EQ(ConvertFilePair(L"A@S.tmp", L"A@S_sc.tmp", L"", output_name), GetParam().result);
  EXPECT_GT(g_disk.failed_reads, 0);
  EXPECT_EQ(output_name, L"");
  EXPECT_EQ(ReadBytes("ui.7.xml"), "an earlier layout");
  EXPECT_EQ(ListFolder("."), "A@S.tmp A@S_sc.tmp ui.7.xml");
}

// Through the conversion a failed read and a file that ends before its
// stamped size look alike while the stamp holds: both give up. The read
// itself must still say which it was, or only that stamp check would stand
// between a disk error and a layout cut short.
TEST_P(ReadFails, IsToldFromTheEndOfTheFile) {
  const std::string contents = ReadBytes(GetParam().path);
  InputFile file;
  ASSERT_TRUE(file.Open(NativeOf(GetParam().path)));
  const auto buffer = std::make_unique<unsigned char[]>(contents.size());
  EXPECT_EQ(file.ReadAt(0, buffer.get(), contents.size()), -1);
  EXPECT_GT(g_disk.failed_reads, 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReadFails, ::testing::ValuesIn(kReadErrorCases), CaseName());

}  // namespace
