#include "driver/pairing.h"

std::optional<NativeString> PairedCharacterName(const NativeString& name) {
  const std::size_t marker = name.find(Native("_sc.tmp"));
  if (marker == NativeString::npos) {
    return std::nullopt;
  }
  NativeString paired = name;
  paired.erase(marker, 3);
  return paired;
}

NativeString BaseName(const NativeString& path) {
  const std::size_t separator = path.rfind(kPathSeparator);
  return separator == NativeString::npos ? path : path.substr(separator + 1);
}
