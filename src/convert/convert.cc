#include "convert/convert.h"

#include <algorithm>
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

std::int64_t FromBigEndian(const unsigned char* bytes) {
  std::uint64_t value = 0;
  for (std::size_t k = 0; k < kCharacterIdSize; ++k) {
    value = (value << 8) | bytes[k];
  }
  return static_cast<std::int64_t>(value);
}

ConversionResult ReadCharacterId(const NativeString& character_path, std::int64_t& character_id) {
  InputFile file;
  if (!file.Open(character_path)) {
    return kCannotOpenCharacterFile;
  }
  const std::int64_t size = file.Size();
  if (size < kShortLayoutIdOffset + static_cast<std::int64_t>(kCharacterIdSize)) {
    return kCharacterFileTooShort;
  }
  // One read covers the layout byte and the ID of either layout.
  unsigned char head[kLongLayoutIdOffset + kCharacterIdSize] = {};
  const std::size_t got =
      file.ReadAt(0, head, std::min(sizeof head, static_cast<std::size_t>(size)));
  const std::int64_t offset =
      head[0] == kLongLayoutMarker ? kLongLayoutIdOffset : kShortLayoutIdOffset;
  const auto end = static_cast<std::size_t>(offset) + kCharacterIdSize;
  // The game may be rewriting the file: what was not read is never used.
  if (size < static_cast<std::int64_t>(end) || got < end) {
    return kCharacterFileTooShort;
  }
  character_id = FromBigEndian(head + offset);
  return character_id > kMaxCharacterId ? kCharacterIdOutOfRange : kConverted;
}

// The output of a block of n bytes takes at most 2 + 2n bytes.
constexpr std::size_t kOutputCapacity = 2 + 2 * kReadBufferSize;

// One allocation per call holds the settings bytes and, behind them, the
// output file's bytes. Its size never changes, so the allocator hands the
// same memory to every call and a long scan's memory stays flat.
struct PairBuffer {
  std::unique_ptr<unsigned char[]> memory;
  std::size_t settings_size = 0;
};

unsigned char* SettingsBytes(PairBuffer& buffer) { return buffer.memory.get(); }
unsigned char* OutputBytes(PairBuffer& buffer) { return buffer.memory.get() + kReadBufferSize; }

bool ReadSettingsFile(const NativeString& settings_path, PairBuffer& buffer) {
  InputFile file;
  if (!file.Open(settings_path)) {
    return false;
  }
  buffer.memory.reset(new unsigned char[kReadBufferSize + kOutputCapacity]);
  // Asking for no more than the file holds lets one read call do.
  const std::int64_t size = file.Size();
  const std::size_t wanted = size >= 0 && static_cast<std::uint64_t>(size) < kReadBufferSize
                                 ? static_cast<std::size_t>(size)
                                 : kReadBufferSize;
  buffer.settings_size = file.ReadAt(0, SettingsBytes(buffer), wanted);
  return true;
}

const std::vector<std::int32_t>& UiTagPattern() {
  static const std::vector<std::int32_t> pattern{'<', 'u', 'i', '>'};
  return pattern;
}

// The output file: the byte-order mark, then the block's UTF-16LE code units.
// `output` must hold 2 + 2 * size bytes; its size is set on kConverted.
ConversionResult EncodeUiBlock(const unsigned char* block, std::size_t size, unsigned char* output,
                               std::size_t& output_size) {
  output[0] = 0xFF;
  output[1] = 0xFE;
  const std::size_t written = DecodeUtf8ToUtf16Le(block, size, output + 2);
  if (written == kMalformedUtf8) {
    return kUiBlockNotUtf8;
  }
  output_size = 2 + written;
  return kConverted;
}

}  // namespace

NativeString OutputNameFor(std::int64_t character_id) {
  return Native(".\\ui.") + NativeDecimal(character_id) + Native(".xml");
}

NativeString OutputPathFor(const NativeString& output_folder, const NativeString& output_name) {
  const NativeString name =
      output_name.starts_with(Native(".\\")) ? output_name.substr(2) : output_name;
  if (output_folder.empty()) {
    return name;
  }
  // The root folder "/" ends in one already.
  if (output_folder.back() == kPathSeparator) {
    return output_folder + name;
  }
  return output_folder + kPathSeparator + name;
}

ConversionResult ConvertFilePair(const NativeString& character_path,
                                 const NativeString& settings_path,
                                 const NativeString& output_folder, NativeString& output_name) {
  std::int64_t character_id = 0;
  const ConversionResult id_result = ReadCharacterId(character_path, character_id);
  if (id_result != kConverted) {
    return id_result;
  }
  PairBuffer buffer;
  if (!ReadSettingsFile(settings_path, buffer)) {
    return kCannotOpenSettingsFile;
  }
  const unsigned char* settings = SettingsBytes(buffer);
  const std::int32_t start = FindPattern(settings, buffer.settings_size, UiTagPattern(), 0);
  if (start < 0) {
    return kUiBlockNotFound;
  }
  const unsigned char* block = settings + start;
  const std::size_t available = buffer.settings_size - static_cast<std::size_t>(start);
  const void* nul = std::memchr(block, 0, available);
  const std::size_t block_size =
      nul ? static_cast<std::size_t>(static_cast<const unsigned char*>(nul) - block) : available;

  // Decoding comes first, so a damaged block never touches an earlier output.
  std::size_t output_size = 0;
  const ConversionResult encoded =
      EncodeUiBlock(block, block_size, OutputBytes(buffer), output_size);
  if (encoded != kConverted) {
    return encoded;
  }
  output_name = OutputNameFor(character_id);
  if (!ReplaceFileContents(OutputPathFor(output_folder, output_name), OutputBytes(buffer),
                           output_size)) {
    return kCannotCreateOutputFile;
  }
  return kConverted;
}
