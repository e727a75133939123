#include <new>
#include <vector>

#include "driver/driver.h"
#include "driver/messages.h"
#include "platform/platform.h"

namespace {

// Running out of memory is the one exception the standard library can raise
// on our paths; it must not end the run without a word, nor close the window
// before the word can be read. What the unwinding freed is enough for both,
// but should it not be, the run still ends in order.
int RunOrReport(const std::vector<NativeString>& arguments) {
  Platform& platform = SystemPlatform();
  try {
    return RunTarnwick(arguments, platform);
  } catch (const std::bad_alloc&) {
  }
  try {
    platform.WriteConsole(OutOfMemoryText(OutOfMemoryReason()));
    platform.Pause();
  } catch (const std::bad_alloc&) {
  }
  return kExitOutOfMemory;
}

template <typename Char>
std::vector<NativeString> Arguments(int argc, Char** argv) {
  if (argc < 2) {
    return {};
  }
  return std::vector<NativeString>(argv + 1, argv + argc);
}

// A program may be started with no entry 0 at all.
template <typename Char>
int Run(int argc, Char** argv) {
  if (argc > 0 && argv[0] != nullptr) {
    RememberStartingPath(argv[0]);
  }
  return RunOrReport(Arguments(argc, argv));
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) { return Run(argc, argv); }
#else
int main(int argc, char** argv) { return Run(argc, argv); }
#endif
