// Windows only: the replace of an output file under a power cut, and its new
// file under another run's sweep of leftovers. No power cut can be staged
// under Wine, so the order of the file calls shows it instead: the test
// points this program's imports of FlushFileBuffers and MoveFileExW at
// recorders, which can also fail the flush or, while the new file is open,
// try to remove it as a sweep would.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "convert/replace_file.h"
#include "import_slot.h"
#include "temp_dir.h"

namespace {

struct ReplaceSeam {
  std::string calls;  ///< "flush " and "move " in order.
  bool flush_fails = false;
  bool flush_removes_new_file = false;
  DWORD removal_error = ERROR_SUCCESS;
};

ReplaceSeam g_seam;
decltype(&FlushFileBuffers) g_real_flush = nullptr;
decltype(&MoveFileExW) g_real_move = nullptr;

// As another run's sweep: finds the new file by its name and removes it
// through a handle of its own.
DWORD RemoveNewFile() {
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(L"ui.7.xml.*.part", &found);
  if (search == INVALID_HANDLE_VALUE) {
    return GetLastError();
  }
  FindClose(search);
  return DeleteFileW(found.cFileName) ? ERROR_SUCCESS : GetLastError();
}

BOOL WINAPI RecordFlush(HANDLE file) {
  g_seam.calls += "flush ";
  if (g_seam.flush_removes_new_file) {
    g_seam.removal_error = RemoveNewFile();
  }
  if (g_seam.flush_fails) {
    SetLastError(ERROR_IO_DEVICE);
    return FALSE;
  }
  return g_real_flush(file);
}

BOOL WINAPI RecordMove(const wchar_t* from, const wchar_t* to, DWORD flags) {
  g_seam.calls += "move ";
  return g_real_move(from, to, flags);
}

class ReplaceSeamTest : public InTempDirTest {
 protected:
  void SetUp() override {
    InTempDirTest::SetUp();
    g_real_flush = reinterpret_cast<decltype(&FlushFileBuffers)>(
        SwapImport("FlushFileBuffers", reinterpret_cast<void*>(&RecordFlush)));
    g_real_move = reinterpret_cast<decltype(&MoveFileExW)>(
        SwapImport("MoveFileExW", reinterpret_cast<void*>(&RecordMove)));
    ASSERT_NE(g_real_flush, nullptr);
    ASSERT_NE(g_real_move, nullptr);
    WriteBytes("ui.7.xml", "an earlier layout");
  }
  void TearDown() override {
    if (g_real_flush != nullptr) {
      SwapImport("FlushFileBuffers", reinterpret_cast<void*>(g_real_flush));
    }
    if (g_real_move != nullptr) SwapImport("MoveFileExW", reinterpret_cast<void*>(g_real_move));
    g_seam = {};
    InTempDirTest::TearDown();
  }
};

TEST_F(ReplaceSeamTest, TheNewFileReachesTheDiskBeforeItTakesTheName) {
  EXPECT_TRUE(ReplaceFileContents(L"ui.7.xml", "new", 3));
  EXPECT_EQ(g_seam.calls, "flush move ");
  EXPECT_EQ(ReadBytes("ui.7.xml"), "new");
}

TEST_F(ReplaceSeamTest, AFailedFlushKeepsTheEarlierLayout) {
  g_seam.flush_fails = true;
  EXPECT_FALSE(ReplaceFileContents(L"ui.7.xml", "new", 3));
  EXPECT_EQ(g_seam.calls, "flush ");
  EXPECT_EQ(ReadBytes("ui.7.xml"), "an earlier layout");
  EXPECT_EQ(ListFolder("."), "ui.7.xml");
}

// The sweep tells a new file that is still being written from a leftover by
// the system's refusal to remove it.
TEST_F(ReplaceSeamTest, NoOtherHandleCanRemoveTheNewFileWhileItIsOpen) {
  g_seam.flush_removes_new_file = true;
  EXPECT_TRUE(ReplaceFileContents(L"ui.7.xml", "new", 3));
  EXPECT_EQ(g_seam.removal_error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(ReadBytes("ui.7.xml"), "new");
  EXPECT_EQ(ListFolder("."), "ui.7.xml");
}

}  // namespace
