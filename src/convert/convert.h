#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/native_text.h"
#include "convert/conversion_result.h"
#include "convert/replace_file.h"
#include "settle/quiet_read.h"

/// The largest character ID the game hands out; larger ones mean a damaged
/// or foreign character file.
inline constexpr std::int64_t kMaxCharacterId = 0x0010FF0000FFFFFF;

/// The largest "<ui>" block converted, in bytes from its "<" on; a longer
/// one gives kUiBlockTooLarge. No real layout comes near it: the bound keeps a
/// damaged file from taking the machine's memory. The fuzz build sets a
/// smaller one that its inputs can reach.
#ifdef TARNWICK_MAX_UI_BLOCK_SIZE
inline constexpr std::size_t kMaxUiBlockSize = TARNWICK_MAX_UI_BLOCK_SIZE;
#else
inline constexpr std::size_t kMaxUiBlockSize = std::size_t{64} << 20;
#endif

/// Whether a "<ui>" block ends as a whole layout ends: the element that its
/// "<ui>" opens is closed by its own end tag "</ui>" (blanks allowed before
/// the ">"; inner `ui` elements counted, empty ones "<ui/>" not; names are
/// case-sensitive), whatever follows. Comments, CDATA sections, processing
/// instructions and the quoted attribute values of "ui" start tags are
/// passed over whole, and one that is cut leaves the block not ended; other
/// tags are not looked into, since a "<" stands in no attribute value of
/// well-formed XML. Linear in the block's size. A save cut off midway leaves
/// a block that is not ended.
bool IsUiBlockEnded(std::span<const unsigned char> block);

/// The output name for a character ID: ".\ui.<ID>.xml", the ID in plain
/// decimal with a leading minus when negative.
NativeString OutputNameFor(std::int64_t character_id);

/// Where the output named `output_name` is written: the part after ".\" in
/// `output_folder`, or in the working directory when that is empty.
NativeString OutputPathFor(const NativeString& output_folder, const NativeString& output_name);

/// Where the name of the file at `path` starts: after its last path
/// separator, or at 0.
std::size_t FileNameStart(const NativeString& path);

/// The files of one pair, where its output goes (see OutputPathFor) and the
/// group its new output joins.
struct PairPaths {
  const NativeString& character_path;
  const NativeString& settings_path;
  const NativeString& output_folder;
  OutputGroup& outputs;
  /// When not null, the folder both files lie in, opened once: each is
  /// opened by its name within it, so that both come from one folder even
  /// when a drive is mounted over its path meanwhile.
  const InputFolder* folder = nullptr;
};

/// What the looks at one pair's files found so far; starts empty.
struct PairLooks {
  FileLooks character;
  FileLooks settings;
  bool character_taken = false;
  ConversionResult character_result = kCannotOpenCharacterFile;
  std::int64_t character_id = 0;
};

/// Looks at the pair's files once (LookAtFile) and converts the pair once
/// both can be taken: reads the character ID from the character file, cuts
/// the "<ui>" block out of the settings file and writes it as UTF-16LE with
/// a byte-order mark to a new file of `outputs`, for `output_folder` under the
/// output name, which is set on kConverted and kCannotCreateOutputFile and
/// left alone otherwise; on kConverted the output is in place only once
/// `outputs` is committed. The
/// block starts at the first "<ui>" that lies wholly within the first
/// kReadBufferSize bytes and runs to the first NUL byte after it or the end
/// of the file. A block that is not ended (IsUiBlockEnded) is never written:
/// once its file has settled, or when a writer holds it until the wait is
/// given up, it gives kUiBlockCut. A file without "<ui>" gives
/// kUiBlockNotFound only once it has settled. True when the pair is done,
/// with `result`; false when a file needs another look, not before `due_ns`.
/// A settings file that cannot be read whole, or does not hold still in
/// time, gives kCannotOpenSettingsFile; a character file
/// kCannotOpenCharacterFile. Prints nothing.
bool LookAtFilePair(const PairPaths& paths, PairLooks& looks, NativeString& output_name,
                    ConversionResult& result, std::int64_t& due_ns);
