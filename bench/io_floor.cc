// The I/O floor: the file work of a cache folder scan and nothing else.
// For every settings file it reads the character file's layout byte and ID
// in one call, reads the first 204800 bytes of the settings file in one
// call and, when the file goes on (a large layout), the rest in reads as
// the tool makes them, each up to four times the bytes held; and it writes
// an output file of the size the tool writes, as the tool does: a new file
// beside the target, renamed over it. Sizes and names come from the
// generator's expected.tsv, read once, so no byte is ever decoded.
//
// FLUSH says what reaches the disk: "none" flushes nothing; "each" flushes
// every new file before its rename and the folder once at the end; "batched"
// writes every new file, flushes them all with one syncfs, renames them and
// flushes the folder once.
//
//   tarnwick_io_floor CACHE_FOLDER OUTPUT_FOLDER EXPECTED_TSV [none|each|batched]
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "expected_outputs.h"

namespace {

constexpr std::size_t kReadBufferSize = 204800;

struct Output {
  std::string name;
  std::size_t size = 0;
};

bool ReadWholeFile(const char* path, std::string& contents) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0) {
    return false;
  }
  contents.resize(static_cast<std::size_t>(info.st_size));
  const ssize_t got = read(fd, contents.data(), contents.size());
  close(fd);
  return got == static_cast<ssize_t>(contents.size());
}

std::unordered_map<std::string, Output> ParseExpected(std::string_view text, std::size_t& largest) {
  std::unordered_map<std::string, Output> outputs;
  ForEachExpectedLine(text, [&](const ExpectedLine& line) {
    Output output{std::string(line.output_name), line.size};
    largest = std::max(largest, output.size);
    outputs.emplace(std::string(line.settings_name), std::move(output));
  });
  return outputs;
}

// One read covers the layout byte and the ID of either layout.
void ReadCharacterId(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return;
  }
  unsigned char head[45];
  if (pread(fd, head, sizeof head, 0) < 0) {
    std::perror(path.c_str());
  }
  close(fd);
}

void ReadSettings(const std::string& path, std::vector<unsigned char>& buffer) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return;
  }
  const ssize_t got = read(fd, buffer.data(), kReadBufferSize);
  struct stat info;
  // The settings files that the generator makes end with their layouts.
  if (got == static_cast<ssize_t>(kReadBufferSize) && fstat(fd, &info) == 0) {
    const auto size = static_cast<std::size_t>(info.st_size);
    buffer.resize(std::max(buffer.size(), size));
    for (std::size_t held = kReadBufferSize; held < size;) {
      const std::size_t wanted = std::min(size, 4 * held) - held;
      if (pread(fd, buffer.data() + held, wanted, static_cast<off_t>(held)) !=
          static_cast<ssize_t>(wanted)) {
        break;
      }
      held += wanted;
    }
  }
  if (got < 0) {
    std::perror(path.c_str());
  }
  close(fd);
}

enum class Flush { kNone, kEach, kBatched };

void Rename(const std::string& temporary, const std::string& name) {
  if (rename(temporary.c_str(), name.c_str()) != 0) {
    std::perror(name.c_str());
  }
}

// Batched: the new files written so far, renamed by FlushAndRenameAll.
std::vector<std::string> g_unrenamed;

void ReplaceOutput(const Output& output, const unsigned char* data, Flush flush) {
  const std::string temporary = output.name + ".part";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    std::perror(temporary.c_str());
    return;
  }
  bool written = write(fd, data, output.size) == static_cast<ssize_t>(output.size);
  if (flush == Flush::kEach) {
    written = written && fsync(fd) == 0;
  }
  if (close(fd) != 0 || !written) {
    std::perror(output.name.c_str());
    return;
  }
  if (flush == Flush::kBatched) {
    g_unrenamed.push_back(output.name);
  } else {
    Rename(temporary, output.name);
  }
}

void FlushAndRenameAll(Flush flush) {
  const int folder = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (flush == Flush::kBatched) {
    if (syncfs(folder) != 0) {
      std::perror("syncfs");
    }
    for (const std::string& name : g_unrenamed) {
      Rename(name + ".part", name);
    }
  }
  if (flush != Flush::kNone && fsync(folder) != 0) {
    std::perror("fsync of the folder");
  }
  close(folder);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view mode = argc == 5 ? argv[4] : "none";
  const Flush flush = mode == "each"      ? Flush::kEach
                      : mode == "batched" ? Flush::kBatched
                                          : Flush::kNone;
  if ((argc != 4 && argc != 5) || (flush == Flush::kNone && mode != "none")) {
    std::fputs(
        "usage: tarnwick_io_floor CACHE_FOLDER OUTPUT_FOLDER EXPECTED_TSV [none|each|batched]\n",
        stderr);
    return 2;
  }
  // Absolute, since the output folder becomes the working directory.
  char* cache_folder = realpath(argv[1], nullptr);
  if (cache_folder == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  const std::string cache = std::string(cache_folder) + "/";
  std::free(cache_folder);
  std::string expected_text;
  if (!ReadWholeFile(argv[3], expected_text)) {
    std::perror(argv[3]);
    return 1;
  }
  std::size_t largest = 0;
  const auto outputs = ParseExpected(expected_text, largest);
  std::vector<unsigned char> buffer(kReadBufferSize);
  const auto output_bytes = std::make_unique<unsigned char[]>(largest);
  DIR* folder = opendir(cache.c_str());
  if (folder == nullptr || chdir(argv[2]) != 0) {
    std::perror("folders");
    return 1;
  }
  constexpr std::string_view kMarker = "_sc.tmp";
  while (const dirent* entry = readdir(folder)) {
    const std::string_view name = entry->d_name;
    const auto output = outputs.find(std::string(name));
    if (!name.ends_with(kMarker) || output == outputs.end()) {
      continue;
    }
    ReadCharacterId(cache + std::string(name.substr(0, name.size() - kMarker.size())) + ".tmp");
    ReadSettings(cache + std::string(name), buffer);
    ReplaceOutput(output->second, output_bytes.get(), flush);
  }
  closedir(folder);
  FlushAndRenameAll(flush);
  return 0;
}
