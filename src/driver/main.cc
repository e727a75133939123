#include <exception>
#include <vector>

#include "driver/driver.h"
#include "platform/platform.h"

namespace {

// The only exception the standard library may still raise here is running
// out of memory; it must not end the run without a word.
int RunOrReport(const std::vector<NativeString>& arguments) {
  Platform& platform = SystemPlatform();
  try {
    return RunTarnwick(arguments, platform);
  } catch (const std::exception&) {
    platform.WriteConsole(Native("[ERROR] Out of memory; the run stopped.\n"));
    return 1;
  }
}

template <typename Char>
std::vector<NativeString> Arguments(int argc, Char** argv) {
  if (argc < 2) {
    return {};
  }
  return std::vector<NativeString>(argv + 1, argv + argc);
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  return RunOrReport(Arguments(argc, argv));
}
#else
int main(int argc, char** argv) { return RunOrReport(Arguments(argc, argv)); }
#endif
