// Runs a program in a console of its own and, when this helper's standard
// input ends, presses Ctrl+C in that console, as a player would. Says
// "started" once the program runs; exits with the program's exit status, or
// with 3 when the program is still running 20 seconds after the key.

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

// Ctrl+C reaches every program of the console, this helper too, which must
// live on to report. (Wine sends no Ctrl+Break, and a program started as a
// process group of its own would ignore Ctrl+C.)
BOOL WINAPI KeepRunning(DWORD) { return TRUE; }

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fputs("usage: press_ctrl_c PROGRAM [ARGUMENT...]\n", stderr);
    return 2;
  }
  // Started from a pipe, as by the tests, a Wine program has a stand-in
  // console that takes no events: this helper makes a console of its own,
  // which the program shares. Standard input stays the pipe.
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  FreeConsole();
  if (!AllocConsole()) {
    std::printf("cannot make a console: error %lu\n", GetLastError());
    return 1;
  }
  SetConsoleCtrlHandler(KeepRunning, TRUE);
  std::wstring command;
  for (int k = 1; k < argc; ++k) {
    command += (k > 1 ? L" \"" : L"\"") + std::wstring(argv[k]) + L"\"";
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    std::printf("cannot start the program: error %lu\n", GetLastError());
    return 1;
  }
  std::puts("started");
  std::fflush(stdout);
  char buffer[64];
  DWORD got = 0;
  while (ReadFile(input, buffer, sizeof buffer, &got, nullptr) && got > 0) {
  }
  if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
    std::printf("cannot press Ctrl+C: error %lu\n", GetLastError());
  }
  // A program that the event did not end waits at its pause for a key.
  if (WaitForSingleObject(process.hProcess, 20000) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 1);
    return 3;
  }
  DWORD exit_code = 1;
  GetExitCodeProcess(process.hProcess, &exit_code);
  return static_cast<int>(exit_code);
}
