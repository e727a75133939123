#include <dirent.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/new_files.h"
#include "platform/platform.h"
#include "platform/prefix_documents.h"
#include "platform/settings_pattern.h"
#include "platform/small_file.h"
#include "platform/starting_path.h"
#include "platform/user_dirs.h"

namespace {

// Real ones hold a dozen short lines.
constexpr std::size_t kMaxUserDirsSize = 64 * 1024;

// Entry 0 of the command line: the way to the program's own folder where
// /proc is not mounted (a bare chroot or container).
std::string g_starting_path;

bool IsFolder(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// As the listing sees it, like the attribute word of a Windows enumeration.
bool IsDirectoryEntry(const std::string& folder, const dirent& entry) {
  if (entry.d_type != DT_UNKNOWN && entry.d_type != DT_LNK) {
    return entry.d_type == DT_DIR;
  }
  return IsFolder(folder + entry.d_name);
}

// The matching entries of `folder`, back to back in `names`, each as a 'd'
// (folder) or 'f', its name and a NUL, and where each starts. A first pass
// sizes both exactly, so a huge cache folder costs little more than its names.
// Packed this way, a scan of 3000 pairs peaks near the memory of one of 10
// (the peak memory target in docs/performance.md).
// False when the folder cannot be read or nothing matches.
bool ListSettingsFiles(const std::string& folder, std::string& names,
                       std::vector<std::uint32_t>& starts) {
  DIR* directory = opendir(folder.c_str());
  if (directory == nullptr) {
    return false;
  }
  std::size_t count = 0;
  std::size_t bytes = 0;
  while (const dirent* entry = readdir(directory)) {
    if (MatchesSettingsPattern(entry->d_name)) {
      ++count;
      bytes += std::strlen(entry->d_name) + 2;
    }
  }
  starts.reserve(count);
  names.reserve(bytes);
  rewinddir(directory);
  while (const dirent* entry = readdir(directory)) {
    if (MatchesSettingsPattern(entry->d_name)) {
      starts.push_back(static_cast<std::uint32_t>(names.size()));
      names.push_back(IsDirectoryEntry(folder, *entry) ? 'd' : 'f');
      names.append(entry->d_name);
      names.push_back('\0');
    }
  }
  closedir(directory);
  return !starts.empty();
}

// The terminal as the program found it, and as the pause wants it. Written
// only while `g_at_pause` and `g_terminal_changed` say no handler reads them.
termios g_saved_terminal;
termios g_pause_terminal;
std::atomic<bool> g_at_pause{false};
std::atomic<bool> g_terminal_changed{false};
static_assert(std::atomic<bool>::is_always_lock_free);

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int kStopSignals[] = {SIGTSTP, SIGTTIN, SIGTTOU};

// The live line as last drawn, with the carriage returns around it and the
// erase after it, for a handler to take back or draw again. Its bytes are
// changed only while the handled signals are blocked.
constexpr std::size_t kMostLiveLineCells = 1000;
char g_live_line[4 * kMostLiveLineCells + 8];
std::size_t g_live_line_size = 0;
std::atomic<bool> g_live_line_shown{false};
constexpr char kEraseLine[] = "\r\x1b[K";

// Safe in a signal handler.
void WriteAll(const char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t written = write(STDOUT_FILENO, bytes, size);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return;
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
}

// Safe in a signal handler. Only the program's own foreground job draws on
// the terminal, which a job in the background shares with the shell.
bool OwnsOutputForeground() { return tcgetpgrp(STDOUT_FILENO) == getpgrp(); }

// Safe in a signal handler. The line stays marked as shown, so that a stop
// takes it back and the continue draws it again.
void TakeBackLiveLine() {
  if (g_live_line_shown) {
    WriteAll(kEraseLine, sizeof kEraseLine - 1);
  }
}

void DrawLiveLineAgain() {
  if (g_live_line_shown && OwnsOutputForeground()) {
    WriteAll(g_live_line, g_live_line_size);
  }
}

// Standard input is the program's controlling terminal, and the program's
// process group its foreground: only then is the terminal the program's to
// change and to read. Safe in a signal handler.
bool OwnsTerminalForeground() {
  return tcgetsid(STDIN_FILENO) == getsid(0) && tcgetpgrp(STDIN_FILENO) == getpgrp();
}

// Safe in a signal handler. What the key left in the input (the rest of an
// arrow key's sequence) is dropped, or the shell would read it. A program
// moved to the background meanwhile may still set the terminal back. The
// flag is cleared only once the terminal is back: a signal that lands in
// between sets it back once more.
void SetTerminalBack() {
  if (!g_terminal_changed) {
    return;
  }
  sigset_t stop_signal;
  sigset_t previous;
  sigemptyset(&stop_signal);
  sigaddset(&stop_signal, SIGTTOU);
  sigprocmask(SIG_BLOCK, &stop_signal, &previous);
  tcflush(STDIN_FILENO, TCIFLUSH);
  tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_terminal);
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  g_terminal_changed = false;
}

// Safe in a signal handler. A job continued in the background leaves the
// terminal alone; its read at the pause stops it again.
void TakePauseMode() {
  if (!g_at_pause || !OwnsTerminalForeground()) {
    return;
  }
  // Set first: a signal that lands during the change sets the terminal back.
  g_terminal_changed = true;
  tcsetattr(STDIN_FILENO, TCSANOW, &g_pause_terminal);
}

// Raises `signal_number` again with its default action, which takes effect
// as soon as the handler unblocks it.
void RaiseWithDefaultAction(int signal_number, struct sigaction* ours) {
  struct sigaction default_action = {};
  default_action.sa_handler = SIG_DFL;
  sigaction(signal_number, &default_action, ours);
  sigset_t this_signal;
  sigemptyset(&this_signal);
  sigaddset(&this_signal, signal_number);
  raise(signal_number);
  sigprocmask(SIG_UNBLOCK, &this_signal, nullptr);
}

void EndOnSignal(int signal_number) {
  TakeBackLiveLine();
  g_at_pause = false;
  SetTerminalBack();
  RemoveNewFiles();
  RaiseWithDefaultAction(signal_number, nullptr);
}

// The job is stopped with the terminal as it was found, so the shell gets
// its own back; once continued, the pause takes its mode again.
void StopOnSignal(int signal_number) {
  const int saved_errno = errno;
  TakeBackLiveLine();
  SetTerminalBack();
  struct sigaction ours;
  RaiseWithDefaultAction(signal_number, &ours);
  sigaction(signal_number, &ours, nullptr);
  TakePauseMode();
  errno = saved_errno;
}

// Also after a stop that no handler saw (SIGSTOP), or a shell that set the
// terminal its own way meanwhile.
void TakePauseModeOnContinue(int) {
  const int saved_errno = errno;
  DrawLiveLineAgain();
  TakePauseMode();
  errno = saved_errno;
}

void ReadOneByte() {
  char key;
  while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
  }
}

// Any single key ends the wait, unechoed: Ctrl+C, Ctrl+S and Ctrl+Q are
// keys like any other. Raw mode starts before the prompt shows, so a key
// pressed at once is not echoed either.
void WaitForKeyOnTerminal(const termios& saved, const std::string& prompt, Platform& platform) {
  termios raw = saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
  raw.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  g_saved_terminal = saved;
  g_pause_terminal = raw;
  g_at_pause = true;
  TakePauseMode();
  platform.WriteConsole(prompt);
  ReadOneByte();
  g_at_pause = false;
  SetTerminalBack();
}

// False when the wait is skipped: on a terminal that is not the program's
// own (a program started by setsid from a shell), or whose foreground is
// another job's (a background job, which the system would stop).
bool PromptAndWaitForKey(const std::string& prompt, Platform& platform) {
  if (!isatty(STDIN_FILENO)) {
    // A pipe or file: one byte, or the end of input, ends the wait.
    platform.WriteConsole(prompt);
    ReadOneByte();
    return true;
  }
  termios saved;
  if (!OwnsTerminalForeground() || tcgetattr(STDIN_FILENO, &saved) != 0) {
    return false;
  }
  WaitForKeyOnTerminal(saved, prompt, platform);
  return true;
}

// A signal ignored by the caller (nohup, a job without job control) stays
// ignored.
void HandleUnlessIgnored(int signal_number, const struct sigaction& action) {
  struct sigaction previous;
  if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
    sigaction(signal_number, &action, nullptr);
  }
}

// A terminal that can move its cursor back to the start of the line and
// erase it, as ninja's smart terminal: TERM names one, and "dumb" none.
bool IsSmartTerminal() {
  const char* term = std::getenv("TERM");
  return isatty(STDOUT_FILENO) && term != nullptr && term[0] != '\0' &&
         std::strcmp(term, "dumb") != 0;
}

// Whether the terminal shows UTF-8, as the locale of the environment says.
bool ShowsUtf8() {
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') {
      const std::string_view locale(value);
      for (const std::string_view codeset : {"UTF-8", "utf-8", "UTF8", "utf8"}) {
        if (locale.find(codeset) != std::string_view::npos) {
          return true;
        }
      }
      return false;
    }
  }
  return false;
}

// The cells the live line may take on the terminal now: fewer than its
// columns, so that the cursor never reaches the last one. 0 when it tells
// no width.
std::size_t LiveLineCells() {
  winsize size = {};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col < 2) {
    return 0;
  }
  return std::min<std::size_t>(size.ws_col - 1u, kMostLiveLineCells);
}

// Keeps the handlers from reading the live line while it changes.
class HandledSignalsBlocked {
 public:
  HandledSignalsBlocked() {
    sigset_t handled;
    sigemptyset(&handled);
    for (const int signal_number : kEndingSignals) {
      sigaddset(&handled, signal_number);
    }
    for (const int signal_number : kStopSignals) {
      sigaddset(&handled, signal_number);
    }
    sigaddset(&handled, SIGCONT);
    sigprocmask(SIG_BLOCK, &handled, &previous_);
  }
  ~HandledSignalsBlocked() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
  HandledSignalsBlocked(const HandledSignalsBlocked&) = delete;
  HandledSignalsBlocked& operator=(const HandledSignalsBlocked&) = delete;

 private:
  sigset_t previous_;
};

bool ReadOwnExecutableLink(std::string& path, std::string& reason) {
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) {
      reason = SystemErrorText(static_cast<unsigned long>(errno));
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

class PosixPlatform : public Platform {
 public:
  void SetUpConsole() override {
    // A closed pipe on the console must not end the run: the files still
    // get converted.
    std::signal(SIGPIPE, SIG_IGN);
    smart_terminal_ = IsSmartTerminal();
    utf8_ = ShowsUtf8();
  }

  void WriteConsole(const NativeString& text) override {
    EraseLiveLine();
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }

  // Every other text goes out flushed: the line is written straight to the
  // terminal, as the handlers write it.
  void ShowLiveLine(const LiveLine& line) override {
    if (!smart_terminal_) {
      return;
    }
    if (!OwnsOutputForeground()) {
      // A job sent to the background had its line taken back as it stopped;
      // the row the cursor is on now is the shell's.
      g_live_line_shown = false;
      return;
    }
    const std::size_t cells = LiveLineCells();
    if (cells == 0) {
      EraseLiveLine();
      return;
    }
    // The cursor waits at the start of the line: what the terminal echoes
    // there (a "^C") stays within the row that an erase then blanks.
    // Appended piece by piece: GCC 12 at -O3 takes "\r" + a string for an
    // overlapping copy (its bug 105329).
    std::string text = "\r";
    text += FitLiveLine(line, cells, !utf8_);
    text += "\x1b[K\r";
    {
      const HandledSignalsBlocked blocked;
      g_live_line_size = std::min(text.size(), sizeof g_live_line);
      std::memcpy(g_live_line, text.data(), g_live_line_size);
      // Marked before it is written: a signal during the write takes it back.
      g_live_line_shown = true;
    }
    WriteAll(g_live_line, g_live_line_size);
  }

  // The erase goes out before the mark goes: a signal in between erases
  // once more, which leaves nothing either.
  void EraseLiveLine() override {
    if (g_live_line_shown) {
      WriteAll(kEraseLine, sizeof kEraseLine - 1);
      g_live_line_shown = false;
    }
  }

  // Asked once, before the working directory changes, so a relative
  // starting path still resolves from the folder the program was started in.
  bool GetExecutablePath(NativeString& path, NativeString& reason) override {
    if (ReadOwnExecutableLink(path, reason)) {
      return true;
    }
    // Keeps the first reason: it tells why the system could not name the program.
    std::optional<std::string> started = ProgramPathFromStartingPath(g_starting_path);
    if (!started) {
      return false;
    }
    path = std::move(*started);
    return true;
  }

  bool SetWorkingDirectory(const NativeString& folder) override {
    return chdir(folder.c_str()) == 0;
  }

  bool GetDocumentsFolder(NativeString& folder, NativeString& reason) override {
    const char* home = std::getenv("HOME");
    const char* config_home = std::getenv("XDG_CONFIG_HOME");
    if (home == nullptr || home[0] != '/') {
      reason = home == nullptr ? "HOME is not set" : "HOME is not an absolute path";
      return false;
    }
    std::string config = config_home != nullptr && config_home[0] == '/'
                             ? std::string(config_home)
                             : std::string(home) + "/.config";
    // A user-dirs.dirs that cannot be used counts as absent.
    std::string contents;
    ReadSmallFile(config + "/user-dirs.dirs", kMaxUserDirsSize, contents);
    folder = DocumentsFolderFromUserDirs(contents, home).value_or(std::string(home) + "/Documents");
    while (folder.size() > 1 && folder.back() == '/') {
      folder.pop_back();
    }
    return true;
  }

  NativeString FindInDocumentsFolders(const NativeString& documents,
                                      const NativeString& relative) override {
    const std::string own = documents + relative;
    if (IsFolder(own)) {
      return own;
    }
    const char* home = std::getenv("HOME");
    const char* wine_prefix = std::getenv("WINEPREFIX");
    if (home == nullptr || home[0] != '/') {
      return own;
    }
    for (const std::string& prefix_documents :
         PrefixDocumentsFolders(home, wine_prefix != nullptr ? wine_prefix : "")) {
      if (IsFolder(prefix_documents + relative)) {
        return prefix_documents + relative;
      }
    }
    return own;
  }

  bool GetFullPath(const NativeString& path, NativeString& full) override {
    if (path.starts_with('/')) {
      full = path;
      return true;
    }
    char* folder = getcwd(nullptr, 0);
    if (folder == nullptr) {
      return false;
    }
    full = folder;
    std::free(folder);
    if (!full.ends_with('/')) {
      full += '/';
    }
    full += path;
    return true;
  }

  bool PathExists(const NativeString& path) override {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
  }

  bool ForEachSettingsFile(const NativeString& folder,
                           const std::function<void(const CacheEntry&)>& visit) override {
    std::string names;
    std::vector<std::uint32_t> starts;
    if (!ListSettingsFiles(folder, names, starts)) {
      return false;
    }
    // Sorted by name, so that every run reports in the same order.
    std::sort(starts.begin(), starts.end(), [&names](std::uint32_t a, std::uint32_t b) {
      return std::strcmp(names.c_str() + a + 1, names.c_str() + b + 1) < 0;
    });
    CacheEntry entry;
    for (std::uint32_t start : starts) {
      entry.is_directory = names[start] == 'd';
      entry.name = names.c_str() + start + 1;
      visit(entry);
    }
    return true;
  }

  void Pause() override {
    if (PromptAndWaitForKey("Press any key to continue . . . ", *this)) {
      WriteConsole("\n");
    }
  }

  void SetUpSignals() override {
    // The write fails instead, with EFBIG: that pair gets its error line and
    // the run goes on.
    std::signal(SIGXFSZ, SIG_IGN);
    // Each handler runs whole: none of the others, nor a continue, lands
    // between setting the terminal back and stopping or ending.
    struct sigaction action = {};
    sigemptyset(&action.sa_mask);
    for (const int signal_number : kEndingSignals) {
      sigaddset(&action.sa_mask, signal_number);
    }
    for (const int signal_number : kStopSignals) {
      sigaddset(&action.sa_mask, signal_number);
    }
    sigaddset(&action.sa_mask, SIGCONT);
    action.sa_handler = EndOnSignal;
    for (const int signal_number : kEndingSignals) {
      HandleUnlessIgnored(signal_number, action);
    }
    // A stop and a continue interrupt no write to the console or a file:
    // the call goes on where it was.
    action.sa_flags = SA_RESTART;
    action.sa_handler = StopOnSignal;
    for (const int signal_number : kStopSignals) {
      HandleUnlessIgnored(signal_number, action);
    }
    action.sa_handler = TakePauseModeOnContinue;
    sigaction(SIGCONT, &action, nullptr);
  }

 private:
  bool smart_terminal_ = false;
  bool utf8_ = false;
};

}  // namespace

Platform& SystemPlatform() {
  static PosixPlatform platform;
  return platform;
}

void RememberStartingPath(const NativeString& started_as) { g_starting_path = started_as; }

NativeString SystemErrorText(unsigned long code) { return std::strerror(static_cast<int>(code)); }

NativeString OutOfMemoryReason() { return SystemErrorText(ENOMEM); }
