#include "driver/driver.h"

#include <optional>

#include "convert/pair_queue.h"
#include "convert/replace_file.h"
#include "convert/report.h"
#include "convert/temporary_name.h"
#include "driver/messages.h"
#include "driver/pairing.h"
#include "platform/new_files.h"

static_assert(kMaxOutputGroupOnSlowDisk <= kMaxNewFilesUnderWay,
              "every new file of a group is removed if a signal ends the program");

namespace {

class PlatformConsole : public ConsoleSink {
 public:
  explicit PlatformConsole(Platform& platform) : platform_(platform) {}
  void Write(const NativeString& text) override { platform_.WriteConsole(text); }

 private:
  Platform& platform_;
};

// While the run waits for files, the console's live line says for which.
void ShowWaits(PairQueue& queue, Platform& platform) {
  queue.WatchWaits([&platform](const QueueWait* wait) {
    if (wait != nullptr) {
      platform.ShowLiveLine(WaitingLine(*wait));
    } else {
      platform.EraseLiveLine();
    }
  });
}

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

// Relative arguments name files from the caller's folder, which stops being
// the working directory once the program folder becomes it. False when some
// argument had to stay as given, for want of the caller's folder.
bool ResolveArguments(const std::vector<NativeString>& arguments, Platform& platform,
                      std::vector<NativeString>& resolved) {
  bool all_resolved = true;
  resolved.reserve(arguments.size());
  for (const NativeString& argument : arguments) {
    NativeString full;
    // An empty argument names nothing, not the caller's folder.
    if (argument.empty()) {
      full = argument;
    } else if (!platform.GetFullPath(argument, full)) {
      all_resolved = false;
      full = argument;
    }
    resolved.push_back(std::move(full));
  }
  return all_resolved;
}

// The folder the outputs are written to, by its full path, so that they land
// where the "Current Dir: " line says even when it cannot become the working
// directory. Nothing when it cannot be told: outputs then go to the working
// directory. The caller's folder stays the working directory when
// `stay_in_caller_folder`, for the arguments that could not be resolved.
std::optional<NativeString> EnterProgramFolder(Platform& platform, bool stay_in_caller_folder) {
  NativeString executable;
  NativeString reason;
  std::optional<NativeString> folder;
  if (platform.GetExecutablePath(executable, reason)) {
    folder = ProgramFolderOf(executable);
    if (!folder) {
      reason = Native("no folder in \"") + executable + Native("\"");
    }
  }
  if (!folder) {
    platform.WriteConsole(NoProgramFolderText(reason));
    return std::nullopt;
  }
  if (!stay_in_caller_folder) {
    platform.SetWorkingDirectory(*folder);
  }
  platform.WriteConsole(CurrentDirText(*folder));
  RemoveLeftoverFiles(*folder, IsTemporaryName);
  return folder;
}

std::optional<NativeString> FindCacheFolder(Platform& platform) {
  NativeString documents;
  NativeString reason;
  if (!platform.GetDocumentsFolder(documents, reason) || documents.empty()) {
    if (reason.empty()) {
      reason = Native("the system names none");
    }
    platform.WriteConsole(NoDocumentsFolderText(reason));
    return std::nullopt;
  }
  return platform.FindInDocumentsFolders(
      documents,
      kPathSeparator + Native("Quellmoor") + kPathSeparator + Native("cache") + kPathSeparator);
}

// Each argument is opened by its `resolved` path and shown as given.
void ConvertDroppedFiles(const std::vector<NativeString>& arguments,
                         const std::vector<NativeString>& resolved,
                         const std::optional<NativeString>& cache_folder,
                         const NativeString& output_folder, Platform& platform,
                         unsigned& processed_count) {
  PlatformConsole console(platform);
  PairQueue queue(console, processed_count, output_folder);
  ShowWaits(queue, platform);
  for (std::size_t k = 0; k < arguments.size(); ++k) {
    const NativeString& settings_path = arguments[k];
    const std::optional<NativeString> character_name = PairedCharacterName(BaseName(settings_path));
    if (!character_name) {
      queue.AddLine(FileNameIncorrectText(settings_path));
      continue;
    }
    if (!cache_folder) {
      // Never guess where the character file might be.
      queue.AddLine(
          StatusLine(kCannotOpenCharacterFile, *character_name, settings_path, NativeString()));
      continue;
    }
    queue.Add({*cache_folder + *character_name, resolved[k], settings_path});
  }
  queue.Finish();
}

void ConvertCacheEntry(const NativeString& cache_folder, const CacheEntry& entry,
                       PairQueue& queue) {
  if (entry.is_directory) {
    return;
  }
  const NativeString settings_path = cache_folder + entry.name;
  const std::optional<NativeString> character_path = PairedCharacterName(settings_path);
  if (!character_path) {
    queue.AddLine(FileNameIncorrectText(settings_path));
    return;
  }
  queue.Add({*character_path, settings_path, NativeString()});
}

// False when the cache folder cannot be enumerated at all. Each entry is
// looked at as it is delivered, so the folder's listing is never held
// whole. What is held: the pairs that wait for another look, and, behind
// the first of them, the status lines of the pairs done since, which are
// written in their turn.
bool ScanCacheFolder(const std::optional<NativeString>& cache_folder,
                     const NativeString& output_folder, Platform& platform,
                     unsigned& processed_count) {
  PlatformConsole console(platform);
  PairQueue queue(console, processed_count, output_folder);
  ShowWaits(queue, platform);
  const bool started =
      cache_folder && platform.ForEachSettingsFile(*cache_folder, [&](const CacheEntry& entry) {
        ConvertCacheEntry(*cache_folder, entry, queue);
      });
  queue.Finish();
  if (!started) {
    platform.WriteConsole(NoSettingsFilesText(cache_folder.value_or(NativeString())));
  }
  return started;
}

}  // namespace

int RunTarnwick(const std::vector<NativeString>& arguments, Platform& platform) {
  platform.SetUpConsole();
  WatchNewFiles({NewFileMade, NewFileGone});
  platform.SetUpSignals();
  platform.WriteConsole(BannerText());
  std::vector<NativeString> resolved;
  const bool all_resolved = ResolveArguments(arguments, platform, resolved);
  if (!arguments.empty() && !platform.PathExists(resolved.front())) {
    platform.WriteConsole(RejectionText(arguments.front()));
    platform.Pause();
    return kExitBadArgument;
  }
  const NativeString output_folder =
      EnterProgramFolder(platform, !all_resolved).value_or(NativeString());
  const std::optional<NativeString> cache_folder = FindCacheFolder(platform);
  unsigned processed_count = 0;
  if (arguments.empty()) {
    if (!ScanCacheFolder(cache_folder, output_folder, platform, processed_count)) {
      platform.Pause();
      return kExitNoSettingsFiles;
    }
  } else {
    ConvertDroppedFiles(arguments, resolved, cache_folder, output_folder, platform,
                        processed_count);
  }
  platform.WriteConsole(ClosingText(processed_count));
  platform.Pause();
  return kExitNormal;
}
