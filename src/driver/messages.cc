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
