#pragma once

// Windows only: file calls on paths of any length, whatever the system's
// long-path setting.

#include <windows.h>

#include <string>
#include <utility>

/// The full path of `path` as Windows itself resolves it: from the working
/// folder, "." and ".." taken out, '/' turned into '\'. False when it
/// cannot be built.
inline bool FullPathName(const std::wstring& path, std::wstring& full) {
  const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) {
    return false;
  }
  std::wstring buffer(size, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), size, buffer.data(), nullptr);
  if (length == 0 || length >= size) {
    return false;
  }
  buffer.resize(length);
  full = std::move(buffer);
  return true;
}

/// The form of `path` that file calls take at any length: its full path
/// behind "\\?\" (or "\\server\share" as "\\?\UNC\server\share") when that
/// full path is MAX_PATH characters or more, `path` itself otherwise.
inline std::wstring ExtendedLengthPath(const std::wstring& path) {
  const auto is_device = [](const std::wstring& name) {
    return name.starts_with(L"\\\\?\\") || name.starts_with(L"\\\\.\\");
  };
  // Built from the full path: the "\\?\" form takes "." and ".." as names.
  std::wstring full;
  if (is_device(path) || !FullPathName(path, full) || full.size() < MAX_PATH || is_device(full)) {
    return path;
  }
  if (full.starts_with(L"\\\\")) {
    return L"\\\\?\\UNC\\" + full.substr(2);
  }
  return L"\\\\?\\" + full;
}

/// The path of an open file or folder with every link on the way followed;
/// empty when the system cannot tell.
inline std::wstring FinalPathOf(HANDLE handle) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), 0);
    if (length == 0) {
      return {};
    }
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(length);
  }
}
