// Runs a program in this console, waits for it, then saves what the
// console's screen holds, row after row, to a file as UTF-16LE: the text as
// the console keeps it, before anything converts it for a terminal. Exits
// with the program's exit status. With "--when TEXT EARLY", it also saves the
// screen to EARLY as soon as the screen holds TEXT while the program runs.

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

// What the console's screen holds, row after row; empty when there is no
// console to read.
std::wstring ScreenText() {
  const HANDLE screen =
      CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (screen == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(screen, &info)) {
    return {};
  }
  const auto columns = static_cast<std::size_t>(info.dwSize.X);
  const auto rows = static_cast<std::size_t>(info.dwSize.Y);
  std::wstring cells(columns * rows, L' ');
  DWORD read = 0;
  ReadConsoleOutputCharacterW(screen, cells.data(), static_cast<DWORD>(cells.size()), {0, 0},
                              &read);
  CloseHandle(screen);
  cells.resize(read);
  return cells;
}

bool Save(const wchar_t* path, const std::wstring& cells) {
  FILE* output = _wfopen(path, L"wb");
  if (output == nullptr ||
      std::fwrite(cells.data(), sizeof(wchar_t), cells.size(), output) != cells.size() ||
      std::fclose(output) != 0) {
    std::fputs("cannot write the screen\n", stderr);
    return false;
  }
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const bool early = argc > 1 && std::wstring(argv[1]) == L"--when";
  const int first = early ? 4 : 1;
  if (argc < first + 2) {
    std::fputs("usage: console_screen [--when TEXT EARLY] OUTPUT PROGRAM [ARGUMENT...]\n", stderr);
    return 2;
  }
  std::wstring command;
  for (int k = first + 1; k < argc; ++k) {
    command += (k > first + 1 ? L" \"" : L"\"") + std::wstring(argv[k]) + L"\"";
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    std::fprintf(stderr, "cannot start the program: error %lu\n", GetLastError());
    return 1;
  }
  if (early) {
    const std::wstring text = argv[2];
    while (WaitForSingleObject(process.hProcess, 20) == WAIT_TIMEOUT) {
      const std::wstring cells = ScreenText();
      if (cells.find(text) != std::wstring::npos) {
        if (!Save(argv[3], cells)) return 1;
        break;
      }
    }
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exit_code = 1;
  GetExitCodeProcess(process.hProcess, &exit_code);
  const std::wstring cells = ScreenText();
  if (cells.empty()) {
    std::fputs("no console to read\n", stderr);
    return 1;
  }
  if (!Save(argv[first], cells)) return 1;
  return static_cast<int>(exit_code);
}
