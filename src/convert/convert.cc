#include "convert/convert.h"

#include <cstring>
#include <memory>
#include <vector>

#include "convert/decode.h"
#include "convert/file_io.h"
#include "convert/find_pattern.h"

namespace {

constexpr unsigned char kLongLayoutMarker = 19;
constexpr std::int64_t kShortLayoutIdOffset = 29;
constexpr std::int64_t kLongLayoutIdOffset = 37;
constexpr std::size_t kCharacterIdSize = 8;

std::int64_t FromBigEndian(const unsigned char (&bytes)[kCharacterIdSize]) {
  std::uint64_t value = 0;
  for (unsigned char byte : bytes) {
    value = (value << 8) | byte;
  }
  return static_cast<std::int64_t>(value);
}

ConversionResult ReadCharacterId(const NativeString& character_path,
                                 std::int64_t& character_id) {
  InputFile file;
  if (!file.Open(character_path)) {
    return kCannotOpenCharacterFile;
  }
  const std::int64_t size = file.Size();
  unsigned char layout = 0;
  if (size < kShortLayoutIdOffset + static_cast<std::int64_t>(kCharacterIdSize) ||
      file.ReadAt(0, &layout, 1) != 1) {
    return kCharacterFileTooShort;
  }
  const std::int64_t offset =
      layout == kLongLayoutMarker ? kLongLayoutIdOffset : kShortLayoutIdOffset;
  unsigned char bytes[kCharacterIdSize];
  // The game may be rewriting the file: what was not read is never used.
  if (size < offset + static_cast<std::int64_t>(kCharacterIdSize) ||
      file.ReadAt(offset, bytes, kCharacterIdSize) != kCharacterIdSize) {
    return kCharacterFileTooShort;
  }
  character_id = FromBigEndian(bytes);
  return character_id > kMaxCharacterId ? kCharacterIdOutOfRange : kConverted;
}

struct SettingsBytes {
  std::unique_ptr<unsigned char[]> data;
  std::size_t size = 0;
};

bool ReadSettingsFile(const NativeString& settings_path,
                      SettingsBytes& settings) {
  InputFile file;
  if (!file.Open(settings_path)) {
    return false;
  }
  settings.data.reset(new unsigned char[kReadBufferSize]);
  settings.size = file.ReadAt(0, settings.data.get(), kReadBufferSize);
  return true;
}

const std::vector<std::int32_t>& UiTagPattern() {
  static const std::vector<std::int32_t> pattern{'<', 'u', 'i', '>'};
  return pattern;
}

// The output file: the byte-order mark, then the block's UTF-16LE code units.
ConversionResult EncodeUiBlock(const unsigned char* block, std::size_t size,
                               std::vector<unsigned char>& output) {
  output.resize(2 + 2 * size);
  output[0] = 0xFF;
  output[1] = 0xFE;
  const std::size_t written = DecodeUtf8ToUtf16Le(block, size, output.data() + 2);
  if (written == kMalformedUtf8) {
    return kUiBlockNotUtf8;
  }
  output.resize(2 + written);
  return kConverted;
}

}  // namespace

NativeString OutputNameFor(std::int64_t character_id) {
  return Native(".\\ui.") + NativeDecimal(character_id) + Native(".xml");
}

NativeString OutputPathFor(const NativeString& output_name) {
  if (kPathSeparator != '\\' && output_name.starts_with(Native(".\\"))) {
    return output_name.substr(2);
  }
  return output_name;
}

ConversionResult ConvertFilePair(const NativeString& character_path,
                                 const NativeString& settings_path,
                                 NativeString& output_name) {
  std::int64_t character_id = 0;
  const ConversionResult id_result = ReadCharacterId(character_path, character_id);
  if (id_result != kConverted) {
    return id_result;
  }
  SettingsBytes settings;
  if (!ReadSettingsFile(settings_path, settings)) {
    return kCannotOpenSettingsFile;
  }
  const std::int32_t start =
      FindPattern(settings.data.get(), settings.size, UiTagPattern(), 0);
  if (start < 0) {
    return kUiBlockNotFound;
  }
  const unsigned char* block = settings.data.get() + start;
  const std::size_t available = settings.size - static_cast<std::size_t>(start);
  const void* nul = std::memchr(block, 0, available);
  const std::size_t block_size =
      nul ? static_cast<std::size_t>(static_cast<const unsigned char*>(nul) - block)
          : available;

  // Decoding comes first, so a damaged block never touches an earlier output.
  std::vector<unsigned char> output;
  const ConversionResult encoded = EncodeUiBlock(block, block_size, output);
  if (encoded != kConverted) {
    return encoded;
  }
  output_name = OutputNameFor(character_id);
  if (!ReplaceFileContents(OutputPathFor(output_name), output.data(),
                           output.size())) {
    return kCannotCreateOutputFile;
  }
  return kConverted;
}
