#pragma once

#include <string_view>

#include "base/native_text.h"

/// Whether `name` ends in "_sc.tmp", ASCII letter case ignored: the match
/// the cache folder enumeration makes, as Windows does for "*_sc.tmp".
inline bool MatchesSettingsPattern(std::basic_string_view<NativeChar> name) {
  constexpr std::string_view kMarker = "_sc.tmp";
  if (name.size() < kMarker.size()) {
    return false;
  }
  const std::basic_string_view<NativeChar> tail = name.substr(name.size() - kMarker.size());
  for (std::size_t k = 0; k < kMarker.size(); ++k) {
    NativeChar c = tail[k];
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<NativeChar>(c - 'A' + 'a');
    }
    if (c != static_cast<NativeChar>(kMarker[k])) {
      return false;
    }
  }
  return true;
}
