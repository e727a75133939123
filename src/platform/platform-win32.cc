#include <windows.h>

#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>
// The Platform method of that name is ours, not the Win32 macro.
#undef WriteConsole

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <string>
#include <string_view>

#include "base/extended_path.h"
#include "platform/console_text.h"
#include "platform/new_files.h"
#include "platform/platform.h"
#include "platform/settings_pattern.h"

namespace {

constexpr UINT kConsoleCodePage = 936;

// Code page 936 holds no character beyond the basic plane; each such
// character becomes a single '?', as any other one the code page lacks. A
// line end becomes CR LF, as a text-mode stream would write it.
std::wstring ForRedirectedOutput(const std::wstring& text) {
  std::wstring result;
  result.reserve(text.size() + text.size() / 32);
  for (std::size_t k = 0; k < text.size(); ++k) {
    const wchar_t c = text[k];
    const bool high = c >= 0xD800 && c <= 0xDBFF;
    if (high && k + 1 < text.size() && text[k + 1] >= 0xDC00 && text[k + 1] <= 0xDFFF) {
      result += L'?';
      ++k;
      continue;
    }
    if (c == L'\n') {
      result += L'\r';
    }
    result += c;
  }
  return result;
}

// Text for a redirected standard output: code page 936, '?' for whatever the
// code page cannot hold, so that one odd file name loses no later line.
std::string InConsoleCodePage(const std::wstring& text) {
  const std::wstring representable = ForRedirectedOutput(text);
  if (representable.empty()) {
    return {};
  }
  const int length = static_cast<int>(representable.size());
  const int size = WideCharToMultiByte(kConsoleCodePage, WC_NO_BEST_FIT_CHARS, representable.data(),
                                       length, nullptr, 0, "?", nullptr);
  if (size <= 0) {
    return std::string(representable.size(), '?');
  }
  std::string bytes(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(kConsoleCodePage, WC_NO_BEST_FIT_CHARS, representable.data(), length,
                      bytes.data(), size, "?", nullptr);
  return bytes;
}

// The live line: the console it is on, where on its screen it begins, and
// whether it is shown. Changed only under the lock, which a console event's
// thread takes too.
SRWLOCK g_live_line_lock = SRWLOCK_INIT;
HANDLE g_live_line_console = nullptr;
COORD g_live_line_start = {0, 0};
std::atomic<bool> g_live_line_shown{false};
std::atomic<bool> g_ending{false};
constexpr std::size_t kMostLiveLineCells = 1000;

// Blanks the line's row from where it begins, and puts the cursor there.
void BlankLiveLine() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(g_live_line_console, &info) &&
      info.dwSize.X > g_live_line_start.X) {
    DWORD written = 0;
    FillConsoleOutputCharacterW(g_live_line_console, L' ',
                                static_cast<DWORD>(info.dwSize.X - g_live_line_start.X),
                                g_live_line_start, &written);
  }
  SetConsoleCursorPosition(g_live_line_console, g_live_line_start);
  g_live_line_shown = false;
}

class LiveLineLock {
 public:
  LiveLineLock() { AcquireSRWLockExclusive(&g_live_line_lock); }
  ~LiveLineLock() { ReleaseSRWLockExclusive(&g_live_line_lock); }
  LiveLineLock(const LiveLineLock&) = delete;
  LiveLineLock& operator=(const LiveLineLock&) = delete;
};

// Ctrl+C, Ctrl+Break, the console window closed, log-off and shut-down all
// come here, on a thread of their own. A write of the main thread may stall
// while it holds the lock (a selection on the console holds every write):
// the line is then taken back after a while all the same.
BOOL WINAPI EndOnConsoleEvent(DWORD) {
  bool locked = false;
  for (int tries = 0; tries < 50 && !locked; ++tries) {
    locked = TryAcquireSRWLockExclusive(&g_live_line_lock) != 0;
    if (!locked) {
      Sleep(10);
    }
  }
  g_ending = true;
  if (g_live_line_shown) {
    BlankLiveLine();
  }
  if (locked) {
    ReleaseSRWLockExclusive(&g_live_line_lock);
  }
  WaitForNewFileToGo();
  // The system's own handling then ends the program as it would have.
  return FALSE;
}

class Win32Platform : public Platform {
 public:
  void SetUpConsole() override {
    SetConsoleOutputCP(kConsoleCodePage);
    DetectConsole();
  }

  void WriteConsole(const NativeString& text) override {
    DetectConsole();
    EraseLiveLine();
    if (console_ != nullptr) {
      // The console takes the wide text as it is, in any code page.
      std::size_t done = 0;
      while (done < text.size()) {
        const std::size_t end = ConsoleChunkEnd(text, done, kConsoleChunkUnits);
        DWORD written = 0;
        if (!::WriteConsoleW(console_, text.data() + done, static_cast<DWORD>(end - done), &written,
                             nullptr) ||
            written == 0) {
          return;
        }
        done += written;
      }
      return;
    }
    if (output_ == nullptr) {
      return;
    }
    // One call for the whole text, whatever standard output is: the C
    // runtime leaves a character device such as NUL unbuffered and would
    // write it a byte at a time.
    const std::string bytes = InConsoleCodePage(text);
    std::size_t done = 0;
    while (done < bytes.size()) {
      DWORD written = 0;
      if (!WriteFile(output_, bytes.data() + done, static_cast<DWORD>(bytes.size() - done),
                     &written, nullptr) ||
          written == 0) {
        return;
      }
      done += written;
    }
  }

  // Drawn by the console buffer's own calls, which need no escape sequences
  // and work on every Windows console. Where standard output is no console
  // (a file, a pipe, or under Wine a Unix terminal that no Wine console
  // stands for), nothing.
  void ShowLiveLine(const LiveLine& line) override {
    DetectConsole();
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (console_ == nullptr || !GetConsoleScreenBufferInfo(console_, &info)) {
      return;
    }
    const LiveLineLock lock;
    if (g_ending) {
      return;
    }
    if (!g_live_line_shown) {
      g_live_line_console = console_;
      g_live_line_start = info.dwCursorPosition;
    }
    // Short of the last column, where the console would wrap.
    const int room = info.dwSize.X - g_live_line_start.X - 1;
    if (room <= 0) {
      return;
    }
    const std::wstring text =
        FitLiveLine(line, std::min(static_cast<std::size_t>(room), kMostLiveLineCells), false);
    SetConsoleCursorPosition(console_, g_live_line_start);
    g_live_line_shown = true;
    DWORD written = 0;
    ::WriteConsoleW(console_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    // What a longer line before left.
    CONSOLE_SCREEN_BUFFER_INFO after;
    if (GetConsoleScreenBufferInfo(console_, &after) &&
        after.dwCursorPosition.Y == g_live_line_start.Y &&
        after.dwSize.X > after.dwCursorPosition.X) {
      FillConsoleOutputCharacterW(console_, L' ',
                                  static_cast<DWORD>(after.dwSize.X - after.dwCursorPosition.X),
                                  after.dwCursorPosition, &written);
    }
    SetConsoleCursorPosition(console_, g_live_line_start);
  }

  void EraseLiveLine() override {
    if (!g_live_line_shown) {
      return;
    }
    const LiveLineLock lock;
    if (g_live_line_shown) {
      BlankLiveLine();
    }
  }

  bool GetExecutablePath(NativeString& path, NativeString& reason) override {
    // Grows until the whole path fits: no path is ever cut short.
    std::wstring buffer(MAX_PATH, L'\0');
    while (buffer.size() <= 0x10000) {
      const DWORD size = static_cast<DWORD>(buffer.size());
      const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), size);
      if (length == 0) {
        reason = SystemErrorText(GetLastError());
        return false;
      }
      if (length < size) {
        buffer.resize(length);
        path = buffer;
        return true;
      }
      buffer.resize(buffer.size() * 2);
    }
    reason = SystemErrorText(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }

  bool SetWorkingDirectory(const NativeString& folder) override {
    // "D:" alone names the drive's remembered folder, not its root, which is
    // where a program in the root of that drive lives.
    if (folder.size() == 2 && folder[1] == L':') {
      return SetCurrentDirectoryW((folder + L"\\").c_str()) != 0;
    }
    return SetCurrentDirectoryW(folder.c_str()) != 0;
  }

  bool GetDocumentsFolder(NativeString& folder, NativeString& reason) override {
    // The current location of the personal Documents folder, of any length.
    PWSTR location = nullptr;
    const HRESULT result = SHGetKnownFolderPath(FOLDERID_Documents, 0, nullptr, &location);
    if (FAILED(result) || location == nullptr) {
      CoTaskMemFree(location);
      reason = SystemErrorText(HRESULT_FACILITY(result) == FACILITY_WIN32
                                   ? static_cast<unsigned long>(HRESULT_CODE(result))
                                   : static_cast<unsigned long>(result));
      return false;
    }
    folder = location;
    CoTaskMemFree(location);
    while (!folder.empty() && folder.back() == L'\\') {
      folder.pop_back();
    }
    return true;
  }

  bool GetFullPath(const NativeString& path, NativeString& full) override {
    if (path.starts_with(L"\\\\?\\")) {
      full = path;
      return true;
    }
    return FullPathName(path, full);
  }

  bool PathExists(const NativeString& path) override {
    // As PathFileExistsW does, but without its MAX_PATH limit; an empty drive
    // must not bring up a system dialog.
    DWORD previous_mode = 0;
    SetThreadErrorMode(SEM_FAILCRITICALERRORS, &previous_mode);
    const bool exists =
        GetFileAttributesW(ExtendedLengthPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
    SetThreadErrorMode(previous_mode, nullptr);
    return exists;
  }

  bool ForEachSettingsFile(const NativeString& folder,
                           const std::function<void(const CacheEntry&)>& visit) override {
    const std::wstring pattern = ExtendedLengthPath(folder + L"*_sc.tmp");
    WIN32_FIND_DATAW found;
    // The basic level leaves out the 8.3 short names.
    HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                     FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
      return false;
    }
    CacheEntry entry;
    do {
      // The long name is checked again: a match through an 8.3 short name
      // is no settings file.
      if (MatchesSettingsPattern(found.cFileName)) {
        entry.name = found.cFileName;
        entry.is_directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        visit(entry);
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return true;
  }

  void Pause() override {
    // The command interpreter's own prompt and key wait. It starts in the
    // system folder: it cannot run in a working folder too long for it, and
    // the pause must not be lost then.
    EraseLiveLine();
    std::fflush(stdout);
    std::wstring previous(GetCurrentDirectoryW(0, nullptr), L'\0');
    previous.resize(GetCurrentDirectoryW(static_cast<DWORD>(previous.size()), previous.data()));
    wchar_t system_folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system_folder, MAX_PATH);
    const bool moved = length > 0 && length < MAX_PATH && SetCurrentDirectoryW(system_folder);
    _wsystem(L"pause");
    if (moved && !previous.empty()) {
      SetCurrentDirectoryW(previous.c_str());
    }
  }

  void SetUpSignals() override { SetConsoleCtrlHandler(EndOnConsoleEvent, TRUE); }

 private:
  void DetectConsole() {
    if (console_detected_) {
      return;
    }
    console_detected_ = true;
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE) {
      return;
    }
    DWORD mode = 0;
    if (GetConsoleMode(output, &mode)) {
      console_ = output;
    } else {
      output_ = output;
    }
  }

  bool console_detected_ = false;
  HANDLE console_ = nullptr;  ///< Standard output when it is a console.
  HANDLE output_ = nullptr;   ///< Standard output when it is anything else.
};

}  // namespace

Platform& SystemPlatform() {
  static Win32Platform platform;
  return platform;
}

// GetModuleFileNameW names the running program without it.
void RememberStartingPath(const NativeString&) {}

NativeString SystemErrorText(unsigned long code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message = length > 0 && text != nullptr ? std::wstring(text, length) : L"";
  LocalFree(text);
  // The messages end in a period (or an ideographic one) and a line end.
  while (!message.empty() &&
         (std::iswspace(message.back()) || message.back() == L'.' || message.back() == L'\x3002')) {
    message.pop_back();
  }
  return message.empty() ? L"error " + std::to_wstring(code) : message;
}

NativeString OutOfMemoryReason() { return SystemErrorText(ERROR_NOT_ENOUGH_MEMORY); }
