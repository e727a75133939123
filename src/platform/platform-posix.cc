#include <dirent.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/user_dirs.h"

namespace {

bool EndsWithSettingsMarker(std::string_view name) {
  constexpr std::string_view kMarker = "_sc.tmp";
  if (name.size() < kMarker.size()) {
    return false;
  }
  return std::equal(kMarker.begin(), kMarker.end(),
                    name.end() - static_cast<std::ptrdiff_t>(kMarker.size()),
                    [](char a, char b) {
                      const auto lower = [](char c) {
                        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
                      };
                      return lower(a) == lower(b);
                    });
}

void WaitForKey() {
  char key;
  if (!isatty(STDIN_FILENO)) {
    // A pipe or file: one byte, or the end of input, ends the wait.
    while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
    }
    return;
  }
  termios saved;
  if (tcgetattr(STDIN_FILENO, &saved) != 0) {
    return;
  }
  termios raw = saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
  }
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
}

class PosixPlatform : public Platform {
 public:
  void SetUpConsole() override {
    // A closed pipe on the console must not end the run: the files still
    // get converted.
    std::signal(SIGPIPE, SIG_IGN);
  }

  void WriteConsole(const NativeString& text) override {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }

  bool GetExecutablePath(NativeString& path) override {
    std::string buffer(256, '\0');
    for (;;) {
      const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
      if (length < 0) {
        return false;
      }
      if (static_cast<std::size_t>(length) < buffer.size()) {
        buffer.resize(static_cast<std::size_t>(length));
        path = buffer;
        return true;
      }
      buffer.resize(buffer.size() * 2);
    }
  }

  bool SetWorkingDirectory(const NativeString& folder) override {
    return chdir(folder.c_str()) == 0;
  }

  bool GetDocumentsFolder(NativeString& folder) override {
    const char* home = std::getenv("HOME");
    const char* config_home = std::getenv("XDG_CONFIG_HOME");
    if (home == nullptr || home[0] != '/') {
      return false;
    }
    std::string config = config_home != nullptr && config_home[0] == '/'
                             ? std::string(config_home)
                             : std::string(home) + "/.config";
    std::ifstream user_dirs(config + "/user-dirs.dirs", std::ios::binary);
    std::string contents((std::istreambuf_iterator<char>(user_dirs)),
                         std::istreambuf_iterator<char>());
    folder = DocumentsFolderFromUserDirs(contents, home)
                 .value_or(std::string(home) + "/Documents");
    while (folder.size() > 1 && folder.back() == '/') {
      folder.pop_back();
    }
    return true;
  }

  bool PathExists(const NativeString& path) override {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
  }

  bool FindSettingsFiles(const NativeString& folder,
                         std::vector<CacheEntry>& entries) override {
    DIR* directory = opendir(folder.c_str());
    if (directory == nullptr) {
      return false;
    }
    while (const dirent* entry = readdir(directory)) {
      const std::string_view name = entry->d_name;
      if (!EndsWithSettingsMarker(name)) {
        continue;
      }
      struct stat info;
      const std::string path = folder + std::string(name);
      const bool is_directory = stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
      entries.push_back({std::string(name), is_directory});
    }
    closedir(directory);
    // Sorted by name, so that every run reports in the same order.
    std::sort(entries.begin(), entries.end(),
              [](const CacheEntry& a, const CacheEntry& b) { return a.name < b.name; });
    return !entries.empty();
  }

  void Pause() override {
    WriteConsole("Press any key to continue . . . ");
    WaitForKey();
    WriteConsole("\n");
  }
};

}  // namespace

Platform& SystemPlatform() {
  static PosixPlatform platform;
  return platform;
}
