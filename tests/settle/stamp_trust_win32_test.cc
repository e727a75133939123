// Windows program only: under Wine on Linux the trust of a file comes from
// the Linux file system that holds it, which Wine itself does not tell.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "settle/input_file.h"
#include "settle/unix_mounts.h"

namespace {

std::string ReadUnixFile(const wchar_t* path) {
  std::string text;
  const HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return text;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
  CloseHandle(file);
  return text;
}

// A new file holding `contents` in a folder of its own on the first mount
// whose type starts with `type`, as a Windows path; empty when there is no
// such mount that this program may write to.
std::wstring NewFileOnMount(const std::string& type, const std::string& contents) {
  using DosFileName = WCHAR*(CDECL*)(const char*);
  const auto dos_file_name = reinterpret_cast<DosFileName>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
  if (dos_file_name == nullptr) return {};
  for (const UnixMount& mount :
       ParseMountInfo(ReadUnixFile(L"\\\\?\\unix\\proc\\self\\mountinfo"))) {
    if (!mount.type.starts_with(type)) continue;
    WCHAR* dos = dos_file_name(mount.mount_point.c_str());
    if (dos == nullptr) continue;
    std::wstring folder =
        std::wstring(dos) + L"\\tarnwick-trust-" + std::to_wstring(GetCurrentProcessId());
    HeapFree(GetProcessHeap(), 0, dos);
    if (!CreateDirectoryW(folder.c_str(), nullptr)) continue;
    const std::wstring path = folder + L"\\a@S_sc.tmp";
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    DWORD written = 0;
    const bool ok = file != INVALID_HANDLE_VALUE &&
                    WriteFile(file, contents.data(), static_cast<DWORD>(contents.size()), &written,
                              nullptr) != 0;
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (ok) return path;
    DeleteFileW(path.c_str());
    RemoveDirectoryW(folder.c_str());
  }
  return {};
}

void RemoveFileAndFolder(const std::wstring& path) {
  DeleteFileW(path.c_str());
  RemoveDirectoryW(path.substr(0, path.rfind(L'\\')).c_str());
}

struct MountCase {
  const char* type;
  StampTrust trust;
};

class WineStampTrustTest : public ::testing::TestWithParam<MountCase> {};

TEST_P(WineStampTrustTest, AFileEarnsTheTrustOfTheLinuxFileSystemThatHoldsIt) {
  if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") == nullptr) {
    GTEST_SKIP() << "Wine only: Windows tells the file system itself";
  }
  const std::wstring path = NewFileOnMount(GetParam().type, "<ui/>");
  if (path.empty()) {
    GTEST_SKIP() << "no " << GetParam().type << " mount that this user may write to";
  }
  {
    InputFile file;
    ASSERT_TRUE(file.Open(path));
    EXPECT_EQ(file.Trust(), GetParam().trust);
  }
  RemoveFileAndFolder(path);
}

// Wine calls both NTFS. The FUSE mount is one that the Windows test run
// makes (an exFAT image through exfat-fuse) where the system lets it.
INSTANTIATE_TEST_SUITE_P(Mounts, WineStampTrustTest,
                         ::testing::Values(MountCase{"tmpfs", StampTrust::kTrusted},
                                           MountCase{"fuse", StampTrust::kUntrusted}),
                         [](const auto& test) { return std::string(test.param.type); });

bool UnderWineOnLinux() {
  const HANDLE table =
      CreateFileW(L"\\\\?\\unix\\proc\\self\\mountinfo", GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (table == INVALID_HANDLE_VALUE) return false;
  CloseHandle(table);
  return true;
}

// The prefix's own C: folder lies on whatever holds the prefix, but Wine
// names its files from the drive's folder, whose mount cannot be told
// without looking above it: an hour-old file there earns no trust, and is
// read twice.
TEST(WineDriveTrustTest, AFileOnThePrefixsOwnDriveEarnsNoTrust) {
  if (!UnderWineOnLinux()) {
    GTEST_SKIP() << "Wine on Linux only";
  }
  const std::wstring folder = L"C:\\tarnwick-trust-" + std::to_wstring(GetCurrentProcessId());
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  const std::wstring path = folder + L"\\a@S_sc.tmp";
  const HANDLE made = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(made, INVALID_HANDLE_VALUE);
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER hour_ago = {{now.dwLowDateTime, now.dwHighDateTime}};
  hour_ago.QuadPart -= 3600ull * 10000000;
  const FILETIME written = {hour_ago.LowPart, hour_ago.HighPart};
  EXPECT_TRUE(SetFileTime(made, nullptr, nullptr, &written));
  CloseHandle(made);
  {
    InputFile file;
    ASSERT_TRUE(file.Open(path));
    EXPECT_EQ(file.Trust(), StampTrust::kUntrusted);
  }
  RemoveFileAndFolder(path);
}

}  // namespace
