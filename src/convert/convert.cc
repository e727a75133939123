#include "convert/convert.h"

#include <algorithm>
#include <array>
#include <bit>
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

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// One look at the settings file (see LookAtFile). On kTaken and kGivenUp,
// `result`, `block` and `ended` tell what the read in `buffer` gave.
LookOutcome LookAtSettingsFile(const PairPaths& paths, FileLooks& looks, PairBuffer& buffer,
                               UiBlock& block, ConversionResult& result, bool& ended,
                               std::int64_t& due_ns) {
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
        // A file whose "<ui>" is not written yet waits as a cut block does;
        // one whose block is too large gives its line as before.
        if (attempt != ReadAttempt::kDone || result == kUiBlockTooLarge) {
          got.ended = true;
        } else {
          got.ended =
              result == kConverted && IsUiBlockEnded(got.bytes.subspan(block.start, block.size));
          got.end_shown = got.ended;
        }
        ended = got.ended;
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

// Past the next `token` at or after `from`, or npos when none is there.
std::size_t PastToken(std::string_view text, std::string_view token, std::size_t from) {
  const std::size_t at = from > text.size() ? std::string_view::npos : text.find(token, from);
  return at == std::string_view::npos ? at : at + token.size();
}

// Whether the "<" at `at` may open a "ui" tag, a comment, a CDATA section or
// a processing instruction: whether "u", "/u", "!" or "?" follows it.
bool MayOpenMarkupOfNote(std::string_view text, std::size_t at) {
  const char next = at + 1 < text.size() ? text[at + 1] : '\0';
  return next == 'u' || next == '!' || next == '?' ||
         (next == '/' && at + 2 < text.size() && text[at + 2] == 'u');
}

// Where the next "<" at or after `from` lies that MayOpenMarkupOfNote, or
// npos. Every other tag is passed over at the speed of a byte search: a
// layout holds thousands of them.
std::size_t NextMarkupOfNote(std::string_view text, std::size_t from) {
#if defined(__SSE2__)
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const auto load = [&](std::size_t at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at));
  };
  const auto equal = [](__m128i values, char byte) {
    return _mm_cmpeq_epi8(values, _mm_set1_epi8(byte));
  };
  // The places among 16 from `at` whose "<" and the two bytes after it
  // MayOpenMarkupOfNote, as bits.
  const auto of_note = [&](std::size_t at) {
    const __m128i next = load(at + 1);
    const __m128i after_slash = _mm_and_si128(equal(next, '/'), equal(load(at + 2), 'u'));
    const __m128i opening = _mm_or_si128(_mm_or_si128(equal(next, 'u'), after_slash),
                                         _mm_or_si128(equal(next, '!'), equal(next, '?')));
    return _mm_and_si128(equal(load(at), '<'), opening);
  };
  // Four steps of 16 places per test: such a "<" is usually far away.
  for (; text.size() >= 66 && from <= text.size() - 66; from += 64) {
    const __m128i any = _mm_or_si128(_mm_or_si128(of_note(from), of_note(from + 16)),
                                     _mm_or_si128(of_note(from + 32), of_note(from + 48)));
    if (_mm_movemask_epi8(any) != 0) break;
  }
  for (; text.size() >= 18 && from <= text.size() - 18; from += 16) {
    const auto found = static_cast<unsigned>(_mm_movemask_epi8(of_note(from)));
    if (found != 0) {
      return from + static_cast<std::size_t>(std::countr_zero(found));
    }
  }
#endif
  for (; from < text.size(); ++from) {
    if (text[from] == '<' && MayOpenMarkupOfNote(text, from)) {
      return from;
    }
  }
  return std::string_view::npos;
}

bool IsBlank(char byte) { return byte == ' ' || byte == '\t' || byte == '\r' || byte == '\n'; }

// Past the ">" that closes the "ui" start tag whose name ends at `from`, its
// quoted attribute values passed over whole; npos when the tag is cut.
// `empty` tells whether it was an empty-element tag ("/>").
std::size_t PastStartTag(std::string_view text, std::size_t from, bool& empty) {
  for (std::size_t at = from; at < text.size(); ++at) {
    const char byte = text[at];
    if (byte == '"' || byte == '\'') {
      at = text.find(byte, at + 1);
      if (at == std::string_view::npos) return at;
    } else if (byte == '>') {
      empty = text[at - 1] == '/';
      return at + 1;
    }
  }
  return std::string_view::npos;
}

}  // namespace

bool IsUiBlockEnded(std::span<const unsigned char> block) {
  const std::string_view text(reinterpret_cast<const char*>(block.data()), block.size());
  constexpr std::string_view kStartTag = "<ui>";
  if (!text.starts_with(kStartTag)) return false;
  // Every byte is passed once: each search goes on from where the last ended.
  std::size_t depth = 1;
  std::size_t at = kStartTag.size();
  for (;;) {
    at = NextMarkupOfNote(text, at);
    if (at == std::string_view::npos) return false;
    const std::string_view rest = text.substr(at);
    std::size_t past = at + 1;
    if (rest.starts_with("<!--")) {
      past = PastToken(text, "-->", at + 4);
    } else if (rest.starts_with("<![CDATA[")) {
      past = PastToken(text, "]]>", at + 9);
    } else if (rest.starts_with("<?")) {
      past = PastToken(text, "?>", at + 2);
    } else if (rest.starts_with("</ui")) {
      std::size_t end = at + 4;
      while (end < text.size() && IsBlank(text[end])) ++end;
      if (end < text.size() && text[end] == '>') {
        if (--depth == 0) return true;
        past = end + 1;
      }
    } else if (rest.starts_with("<ui") && rest.size() > 3 &&
               (IsBlank(rest[3]) || rest[3] == '/' || rest[3] == '>')) {
      bool empty = false;
      past = PastStartTag(text, at + 3, empty);
      if (past != std::string_view::npos && !empty) ++depth;
    }
    if (past == std::string_view::npos) return false;
    at = past;
  }
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
                              const PairPaths& paths, NativeString& output_name,
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
  if (!paths.outputs.Write(OutputPathFor(paths.output_folder, output_name), output, output_size)) {
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
    if (character == LookOutcome::kFailed || character == LookOutcome::kGivenUp) {
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
  bool ended = false;
  std::int64_t settings_due = 0;
  const LookOutcome settings = LookAtSettingsFile(paths, looks.settings, buffer, block,
                                                  settings_result, ended, settings_due);
  // A block seen cut is never written: the earlier layout, if any, is kept.
  const bool cut = settings_result == kConverted && !ended;
  if (settings == LookOutcome::kFailed || settings == LookOutcome::kGivenUp) {
    if (looks.character_taken) {
      result = settings == LookOutcome::kGivenUp && cut ? kUiBlockCut : kCannotOpenSettingsFile;
      return true;
    }
    // What the character file gives comes first: it may end the pair
    // without the settings file, whose failure is looked for again then.
    looks.settings = {};
    due_ns = character_due;
    return false;
  }
  if (settings == LookOutcome::kTaken && looks.character_taken) {
    if (cut) {
      result = kUiBlockCut;
    } else if (settings_result != kConverted) {
      result = settings_result;
    } else {
      result = WriteUiBlock(block, looks.character_id, paths, output_name, buffer);
    }
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
