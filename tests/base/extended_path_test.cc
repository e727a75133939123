// Windows only: run under Wine with the unit tests of Tarnwick.exe.

#include "base/extended_path.h"

#include <gtest/gtest.h>

#include <string>

#include "temp_dir.h"

namespace {

const std::wstring kLongName(300, L'n');

TEST(ExtendedPathTest, LeavesPathsShorterThanMaxPathAlone) {
  for (const wchar_t* path : {L"C:\\Games\\ui.1.xml", L"ui.1.xml", L"..\\cache\\A@S_sc.tmp",
                              L"\\\\server\\share\\A@S_sc.tmp", L"C:/Games/ui.1.xml"}) {
    EXPECT_EQ(ExtendedLengthPath(path), path);
  }
}

TEST(ExtendedPathTest, GivesLongPathsTheExtendedFormOfTheirFullPath) {
  EXPECT_EQ(ExtendedLengthPath(L"C:\\" + kLongName + L"\\ui.1.xml"),
            L"\\\\?\\C:\\" + kLongName + L"\\ui.1.xml");
  // "." and ".." would be names in the extended form, and '/' no separator.
  EXPECT_EQ(ExtendedLengthPath(L"C:/" + kLongName + L"/./x/../ui.1.xml"),
            L"\\\\?\\C:\\" + kLongName + L"\\ui.1.xml");
  EXPECT_EQ(ExtendedLengthPath(L"\\\\server\\share\\" + kLongName),
            L"\\\\?\\UNC\\server\\share\\" + kLongName);
}

TEST(ExtendedPathTest, ResolvesARelativePathFromTheWorkingFolder) {
  std::wstring folder(GetCurrentDirectoryW(0, nullptr), L'\0');
  folder.resize(GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data()));
  if (!folder.ends_with(L'\\')) folder += L'\\';
  EXPECT_EQ(ExtendedLengthPath(kLongName), L"\\\\?\\" + folder + kLongName);
}

TEST(ExtendedPathTest, KeepsPathsAlreadyInADeviceForm) {
  for (const std::wstring& path : {L"\\\\?\\C:\\" + kLongName, L"\\\\.\\pipe\\" + kLongName}) {
    EXPECT_EQ(ExtendedLengthPath(path), path);
  }
}

}  // namespace
