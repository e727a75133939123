#include "driver/messages.h"

#include <string>

#include "base/shown_path.h"

NativeString BannerText() {
  return Native(
      "=================================\n"
      " Tarnwick - UI Layout Extractor\n"
      "=================================\n");
}

NativeString RejectionText(const NativeString& argument) {
  return Native("[ERROR] File path is not valid: \"") + ShownPath(argument) +
         Native(
             "\"\n"
             "\nUsage: \n"
             "1. Place Tarnwick.exe in your Quellmoor directory. \n"
             "2. Run it directly or drag CHAR@SERVER_sc.tmp files onto it. \n");
}

NativeString CurrentDirText(const NativeString& program_folder) {
  return Native("Current Dir: ") + ShownPath(program_folder) + Native("\n\n");
}

NativeString NoProgramFolderText(const NativeString& reason) {
  return Native("[WARNING] Cannot find the program's own folder (") + ShownPath(reason) +
         Native("); output files go to the current folder.\n\n");
}

NativeString NoDocumentsFolderText(const NativeString& reason) {
  return Native("[ERROR] Cannot find the Documents folder (") + ShownPath(reason) +
         Native("), so there is no cache folder to look in.\n");
}

NativeString FileNameIncorrectText(const NativeString& path) {
  return Native("[ERROR] \"") + ShownPath(path) + Native("\" file name incorrect.\n");
}

NativeString NoSettingsFilesText(const NativeString& cache_folder) {
  return Native("[ERROR] Cannot find any CHAR@SERVER_sc.tmp file in \"") + ShownPath(cache_folder) +
         Native("\".\n");
}

NativeString OutOfMemoryText(const NativeString& reason) {
  return Native("[ERROR] Out of memory (") + ShownPath(reason) + Native("); the run stopped.\n");
}

NativeString ClosingText(unsigned processed_count) {
  return Native("\nDone! File(s) Processed: ") + Native(std::to_string(processed_count)) +
         Native("\n");
}

namespace {

const char* WaitReasonWords(WaitReason reason) {
  switch (reason) {
    case WaitReason::kWriterHolds:
      return "held open by another program";
    case WaitReason::kLayoutNotEnded:
      return "layout not ended yet";
    default:
      return "being saved";
  }
}

}  // namespace

LiveLine WaitingLine(const QueueWait& wait) {
  constexpr std::int64_t kSecondNs = 1'000'000'000;
  const std::int64_t left_ns = wait.until_ns - wait.now_ns;
  // Rounded up: "0 s" would read as over while it still waits.
  const std::int64_t seconds = left_ns > kSecondNs ? (left_ns + kSecondNs - 1) / kSecondNs : 1;
  NativeString tail = Native("\": ") + Native(WaitReasonWords(wait.reason));
  if (wait.others > 0) {
    tail +=
        Native(" (and ") + NativeDecimal(static_cast<std::int64_t>(wait.others)) + Native(" more)");
  }
  return {Native("Waiting up to ") + NativeDecimal(seconds) + Native(" s for \""), wait.shown_path,
          tail};
}
