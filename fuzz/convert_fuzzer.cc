// The whole conversion of one pair: two arbitrary byte strings become the
// character file and the settings file in a private folder, ConvertFilePair
// runs on them, and a model built from the file formats says what must have
// happened: the result code, the output name, and the exact output bytes,
// which are FF FE 3C 00 75 00 69 00 3E 00 ... and decode back to the block.
// A block that its own end tag does not close is never written.
// Nothing else may be left in the folder.

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "convert/convert.h"
#include "convert/find_pattern.h"
#include "convert/pair_queue.h"
#include "reference.h"
#include "settle/quiet_read.h"

using namespace std::string_literals;

namespace {

const char kCharacterPath[] = "Fuzz@Server.tmp";
const char kSettingsPath[] = "Fuzz@Server_sc.tmp";

void Check(bool holds, const std::string& what) {
  if (!holds) {
    std::fprintf(stderr, "%s\n", what.c_str());
    std::abort();
  }
}

void WriteFile(const char* path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  Check(out.good(), std::string("cannot write ") + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> FolderEntries() {
  std::vector<std::string> names;
  DIR* folder = opendir(".");
  Check(folder != nullptr, "cannot list the working folder");
  while (const dirent* entry = readdir(folder)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") {
      names.push_back(name);
    }
  }
  closedir(folder);
  return names;
}

struct Expected {
  ConversionResult result = kConverted;
  std::int64_t character_id = 0;
  std::string output;
};

// What the file formats say the conversion of this pair must give.
Expected Model(const std::string& character, const std::string& settings) {
  Expected expected;
  const std::size_t offset = !character.empty() && character[0] == '\x13' ? 37 : 29;
  if (character.size() < 37 || character.size() < offset + 8) {
    expected.result = kCharacterFileTooShort;
    return expected;
  }
  std::uint64_t id = 0;
  for (std::size_t k = 0; k < 8; ++k) {
    id = id * 256 + static_cast<unsigned char>(character[offset + k]);
  }
  expected.character_id = static_cast<std::int64_t>(id);
  if (expected.character_id > kMaxCharacterId) {
    expected.result = kCharacterIdOutOfRange;
    return expected;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(settings.data());
  const std::int64_t start = ReferenceFind(bytes, settings.size(), {'<', 'u', 'i', '>'}, 0);
  if (start < 0) {
    expected.result = kUiBlockNotFound;
    return expected;
  }
  const std::size_t end =
      std::min(settings.size(), settings.find('\0', static_cast<std::size_t>(start)));
  if (end - static_cast<std::size_t>(start) > kMaxUiBlockSize) {
    expected.result = kUiBlockTooLarge;
    return expected;
  }
  // Once its file has held still, a block that its end tag does not close
  // is not written.
  if (!ReferenceUiBlockEnded(settings.substr(static_cast<std::size_t>(start),
                                             end - static_cast<std::size_t>(start)))) {
    expected.result = kUiBlockCut;
    return expected;
  }
  const std::optional<std::u32string> code_points =
      StrictUtf8CodePoints(bytes + start, end - static_cast<std::size_t>(start));
  if (!code_points) {
    expected.result = kUiBlockNotUtf8;
    return expected;
  }
  expected.output = "\xFF\xFE" + Utf16LeOf(*code_points);
  return expected;
}

char g_folder[] = "/tmp/tarnwick-convert-fuzz-XXXXXX";

std::int64_t g_pretend_now_ns = 0;

void RemoveFolder() {
  std::remove(kCharacterPath);
  std::remove(kSettingsPath);
  rmdir(g_folder);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Output files go to the working folder: make it a fresh private one.
  if (mkdtemp(g_folder) == nullptr || chdir(g_folder) != 0) {
    std::perror("cannot make the fuzzing folder");
    std::abort();
  }
  std::atexit(RemoveFolder);
  // Every input is a pair of files just written: a clock whose sleep only
  // moves it on spares each of them the wait for a quiet file.
  CurrentSettleClock() = {[] { return g_pretend_now_ns; },
                          [](std::int64_t duration) { g_pretend_now_ns += duration; },
                          NanosecondsSince};
  return 0;
}

// Blocks that end past the first read or near the largest block's size
// need long settings files: this many filler bytes go in right after the
// first "<ui>", by flag bits 5 to 7. The fuzz build has a bound of its own.
constexpr std::size_t kStretches[8] = {
    0, 0, 0, 0, kReadBufferSize, kMaxUiBlockSize - 8, kMaxUiBlockSize - 4, kMaxUiBlockSize};

// Input: a flag byte, two bytes that give the character file's length, the
// character file, then the settings file. Flag bit 0 pushes the settings
// bytes to the end of the first 204800 bytes, give or take a few; bits 5
// to 7 stretch the block.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) {
    return 0;
  }
  const std::size_t rest = size - 3;
  const std::size_t character_size = (data[1] | std::size_t{data[2]} << 8) % (rest + 1);
  const std::string character(reinterpret_cast<const char*>(data + 3), character_size);
  std::string settings(reinterpret_cast<const char*>(data + 3 + character_size),
                       rest - character_size);
  if ((data[0] & 1) != 0) {
    const std::size_t shift = (data[0] >> 1) % 16;
    const std::size_t filler = kReadBufferSize + shift >= settings.size() + 8
                                   ? kReadBufferSize + shift - 8 - settings.size()
                                   : 0;
    settings.insert(0, filler, 'x');
  }
  const std::int64_t start = ReferenceFind(reinterpret_cast<const unsigned char*>(settings.data()),
                                           settings.size(), {'<', 'u', 'i', '>'}, 0);
  if (start >= 0) {
    settings.insert(static_cast<std::size_t>(start) + 4, kStretches[data[0] >> 5], 'x');
  }
  WriteFile(kCharacterPath, character);
  WriteFile(kSettingsPath, settings);

  const Expected expected = Model(character, settings);
  NativeString output_name;
  const ConversionResult result = ConvertFilePair(kCharacterPath, kSettingsPath, "", output_name);
  Check(result == expected.result,
        "result " + std::to_string(result) + ", expected " + std::to_string(expected.result));

  std::vector<std::string> left = FolderEntries();
  if (result == kConverted) {
    Check(output_name == OutputNameFor(expected.character_id), "wrong output name " + output_name);
    const std::string path = "ui." + std::to_string(expected.character_id) + ".xml";
    const std::string output = ReadFile(path);
    Check(output.starts_with("\xFF\xFE<\0u\0i\0>\0"s), "output does not begin with <ui>");
    Check(output == expected.output, "output does not decode back to the block");
    Check(left.size() == 3, "stray files beside the output");
    std::remove(path.c_str());
  } else {
    Check(output_name.empty(), "output name set on result " + std::to_string(result));
    Check(left.size() == 2, "files left behind by a failed conversion");
  }
  return 0;
}
