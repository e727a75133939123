#pragma once

#include <cstddef>
#include <type_traits>

#include "base/native_text.h"

/// `path` as the console may show it: each control character (U+0000 to
/// U+001F, U+007F, U+0080 to U+009F) becomes a '?', so that no name can
/// start a line of its own or drive the terminal. Everything else stays.
inline NativeString ShownPath(const NativeString& path) {
  using Unit = std::make_unsigned_t<NativeChar>;
  NativeString shown;
  shown.reserve(path.size());
  for (std::size_t k = 0; k < path.size(); ++k) {
    const auto unit = static_cast<Unit>(path[k]);
    if (unit < 0x20 || unit == 0x7F) {
      shown += '?';
    } else if constexpr (sizeof(NativeChar) == 1) {
      // UTF-8 bytes: U+0080 to U+009F are C2 80 to C2 9F.
      const bool c1 = unit == 0xC2 && k + 1 < path.size() &&
                      static_cast<Unit>(path[k + 1]) >= 0x80 &&
                      static_cast<Unit>(path[k + 1]) <= 0x9F;
      shown += c1 ? NativeChar('?') : path[k];
      k += c1 ? 1 : 0;
    } else {
      shown += unit >= 0x80 && unit <= 0x9F ? NativeChar('?') : path[k];
    }
  }
  return shown;
}
