#pragma once

// The read errors that the Linux fault tests stage through pread and the
// Windows tests through ReadFile: a disk that fails every read of one file
// past a given byte.

#include <cstdint>
#include <ostream>
#include <string>

#include "convert/conversion_result.h"
#include "fixtures.h"

struct ReadErrorCase {
  std::string name;
  std::string path;           ///< The file whose reads fail...
  std::int64_t failing_from;  ///< ...once they reach past this byte.
  ConversionResult result;
};

inline void PrintTo(const ReadErrorCase& c, std::ostream* out) { *out << c.name; }

/// A settings file whose block runs on past the first read of 204800 bytes.
inline const std::string kLongSettingsFile = "head\0<ui>"s + std::string(300000, 'x') + "</ui>\0"s;

inline const ReadErrorCase kReadErrorCases[] = {
    {"SettingsPastTheFirstRead", "A@S_sc.tmp", 204800, kCannotOpenSettingsFile},
    {"SettingsFromTheStart", "A@S_sc.tmp", 0, kCannotOpenSettingsFile},
    {"CharacterFile", "A@S.tmp", 0, kCannotOpenCharacterFile},
};
