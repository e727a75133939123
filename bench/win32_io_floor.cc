// The Win32 I/O floor: the system calls of a cache folder scan on Windows and
// nothing else. It enumerates the cache folder with FindFirstFileExW, and per
// settings file opens the character file with every sharing mode and reads
// its first 45 bytes in one ReadFile, reads the first 204800 bytes of the
// settings file in one ReadFile (and a large layout's rest as the tool reads
// it), and writes an output file of the size the tool writes: a new file
// beside the target, one WriteFile, optionally FlushFileBuffers, and
// MoveFileExW over the target. Sizes and names come from the generator's
// expected.tsv, read once, so no byte is decoded. It prints nothing per pair,
// only the number of pairs at the end.
//
//   tarnwick_win32_io_floor [--flush] CACHE_FOLDER OUTPUT_FOLDER EXPECTED_TSV
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "expected_outputs.h"

namespace {

constexpr DWORD kReadBufferSize = 204800;
constexpr DWORD kCharacterHeadSize = 45;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

struct Output {
  std::wstring name;
  DWORD size = 0;
};

std::wstring Widened(std::string_view text) {
  std::wstring wide(text.size(), L'\0');
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         wide.data(), static_cast<int>(wide.size()));
  wide.resize(static_cast<std::size_t>(std::max(length, 0)));
  return wide;
}

bool ReadWholeFile(const wchar_t* path, std::string& contents) {
  const HANDLE file = CreateFileW(path, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  LARGE_INTEGER size;
  bool read = false;
  if (GetFileSizeEx(file, &size)) {
    contents.resize(static_cast<std::size_t>(size.QuadPart));
    DWORD got = 0;
    read = ReadFile(file, contents.data(), static_cast<DWORD>(contents.size()), &got, nullptr) &&
           got == contents.size();
  }
  CloseHandle(file);
  return read;
}

std::unordered_map<std::wstring, Output> ParseExpected(std::string_view text, DWORD& largest) {
  std::unordered_map<std::wstring, Output> outputs;
  ForEachExpectedLine(text, [&](const ExpectedLine& line) {
    Output output{Widened(line.output_name), static_cast<DWORD>(line.size)};
    largest = std::max(largest, output.size);
    outputs.emplace(Widened(line.settings_name), std::move(output));
  });
  return outputs;
}

void Complain(const std::wstring& what) {
  std::fwprintf(stderr, L"%ls: error %lu\n", what.c_str(), GetLastError());
}

HANDLE OpenForReading(const std::wstring& path) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Complain(path);
  }
  return file;
}

void ReadCharacterHead(const std::wstring& path, unsigned char* buffer) {
  const HANDLE file = OpenForReading(path);
  DWORD got = 0;
  if (file != INVALID_HANDLE_VALUE && !ReadFile(file, buffer, kCharacterHeadSize, &got, nullptr)) {
    Complain(path);
  }
  CloseHandle(file);
}

// The first 204800 bytes in one read and, when the file goes on (a large
// layout, which the generator puts at the file's end), the rest in reads as
// the tool makes them, each up to four times the bytes held.
void ReadSettings(const std::wstring& path, std::vector<unsigned char>& buffer) {
  const HANDLE file = OpenForReading(path);
  if (file == INVALID_HANDLE_VALUE) {
    return;
  }
  DWORD got = 0;
  if (!ReadFile(file, buffer.data(), kReadBufferSize, &got, nullptr)) {
    Complain(path);
  }
  LARGE_INTEGER size;
  if (got == kReadBufferSize && GetFileSizeEx(file, &size)) {
    const auto total = static_cast<std::size_t>(size.QuadPart);
    buffer.resize(std::max(buffer.size(), total));
    for (std::size_t held = kReadBufferSize; held < total; held += got) {
      const auto wanted = static_cast<DWORD>(std::min(total, 4 * held) - held);
      if (!ReadFile(file, buffer.data() + held, wanted, &got, nullptr) || got != wanted) {
        break;
      }
    }
  }
  CloseHandle(file);
}

void ReplaceOutput(const Output& output, const unsigned char* data, bool flush) {
  const std::wstring temporary = output.name + L".part";
  const HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Complain(temporary);
    return;
  }
  DWORD written = 0;
  const bool complete = WriteFile(file, data, output.size, &written, nullptr) &&
                        written == output.size && (!flush || FlushFileBuffers(file));
  const DWORD flags = MOVEFILE_REPLACE_EXISTING | (flush ? MOVEFILE_WRITE_THROUGH : 0);
  if (!CloseHandle(file) || !complete ||
      !MoveFileExW(temporary.c_str(), output.name.c_str(), flags)) {
    Complain(output.name);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const bool flush = argc > 1 && std::wcscmp(argv[1], L"--flush") == 0;
  if (flush) {
    --argc;
    ++argv;
  }
  if (argc != 4) {
    std::fputs("usage: tarnwick_win32_io_floor [--flush] CACHE_FOLDER OUTPUT_FOLDER EXPECTED_TSV\n",
               stderr);
    return 2;
  }
  std::wstring cache = argv[1];
  if (!cache.ends_with(L'\\')) {
    cache += L'\\';
  }
  std::string expected_text;
  if (!ReadWholeFile(argv[3], expected_text)) {
    Complain(argv[3]);
    return 1;
  }
  DWORD largest = 0;
  const auto outputs = ParseExpected(expected_text, largest);
  std::vector<unsigned char> buffer(kReadBufferSize);
  const auto output_bytes = std::make_unique<unsigned char[]>(std::max<DWORD>(largest, 1));
  if (!SetCurrentDirectoryW(argv[2])) {
    Complain(argv[2]);
    return 1;
  }
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileExW((cache + L"*_sc.tmp").c_str(), FindExInfoBasic, &found,
                                         FindExSearchNameMatch, nullptr, 0);
  unsigned pairs = 0;
  constexpr std::wstring_view kMarker = L"_sc.tmp";
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring_view name = found.cFileName;
      const auto output = outputs.find(std::wstring(name));
      if (!name.ends_with(kMarker) || output == outputs.end()) {
        continue;
      }
      const std::wstring settings = cache + std::wstring(name);
      ReadCharacterHead(
          cache + std::wstring(name.substr(0, name.size() - kMarker.size())) + L".tmp",
          buffer.data());
      ReadSettings(settings, buffer);
      ReplaceOutput(output->second, output_bytes.get(), flush);
      ++pairs;
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  std::printf("pairs: %u\n", pairs);
  return 0;
}
