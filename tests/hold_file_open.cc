// Keeps a file open for writing, as the game client does with its settings
// files, until its standard input ends. Says "held" once the file is open.

#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: hold_file_open FILE\n", stderr);
    return 2;
  }
  // Others may read, nothing more: the strictest sharing that still lets a
  // reader in, provided the reader allows writers.
  const HANDLE file = CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::printf("cannot open: error %lu\n", GetLastError());
    return 1;
  }
  std::puts("held");
  std::fflush(stdout);
  char buffer[64];
  DWORD got = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) &&
         got > 0) {
  }
  CloseHandle(file);
  return 0;
}
