#include "convert/convert.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "convert/decode.h"
#include "convert/find_byte.h"
#include "convert/find_pattern.h"
#include "convert/replace_file.h"
#include "settle/input_file.h"
#include "settle/quiet_read.h"

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

// The bytes that the layout byte and the ID of either layout lie in.
using CharacterHead = std::array<unsigned char, kLongLayoutIdOffset + kCharacterIdSize>;

// The layout byte and the ID of either layout, from a file of `size` bytes.
ReadAttempt ReadCharacterIdOnce(InputFile& file, std::int64_t size, CharacterHead& head,
                                std::span<const unsigned char>& bytes, ConversionResult& result,
                                std::int64_t& character_id) {
  if (size < kShortLayoutIdOffset + static_cast<std::int64_t>(kCharacterIdSize)) {
    result = kCharacterFileTooShort;
    return ReadAttempt::kDone;
  }
  // One read covers the layout byte and the ID of either layout.
  const std::int64_t wanted = std::min(static_cast<std::int64_t>(head.size()), size);
  const std::int64_t got = file.ReadAt(0, head.data(), static_cast<std::size_t>(wanted));
  if (got < 0) {
    return ReadAttempt::kFailed;
  }
  bytes = std::span(head.data(), static_cast<std::size_t>(got));
  if (got < wanted) {
    return ReadAttempt::kEndedEarly;
  }
  const std::int64_t offset =
      head[0] == kLongLayoutMarker ? kLongLayoutIdOffset : kShortLayoutIdOffset;
  if (size < offset + static_cast<std::int64_t>(kCharacterIdSize)) {
    result = kCharacterFileTooShort;
    return ReadAttempt::kDone;
  }
  character_id = FromBigEndian(head.data() + offset);
  result = character_id > kMaxCharacterId ? kCharacterIdOutOfRange : kConverted;
  return ReadAttempt::kDone;
}

bool OpenPairFile(InputFile& file, const PairPaths& paths, const NativeString& path) {
  if (paths.folder == nullptr) {
    return file.Open(path);
  }
  return file.Open(*paths.folder, path.substr(FileNameStart(path)));
}

// One look at the character file (see LookAtFile). The game rewrites it
// too: an ID read while it does so would name the layout after a wrong
// character. On kTaken, `result` and `character_id` hold what it gave.
LookOutcome LookAtCharacterFile(const PairPaths& paths, FileLooks& looks, ConversionResult& result,
                                std::int64_t& character_id, std::int64_t& due_ns) {
  InputFile file;
  if (!OpenPairFile(file, paths, paths.character_path)) {
    return LookOutcome::kFailed;
  }
  CharacterHead head{};
  return LookAtFile(
      file, looks,
      [&](std::int64_t size, ReadResult& got) {
        return ReadCharacterIdOnce(file, size, head, got.bytes, result, character_id);
      },
      due_ns);
}

// The memory of one pair. A block that ends within the first read needs the
// same two sizes every time; only a longer block makes either part larger.
struct PairBuffer {
  std::unique_ptr<unsigned char[]> settings;  ///< From the file's first byte.
  std::size_t settings_capacity = 0;
  std::size_t settings_size = 0;
  std::unique_ptr<unsigned char[]> output;  ///< The output file's bytes.
  std::size_t output_capacity = 0;
};

// Memory kept from one pair to the next: that of any block up to 1 MiB.
constexpr std::size_t kKeptSettingsCapacity = std::size_t{1} << 20;
constexpr std::size_t kKeptOutputCapacity = 2 + 2 * kKeptSettingsCapacity;

// The memory is kept from one pair to the next: the Windows heap hands out
// an allocation this large as fresh pages every time, which costs every pair
// a page fault per page. The program converts on one thread.
PairBuffer& ReusedPairBuffer() {
  static PairBuffer buffer;
  buffer.settings_size = 0;
  return buffer;
}

// What a block beyond 1 MiB needed is given back as soon as its pair is
// done, so a long scan's memory stays flat and the pause holds none of it.
void GiveBackLargeMemory(PairBuffer& buffer) {
  if (buffer.settings_capacity > kKeptSettingsCapacity) {
    buffer.settings.reset();
    buffer.settings_capacity = 0;
  }
  if (buffer.output_capacity > kKeptOutputCapacity) {
    buffer.output.reset();
    buffer.output_capacity = 0;
  }
  buffer.settings_size = 0;
}

// Makes room for `capacity` settings bytes, keeping those already read.
void ReserveSettings(PairBuffer& buffer, std::size_t capacity) {
  if (capacity <= buffer.settings_capacity) {
    return;
  }
  std::unique_ptr<unsigned char[]> grown(new unsigned char[capacity]);
  if (buffer.settings_size > 0) {
    std::memcpy(grown.get(), buffer.settings.get(), buffer.settings_size);
  }
  buffer.settings = std::move(grown);
  buffer.settings_capacity = capacity;
}

// Room for the output file of a block of `block_size` bytes: the byte-order
// mark and at most two bytes per byte of the block.
unsigned char* OutputRoom(PairBuffer& buffer, std::size_t block_size) {
  const std::size_t needed = 2 + 2 * std::max(block_size, kReadBufferSize);
  if (needed > buffer.output_capacity) {
    buffer.output.reset(new unsigned char[needed]);
    buffer.output_capacity = needed;
  }
  return buffer.output.get();
}

// Reads on from the bytes held until `end` bytes of the file are held.
ReadAttempt ReadSettingsUpTo(InputFile& file, PairBuffer& buffer, std::size_t end) {
  ReserveSettings(buffer, end);
  const std::size_t wanted = end - buffer.settings_size;
  const std::int64_t got = file.ReadAt(static_cast<std::int64_t>(buffer.settings_size),
                                       buffer.settings.get() + buffer.settings_size, wanted);
  if (got < 0) {
    return ReadAttempt::kFailed;
  }
  buffer.settings_size += static_cast<std::size_t>(got);
  return static_cast<std::size_t>(got) == wanted ? ReadAttempt::kDone : ReadAttempt::kEndedEarly;
}

const std::vector<std::int32_t>& UiTagPattern() {
  static const std::vector<std::int32_t> pattern{'<', 'u', 'i', '>'};
  return pattern;
}

struct UiBlock {
  std::size_t start = 0;  ///< Where its "<" lies in the settings bytes.
  std::size_t size = 0;
};

// One read of the settings file, which is `file_size` bytes long by its
// stamp. Each further read asks for up to four times the bytes held, so a
// block costs reads in proportion to the log of its size, and a block that
// ends within the first read costs that one read. Every byte up to where the
// block ends must arrive: a file that ends sooner is not the file stamped.
ReadAttempt ReadUiBlockOnce(InputFile& file, std::uint64_t file_size, PairBuffer& buffer,
                            UiBlock& block, ConversionResult& result) {
  buffer.settings_size = 0;
  ReserveSettings(buffer, kReadBufferSize);
  // Asking for no more than the file holds lets one read call do.
  const ReadAttempt first = ReadSettingsUpTo(
      file, buffer, static_cast<std::size_t>(std::min<std::uint64_t>(file_size, kReadBufferSize)));
  if (first != ReadAttempt::kDone) {
    return first;
  }
  const std::int32_t start =
      FindPattern(buffer.settings.get(), buffer.settings_size, UiTagPattern(), 0);
  if (start < 0) {
    result = kUiBlockNotFound;
    return ReadAttempt::kDone;
  }
  block.start = static_cast<std::size_t>(start);
  // One byte past the largest block tells whether the block goes on.
  const std::size_t end = static_cast<std::size_t>(
      std::min<std::uint64_t>(file_size, block.start + kMaxUiBlockSize + 1));
  std::size_t searched = block.start;
  for (;;) {
    const unsigned char* held = buffer.settings.get();
    if (const unsigned char* nul = FindByte(held + searched, buffer.settings_size - searched, 0)) {
      block.size = static_cast<std::size_t>(nul - held) - block.start;
      result = kConverted;
      return ReadAttempt::kDone;
    }
    searched = buffer.settings_size;
    if (buffer.settings_size >= end) {
      break;
    }
    const ReadAttempt more =
        ReadSettingsUpTo(file, buffer, std::min(end, 4 * buffer.settings_size));
    if (more != ReadAttempt::kDone) {
      return more;
    }
  }
  block.size = buffer.settings_size - block.start;
  result = block.size > kMaxUiBlockSize ? kUiBlockTooLarge : kConverted;
  return ReadAttempt::kDone;
}

// One look at the settings file (see LookAtFile). On kTaken, `result` and
// `block` tell what the read in `buffer` gave.
LookOutcome LookAtSettingsFile(const PairPaths& paths, FileLooks& looks, PairBuffer& buffer,
                               UiBlock& block, ConversionResult& result, std::int64_t& due_ns) {
  InputFile file;
  if (!OpenPairFile(file, paths, paths.settings_path)) {
    return LookOutcome::kFailed;
  }
  // A rewrite may change the size: each read goes by the stamp taken for it.
  return LookAtFile(
      file, looks,
      [&](std::int64_t size, ReadResult& got) {
        const ReadAttempt attempt =
            ReadUiBlockOnce(file, static_cast<std::uint64_t>(size), buffer, block, result);
        got.bytes = std::span(buffer.settings.get(), buffer.settings_size);
        // Only a block to write can be cut: a file without one, or with one
        // too large, gives its line as before.
        got.ended = attempt != ReadAttempt::kDone || result != kConverted ||
                    IsUiBlockEnded(got.bytes.subspan(block.start, block.size));
        return attempt;
      },
      due_ns);
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

bool IsUiBlockEnded(std::span<const unsigned char> block) {
  const auto is_blank = [](unsigned char byte) {
    return byte == ' ' || byte == '\t' || byte == '\r' || byte == '\n';
  };
  std::size_t end = block.size();
  while (end > 0 && is_blank(block[end - 1])) --end;
  if (end == 0 || block[end - 1] != '>') {
    return false;
  }
  --end;
  while (end > 0 && is_blank(block[end - 1])) --end;
  constexpr std::string_view kEndTag = "</ui";
  // The block's own "<ui>" is no end tag.
  if (end < kEndTag.size() + 4) {
    return false;
  }
  const std::span<const unsigned char> tail = block.subspan(end - kEndTag.size(), kEndTag.size());
  return std::ranges::equal(
      tail, kEndTag, [](unsigned char a, char b) { return a == static_cast<unsigned char>(b); });
}

NativeString OutputNameFor(std::int64_t character_id) {
  return Native(".\\ui.") + NativeDecimal(character_id) + Native(".xml");
}

std::size_t FileNameStart(const NativeString& path) {
  const std::size_t separator = path.rfind(kPathSeparator);
  return separator == NativeString::npos ? 0 : separator + 1;
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

namespace {

ConversionResult WriteUiBlock(const UiBlock& block, std::int64_t character_id,
                              const NativeString& output_folder, NativeString& output_name,
                              PairBuffer& buffer) {
  // Decoding comes first, so a damaged block never touches an earlier output.
  unsigned char* output = OutputRoom(buffer, block.size);
  std::size_t output_size = 0;
  const ConversionResult encoded =
      EncodeUiBlock(buffer.settings.get() + block.start, block.size, output, output_size);
  if (encoded != kConverted) {
    return encoded;
  }
  output_name = OutputNameFor(character_id);
  if (!ReplaceFileContents(OutputPathFor(output_folder, output_name), output, output_size)) {
    return kCannotCreateOutputFile;
  }
  return kConverted;
}

// Both files are looked at in every look of the pair, so that a pair whose
// files were both saved a moment ago waits once. The settings file is taken
// only in the look that takes the character file or after it: its bytes are
// not kept from one look to the next.
bool LookAtPairWithBuffer(const PairPaths& paths, PairLooks& looks, NativeString& output_name,
                          ConversionResult& result, std::int64_t& due_ns, PairBuffer& buffer) {
  std::int64_t character_due = 0;
  if (!looks.character_taken) {
    const LookOutcome character = LookAtCharacterFile(
        paths, looks.character, looks.character_result, looks.character_id, character_due);
    if (character == LookOutcome::kFailed) {
      result = kCannotOpenCharacterFile;
      return true;
    }
    looks.character_taken = character == LookOutcome::kTaken;
    if (looks.character_taken && looks.character_result != kConverted) {
      result = looks.character_result;
      return true;
    }
  }
  UiBlock block;
  ConversionResult settings_result = kCannotOpenSettingsFile;
  std::int64_t settings_due = 0;
  const LookOutcome settings =
      LookAtSettingsFile(paths, looks.settings, buffer, block, settings_result, settings_due);
  if (settings == LookOutcome::kFailed) {
    if (looks.character_taken) {
      result = kCannotOpenSettingsFile;
      return true;
    }
    // What the character file gives comes first: it may end the pair
    // without the settings file, whose failure is looked for again then.
    looks.settings = {};
    due_ns = character_due;
    return false;
  }
  if (settings == LookOutcome::kTaken && looks.character_taken) {
    result = settings_result != kConverted ? settings_result
                                           : WriteUiBlock(block, looks.character_id,
                                                          paths.output_folder, output_name, buffer);
    return true;
  }
  // A settings file taken while the character file still waits is read
  // again with it, and taken again at once: a settled one is settled still,
  // one whose reads agreed agrees with this read.
  if (settings == LookOutcome::kTaken) {
    settings_due = 0;
  }
  due_ns = std::max(looks.character_taken ? 0 : character_due, settings_due);
  return false;
}

}  // namespace

bool LookAtFilePair(const PairPaths& paths, PairLooks& looks, NativeString& output_name,
                    ConversionResult& result, std::int64_t& due_ns) {
  PairBuffer& buffer = ReusedPairBuffer();
  const bool done = LookAtPairWithBuffer(paths, looks, output_name, result, due_ns, buffer);
  GiveBackLargeMemory(buffer);
  return done;
}
