// Runs a program in this console, waits for it, then saves what the
// console's screen holds, row after row, to a file as UTF-16LE: the text as
// the console keeps it, before anything converts it for a terminal. Exits
// with the program's exit status.

#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fputs("usage: console_screen OUTPUT PROGRAM [ARGUMENT...]\n", stderr);
    return 2;
  }
  std::wstring command;
  for (int k = 2; k < argc; ++k) {
    command += (k > 2 ? L" \"" : L"\"") + std::wstring(argv[k]) + L"\"";
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    std::fprintf(stderr, "cannot start the program: error %lu\n", GetLastError());
    return 1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exit_code = 1;
  GetExitCodeProcess(process.hProcess, &exit_code);

  const HANDLE screen =
      CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (screen == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(screen, &info)) {
    std::fputs("no console to read\n", stderr);
    return 1;
  }
  const auto columns = static_cast<std::size_t>(info.dwSize.X);
  const auto rows = static_cast<std::size_t>(info.dwSize.Y);
  std::wstring cells(columns * rows, L' ');
  DWORD read = 0;
  ReadConsoleOutputCharacterW(screen, cells.data(), static_cast<DWORD>(cells.size()), {0, 0},
                              &read);
  FILE* output = _wfopen(argv[1], L"wb");
  if (output == nullptr || std::fwrite(cells.data(), sizeof(wchar_t), read, output) != read ||
      std::fclose(output) != 0) {
    std::fputs("cannot write the screen\n", stderr);
    return 1;
  }
  return static_cast<int>(exit_code);
}
