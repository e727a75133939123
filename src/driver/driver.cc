#include "driver/driver.h"

#include <optional>

#include "convert/file_io.h"
#include "convert/report.h"
#include "driver/messages.h"
#include "driver/pairing.h"

namespace {

class PlatformConsole : public ConsoleSink {
 public:
  explicit PlatformConsole(Platform& platform) : platform_(platform) {}
  void Write(const NativeString& text) override { platform_.WriteConsole(text); }

 private:
  Platform& platform_;
};

std::optional<NativeString> ProgramFolderOf(const NativeString& executable) {
  const std::size_t separator = executable.rfind(kPathSeparator);
  if (separator == NativeString::npos) {
    return std::nullopt;
  }
  // On POSIX a program in "/" would otherwise get an empty folder name.
  if (separator == 0 && kPathSeparator == '/') {
    return executable.substr(0, 1);
  }
  return executable.substr(0, separator);
}

// Output files are written relative to the working directory, so it has to
// be the program's own folder.
void EnterProgramFolder(Platform& platform) {
  NativeString executable;
  std::optional<NativeString> folder;
  if (platform.GetExecutablePath(executable)) {
    folder = ProgramFolderOf(executable);
  }
  if (!folder) {
    platform.WriteConsole(NoProgramFolderText());
    return;
  }
  platform.SetWorkingDirectory(*folder);
  platform.WriteConsole(CurrentDirText(*folder));
  RemoveLeftoverFiles(*folder);
}

std::optional<NativeString> FindCacheFolder(Platform& platform) {
  NativeString documents;
  if (!platform.GetDocumentsFolder(documents) || documents.empty()) {
    platform.WriteConsole(NoDocumentsFolderText());
    return std::nullopt;
  }
  return platform.FindInDocumentsFolders(
      documents,
      kPathSeparator + Native("Quellmoor") + kPathSeparator + Native("cache") + kPathSeparator);
}

void ConvertDroppedFiles(const std::vector<NativeString>& arguments,
                         const std::optional<NativeString>& cache_folder, Platform& platform,
                         unsigned& processed_count) {
  PlatformConsole console(platform);
  for (const NativeString& settings_path : arguments) {
    const std::optional<NativeString> character_name = PairedCharacterName(BaseName(settings_path));
    if (!character_name) {
      platform.WriteConsole(FileNameIncorrectText(settings_path));
      continue;
    }
    NativeString output_name;
    if (!cache_folder) {
      // Never guess where the character file might be.
      ReportResult(kCannotOpenCharacterFile, *character_name, settings_path, output_name, console,
                   processed_count);
      continue;
    }
    ProcessFilePair(*cache_folder + *character_name, settings_path, output_name, console,
                    processed_count);
  }
}

void ConvertCacheEntry(const NativeString& cache_folder, const CacheEntry& entry,
                       Platform& platform, unsigned& processed_count) {
  if (entry.is_directory) {
    return;
  }
  const NativeString settings_path = cache_folder + entry.name;
  const std::optional<NativeString> character_path = PairedCharacterName(settings_path);
  if (!character_path) {
    platform.WriteConsole(FileNameIncorrectText(settings_path));
    return;
  }
  PlatformConsole console(platform);
  NativeString output_name;
  ProcessFilePair(*character_path, settings_path, output_name, console, processed_count);
}

// False when the cache folder cannot be enumerated at all. Each entry is
// converted as it is delivered, so a large cache folder is never held whole.
bool ScanCacheFolder(const std::optional<NativeString>& cache_folder, Platform& platform,
                     unsigned& processed_count) {
  const bool started =
      cache_folder && platform.ForEachSettingsFile(*cache_folder, [&](const CacheEntry& entry) {
        ConvertCacheEntry(*cache_folder, entry, platform, processed_count);
      });
  if (!started) {
    platform.WriteConsole(NoSettingsFilesText(cache_folder.value_or(NativeString())));
  }
  return started;
}

}  // namespace

int RunTarnwick(const std::vector<NativeString>& arguments, Platform& platform) {
  platform.SetUpConsole();
  platform.CleanUpOnInterrupt(RemoveInFlightFile);
  platform.WriteConsole(BannerText());
  if (!arguments.empty() && !platform.PathExists(arguments.front())) {
    platform.WriteConsole(RejectionText(arguments.front()));
    platform.Pause();
    return kExitBadArgument;
  }
  EnterProgramFolder(platform);
  const std::optional<NativeString> cache_folder = FindCacheFolder(platform);
  unsigned processed_count = 0;
  if (arguments.empty()) {
    if (!ScanCacheFolder(cache_folder, platform, processed_count)) {
      platform.Pause();
      return kExitNoSettingsFiles;
    }
  } else {
    ConvertDroppedFiles(arguments, cache_folder, platform, processed_count);
  }
  platform.WriteConsole(ClosingText(processed_count));
  platform.Pause();
  return kExitNormal;
}
