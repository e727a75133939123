#pragma once

/// The outcome of converting one file pair: 0 for success, negative for
/// each way it can fail.
using ConversionResult = int;

inline constexpr ConversionResult kConverted = 0;
inline constexpr ConversionResult kCannotOpenCharacterFile = -1;
inline constexpr ConversionResult kCharacterFileTooShort = -2;
inline constexpr ConversionResult kCharacterIdOutOfRange = -3;
inline constexpr ConversionResult kCannotOpenSettingsFile = -4;
inline constexpr ConversionResult kUiBlockNotFound = -5;
inline constexpr ConversionResult kCannotCreateOutputFile = -6;
inline constexpr ConversionResult kUiBlockNotUtf8 = -7;
inline constexpr ConversionResult kUiBlockTooLarge = -8;
inline constexpr ConversionResult kUiBlockCut = -9;
