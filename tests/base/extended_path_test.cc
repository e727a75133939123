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

// MAX_PATH counts the terminating NUL: a full path of 259 characters is the
// longest that every file call takes as it is.
TEST(ExtendedPathTest, TakesTheExtendedFormFromMaxPathCharactersOn) {
  const std::wstring folder = L"C:\\" + std::wstring(200, L'f') + L"\\";
  const std::wstring longest_plain = folder + std::wstring(MAX_PATH - 1 - folder.size(), L'n');
  ASSERT_EQ(longest_plain.size(), MAX_PATH - 1u);
  EXPECT_EQ(ExtendedLengthPath(longest_plain), longest_plain);
  const std::wstring shortest_extended = longest_plain + L"n";
  ASSERT_EQ(shortest_extended.size(), MAX_PATH + 0u);
  EXPECT_EQ(ExtendedLengthPath(shortest_extended), L"\\\\?\\" + shortest_extended);
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
