// Windows only: the replace of an output file under a power cut. No power
// cut can be staged under Wine, so the order of the file calls shows it
// instead: the test points this program's imports of FlushFileBuffers and
// MoveFileExW at recorders, which can also fail the flush.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "convert/file_io.h"
#include "temp_dir.h"

namespace {

struct ReplaceSeam {
  std::string calls;  ///< "flush " and "move " in order.
  bool flush_fails = false;
};

ReplaceSeam g_seam;
decltype(&FlushFileBuffers) g_real_flush = nullptr;
decltype(&MoveFileExW) g_real_move = nullptr;

BOOL WINAPI RecordFlush(HANDLE file) {
  g_seam.calls += "flush ";
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

// Points this program's import slot of `function` at `replacement`; returns
// what the slot held, or null when the program does not import it.
void* SwapImport(const char* function, void* replacement) {
  auto* const base = reinterpret_cast<unsigned char*>(GetModuleHandleW(nullptr));
  const auto* const dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* const nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (auto* library =
           reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       library->Name != 0; ++library) {
    const auto* name =
        reinterpret_cast<const IMAGE_THUNK_DATA*>(base + library->OriginalFirstThunk);
    auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->FirstThunk);
    for (; name->u1.AddressOfData != 0; ++name, ++slot) {
      if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) continue;
      const auto* by_name =
          reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), function) != 0) continue;
      DWORD protection = 0;
      VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE, &protection);
      void* const previous = reinterpret_cast<void*>(slot->u1.Function);
      slot->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
      VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, protection, &protection);
      return previous;
    }
  }
  return nullptr;
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

}  // namespace
